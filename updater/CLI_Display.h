// The console display: information on standard output, errors on standard error, and a progress
// bar and spinner that are drawn only when standard output is a terminal (a redirected run gets
// clean lines without carriage-return art).
#pragma once

#include <string>

#include "firmware/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered, so that bars, spinners, errors and log
  // lines appear at once and in order.
  CLI_Display();

  void display_progress(bool start) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // Columns of "=" in a full bar without a label.
  static constexpr int BAR_WIDTH = 69;
  // Blanks written between two carriage returns to wipe a bar or spinner line.
  static constexpr int CLEAR_WIDTH = 88;

 private:
  // Whether standard output was a terminal when the display was made.
  const bool _terminal;
  // The bar line drawn last, until anything else is drawn: a transfer reports progress for every
  // chunk, mostly with the same bar, and a terminal write costs more than the chunk's own
  // transfer.
  std::string _lastBar;
};
