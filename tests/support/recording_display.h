// A display that records every call in order, for tests of code that talks to its user. Each
// call becomes one line of text in `events`:
//   "info: TEXT", "error: TEXT", "progress start", "progress end", "progress 0.50 [LABEL]",
//   "spin [LABEL]", "spin off"  (the bracketed label only when one was given).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "firmware/UpdaterDisplayInterface.h"

namespace qftest {

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool start) override { record(start ? "progress start" : "progress end"); }
  void update_progress(double fraction, const char* label) override {
    char text[32];
    snprintf(text, sizeof text, "progress %.2f", fraction);
    record(text + labelled(label));
  }
  void update_spinner(bool on, const char* label) override {
    record(on ? "spin" + labelled(label) : std::string("spin off"));
  }
  void info_message(const char* text) override { record(std::string("info: ") + text); }
  void error_message(const char* text) override { record(std::string("error: ") + text); }

  // The texts of the lines of one kind, in order.
  std::vector<std::string> infos() const { return texts("info: "); }
  std::vector<std::string> errors() const { return texts("error: "); }
  std::vector<std::string> all() const {
    std::lock_guard<std::mutex> hold(lock);
    return events;
  }

 private:
  static std::string labelled(const char* label) { return label ? std::string(" [") + label + "]" : std::string(); }
  void record(std::string event) {
    std::lock_guard<std::mutex> hold(lock);
    events.push_back(std::move(event));
  }
  std::vector<std::string> texts(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& event : all()) {
      if (event.rfind(prefix, 0) == 0) found.push_back(event.substr(prefix.size()));
    }
    return found;
  }

  mutable std::mutex lock;
  std::vector<std::string> events;
};

}  // namespace qftest
