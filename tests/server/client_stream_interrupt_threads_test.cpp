// Ctrl+C or SIGTERM in a process with a client stream: czmq's own handler catches the signal,
// and the stream's forwarding thread hands the same signal back so the process reacts as it
// would without czmq. The child is forked before czmq has started anywhere in this process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>

#include "server/aStream_ZeroMQClient.h"
#include "support/child_process.h"

namespace {

TEST(ClientStreamInterrupt, AnInterruptOrATerminationStillEndsTheProcessByThatSignal) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      aStream* stream = nullptr;
      if (aStream_CreateClient(htonl(INADDR_LOOPBACK), 9, &stream) != aErrNone) _exit(2);
      kill(getpid(), signal);  // czmq's handler takes it first
      sleep(5);                // waits for the handed-back signal, which ends the child within about a second
      _exit(0);
    }
    const std::optional<int> status = qftest::reapWithin(child, std::chrono::milliseconds(10000));
    ASSERT_TRUE(status.has_value()) << "the child did not end";
    ASSERT_TRUE(WIFSIGNALED(*status)) << "exit status " << WEXITSTATUS(*status);
    EXPECT_EQ(WTERMSIG(*status), signal);
  }
}

}  // namespace
