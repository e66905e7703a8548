// A display that shows nothing: the fuzz targets drive the updater without a terminal.
#pragma once

#include "firmware/UpdaterDisplayInterface.h"

class SilentDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};
