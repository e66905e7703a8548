// Requests from several threads at once, as the download's worker thread runs GetBuild beside the
// main thread's requests: each owns its transfer, and they share only the log and the limits.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "firmware/Base64.h"
#include "firmware/HTTPRequest.h"
#include "firmware/Log.h"
#include "firmware/UpdateServerRequest.h"
#include "support/log_capture.h"
#include "support/update_server_process.h"

namespace {

TEST(ServerClientThreads, ConcurrentRequestsEachGetTheirOwnReply) {
  qftest::UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  constexpr int kThreads = 4;
  constexpr int kRounds = 5;
  for (int i = 0; i < kThreads; ++i) server.addBuild(0x100 + i, "7", std::string(5000 + i, static_cast<char>('a' + i)));
  qftest::LogCapture log(Log::DEBUG_ServerComm);
  const std::string url = server.baseUrl();

  std::vector<std::string> replies(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        if (!UpdateServerRequest::GetBuild(0x100 + i, "main", "7", replies[i], url.c_str(), false)) ++failures[i];
        HTTPRequest::SetLimits(HTTPRequest::GetLimits());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(failures[i], 0) << "thread " << i;
    size_t length = 0;
    unsigned char* bytes = base64_decode(replies[i].data(), replies[i].size(), &length);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length), std::string(5000 + i, static_cast<char>('a' + i)));
    free(bytes);
  }
}

}  // namespace
