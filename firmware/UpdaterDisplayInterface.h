// The one road by which the updater shows text to its user: information and error lines, a
// progress bar for long transfers and a spinner for open-ended waits. Diagnostic trace lines go
// to Log instead. Only the thread running an operation calls its display (a download's worker
// thread never does), so a display needs no lock. The caller owns the display.
#pragma once

#include "firmware/Log.h"

class UpdaterDisplayInterface {
 public:
  // Only LEVEL_ERROR counts as an error; any other value is shown as information.
  enum Level : int { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  // Longest text message passes on; longer text is cut.
  static constexpr size_t MAX_MESSAGE = 2047;

  UpdaterDisplayInterface() = default;

  // A progress display begins (true) or ends (false).
  virtual void display_progress(bool start) = 0;
  // The fraction done, 0.0 to 1.0; label may be null.
  virtual void update_progress(double fraction, const char* label) = 0;
  // One more turn of the spinner (true), or remove it (false); label may be null.
  virtual void update_spinner(bool on, const char* label) = 0;
  // One line each; the display adds the line end.
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // While muted, message shows nothing; progress and spinner go on.
  void mute_messages(bool mute) { muted = mute; }

  // Formats the text (cut at MAX_MESSAGE characters) and passes it to error_message for
  // LEVEL_ERROR, to info_message otherwise. Nothing is formatted while muted.
  void message(Level level, const char* format, ...) QF_PRINTF_LIKE(3, 4);

  bool muted = false;

 protected:
  // Displays are owned by value or by their concrete type, never deleted through this base.
  ~UpdaterDisplayInterface() = default;
};
