// Ctrl-C and termination requests end the updater program promptly with status 1, also in the
// middle of a blocking server request and of a download on its worker thread.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/eventually.h"
#include "support/temp_folder.h"
#include "support/update_server_process.h"
#include "support/updater_program.h"

namespace {

using namespace std::chrono_literals;

TEST(StopSignals, EndTheRunPromptlyWithStatusOne) {
  qftest::UpdateServerProcess server("stall");
  ASSERT_TRUE(server.running());
  struct Case {
    int signal;
    std::vector<std::string> command;
  };
  const std::vector<Case> cases = {
      {SIGINT, {"-B", "-d", "12ABCD"}},
      {SIGTERM, {"-B", "-d", "12ABCD"}},
      {SIGINT, {"-G", "-d", "12ABCD", "-b", "5"}},
      {SIGTERM, {"-G", "-U", "-d", "12ABCD"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.command) + " signal " + std::to_string(c.signal));
    qftest::TempFolder store;
    std::vector<std::string> args = c.command;
    args.insert(args.end(), {"-i", store.path(), "-u", server.baseUrl()});
    const size_t before = server.requests().size();
    qftest::UpdaterProgram program(args);
    ASSERT_TRUE(qftest::Eventually([&] { return server.requests().size() > before; }, 10s))
        << "the request never reached the server";
    const auto sent = std::chrono::steady_clock::now();
    program.signal(c.signal);
    const qftest::UpdaterResult result = program.finish(10s);
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s);
    EXPECT_NE(result.err.find("Interrupted"), std::string::npos);
  }
}

}  // namespace
