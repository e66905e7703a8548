#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "support/console_capture.h"
#include "support/recording_display.h"
#include "updater/CLI_Display.h"

using qftest::runWithConsole;
using qftest::StdoutKind;

namespace {

const std::string kClear = "\r" + std::string(88, ' ') + "\r";

std::string bar(int filled, int blanks, const char* percent) {
  return "[" + std::string(filled, '=') + ">" + std::string(blanks, ' ') + "] (" + percent + "% ) ";
}

struct ProgressCase {
  double fraction;
  const char* label;
  std::string line;  // what follows the leading carriage return
};

void PrintTo(const ProgressCase& c, std::ostream* out) {
  *out << c.fraction << (c.label ? std::string(" ") + c.label : std::string());
}

class ProgressBar : public testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressBar, DrawsOneLineOfFixedWidthOnATerminal) {
  const ProgressCase& c = GetParam();
  auto console = runWithConsole(StdoutKind::Terminal, [&] {
    CLI_Display display;
    display.update_progress(c.fraction, c.label);
  });
  EXPECT_EQ(console.out, "\r" + c.line);
  EXPECT_EQ(console.err, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressBar,
                         testing::Values(ProgressCase{0.5, nullptr, bar(34, 34, " 50")},
                                         ProgressCase{0.0, nullptr, bar(0, 68, "  0")},
                                         // Finished: the fill width is -1, printed as one blank, so two columns more.
                                         ProgressCase{1.0, nullptr, bar(69, 1, "100")},
                                         ProgressCase{0.999, nullptr, bar(68, 0, " 99")},
                                         // A label takes its own width and frame out of the bar: still 80 columns.
                                         ProgressCase{0.5, "abc", " (abc) " + bar(31, 30, " 50")},
                                         // Out-of-range fractions show the nearest end instead of a runaway bar.
                                         ProgressCase{-0.5, nullptr, bar(0, 68, "  0")},
                                         ProgressCase{std::nan(""), nullptr, bar(0, 68, "  0")},
                                         ProgressCase{7.0, nullptr, bar(69, 1, "100")}));

TEST(ProgressBar, KeepsEightyColumnsWhateverTheLabel) {
  for (const char* label : {"", "x", "firmware block 12"}) {
    auto console = runWithConsole(StdoutKind::Terminal, [&] {
      CLI_Display display;
      display.update_progress(0.3, label);
    });
    EXPECT_EQ(console.out.size(), 81u) << "label [" << label << "]";
  }
}

// A transfer reports progress for every chunk, mostly with the bar unchanged: only a changed bar
// is written, and anything drawn between makes the next bar be drawn again.
TEST(ProgressBar, WritesABarOnlyWhenItChanged) {
  auto console = runWithConsole(StdoutKind::Terminal, [] {
    CLI_Display display;
    display.update_progress(0.5, nullptr);
    display.update_progress(0.501, nullptr);
    display.update_progress(0.51, nullptr);
    display.update_spinner(true, nullptr);
    display.update_progress(0.51, nullptr);
    display.display_progress(false);
    display.update_progress(0.51, nullptr);
  });
  const std::string fiftyOne = "\r" + bar(35, 33, " 51");
  EXPECT_EQ(console.out, "\r" + bar(34, 34, " 50") + fiftyOne + "\r .      \r" + fiftyOne + kClear + fiftyOne);
}

TEST(ProgressDisplay, EndClearsTheLineAndStartWritesNothing) {
  auto console = runWithConsole(StdoutKind::Terminal, [] {
    CLI_Display display;
    display.display_progress(true);
    display.display_progress(false);
  });
  EXPECT_EQ(console.out, kClear);
}

TEST(Spinner, DotsGrowToFiveAndShrinkBackAcrossDisplays) {
  auto console = runWithConsole(StdoutKind::Terminal, [] {
    CLI_Display first;
    for (int i = 0; i < 5; ++i) first.update_spinner(true, nullptr);
    first.update_spinner(false, nullptr);  // removing the spinner does not restart the turn
    CLI_Display second;
    for (int i = 0; i < 4; ++i) second.update_spinner(true, nullptr);
    second.update_spinner(true, "wait");
  });
  std::string expected;
  auto frame = [&](int dots) { expected += "\r " + std::string(dots, '.') + "      \r"; };
  for (int dots : {1, 2, 3, 4, 5}) frame(dots);
  expected += kClear;
  for (int dots : {4, 3, 2}) frame(dots);
  frame(1);
  expected += "\r (wait) ..      \r";
  EXPECT_EQ(console.out, expected);
}

TEST(RedirectedOutput, ShowsLinesButNoBarOrSpinner) {
  auto console = runWithConsole(StdoutKind::Pipe, [] {
    CLI_Display display;
    display.display_progress(true);
    display.update_progress(0.5, nullptr);
    display.update_progress(0.7, "label");
    display.update_spinner(true, nullptr);
    display.update_spinner(false, "label");
    display.display_progress(false);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "found %d modules", 2);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "no module %08X", 0x12ABCDu);
    display.message(static_cast<UpdaterDisplayInterface::Level>(2), "level two is information");
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "ends in a newline\n");
  });
  EXPECT_EQ(console.out, "found 2 modules\nlevel two is information\nends in a newline\n\n");
  EXPECT_EQ(console.err, "no module 0012ABCD\n");
  EXPECT_EQ(console.exitStatus, 0);
}

TEST(Muting, SilencesMessagesButNotProgress) {
  auto console = runWithConsole(StdoutKind::Terminal, [] {
    CLI_Display display;
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden too");
    display.update_progress(0.0, nullptr);
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "shown");
  });
  EXPECT_EQ(console.out, "\r" + bar(0, 68, "  0") + "shown\n");
  EXPECT_EQ(console.err, "");
}

TEST(Message, CutsLongTextAt2047Characters) {
  qftest::RecordingDisplay display;
  std::string longText(3000, 'x');
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", longText.c_str());
  ASSERT_EQ(display.errors().size(), 1u);
  EXPECT_EQ(display.errors()[0], std::string(2047, 'x'));
}

}  // namespace
