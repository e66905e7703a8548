#include "updater/CLI_Display.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr char _bar[] = "=====================================================================";
static_assert(sizeof _bar - 1 == CLI_Display::BAR_WIDTH);

constexpr const char* _spinner_frames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned _spinner_frame_count = sizeof _spinner_frames / sizeof _spinner_frames[0];

bool _on_terminal() { return isatty(fileno(stdout)) == 1; }

void _clear_line() { printf("\r%*s\r", CLI_Display::CLEAR_WIDTH, " "); }

// A fraction outside 0..1 (or not a number) would make the bar longer than its frame or turn
// the double-to-int conversion undefined; the bar shows the nearest sensible state instead.
double _clamped(double fraction) {
  if (std::isnan(fraction) || fraction < 0.0) return 0.0;
  return fraction > 1.0 ? 1.0 : fraction;
}

}  // namespace

CLI_Display::CLI_Display() : _terminal(_on_terminal()) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::info_message(const char* text) {
  printf("%s\n", text);
  _lastBar.clear();
}

void CLI_Display::error_message(const char* text) {
  fprintf(stderr, "%s\n", text);
  _lastBar.clear();
}

void CLI_Display::display_progress(bool start) {
  if (!_terminal || start) return;
  _clear_line();
  _lastBar.clear();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!_terminal) return;
  fraction = _clamped(fraction);
  // With a label, the bar gives up the label's columns and its " (" ") " frame, so the line
  // keeps one length.
  int width = BAR_WIDTH;
  if (label != nullptr) width -= static_cast<int>(strlen(label)) + 4;
  if (width < 0) width = 0;
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100.0);
  // The bar part is at most BAR_WIDTH + 13 characters; the label goes in front as it is.
  char bar[BAR_WIDTH + 32];
  snprintf(bar, sizeof bar, "[%.*s>%*s] (%3d%% ) ", filled, _bar, width - filled - 1, "", percent);
  std::string line = label ? std::string("\r (") + label + ") " + bar : std::string("\r") + bar;
  if (line == _lastBar) return;
  fputs(line.c_str(), stdout);
  _lastBar = std::move(line);
}

void CLI_Display::update_spinner(bool on, const char* label) {
  // Shared by every display, so the turn continues whichever object spins it.
  static unsigned char count = 0;
  if (!_terminal) return;
  _lastBar.clear();
  if (!on) {
    _clear_line();
    return;
  }
  const char* frame = _spinner_frames[count % _spinner_frame_count];
  if (label == nullptr) {
    printf("\r %s      \r", frame);
  } else {
    printf("\r (%s) %s      \r", label, frame);
  }
  count = static_cast<unsigned char>((count + 1) % _spinner_frame_count);
}
