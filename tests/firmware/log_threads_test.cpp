#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware/Log.h"

namespace {

// Lines logged at once from several threads (the download worker beside the main thread) reach
// the stream whole, never torn into each other, with or without the time-stamp prefix.
TEST(LogThreads, LinesFromSeveralThreadsStayWhole) {
  for (bool stamped : {false, true}) {
    FILE* stream = tmpfile();
    ASSERT_NE(stream, nullptr);
    setvbuf(stream, nullptr, _IONBF, 0);  // unbuffered, as standard error is
    Log::SetOutput(stream);
    Log::timestamped = stamped;
    const std::string text(300, 'z');
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < 200; ++i) Log::log(0, "T%d %s\n", t, text.c_str());
      });
    }
    for (auto& writer : writers) writer.join();
    Log::SetOutput(nullptr);
    Log::timestamped = false;

    rewind(stream);
    char line[1024];
    int lines = 0;
    while (fgets(line, sizeof line, stream)) {
      std::string got(line);
      if (stamped) got = got.substr(got.find(' ') + 1);
      ASSERT_EQ(got.size(), 3 + text.size() + 1) << got;
      ASSERT_EQ(got.substr(3), text + "\n");
      ++lines;
    }
    fclose(stream);
    EXPECT_EQ(lines, 800);
  }
}

}  // namespace
