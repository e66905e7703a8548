// The update-server requests against the test update server over loopback HTTP.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "firmware/Base64.h"
#include "firmware/HTTPRequest.h"
#include "firmware/Log.h"
#include "firmware/UpdateServerRequest.h"
#include "support/log_capture.h"
#include "support/update_server_process.h"

namespace {

using qftest::LogCapture;
using qftest::UpdateServerProcess;
using Builds = UpdateServerRequest::BuildList;

constexpr uint32_t kSerial = 0x0012ABCD;

std::string _allByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes;
}

// The bytes a Base64 text stands for, or nullopt when base64_decode refuses it.
std::optional<std::string> _decoded(const std::string& text) {
  size_t length = 0;
  std::unique_ptr<unsigned char, decltype(&std::free)> bytes(base64_decode(text.data(), text.size(), &length),
                                                             &std::free);
  if (!bytes) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes.get()), length);
}

// Restores the default transfer limits when a test has lowered them.
struct LimitsOverride {
  explicit LimitsOverride(const HTTPLimits& limits) { HTTPRequest::SetLimits(limits); }
  ~LimitsOverride() { HTTPRequest::SetLimits(HTTPLimits{}); }
};

// Everything one call of each request left in its out arguments, starting from sentinels, so a
// test sees both what a request wrote and what it left alone.
struct Outcome {
  bool ok = false;
  std::string build = "untouched";
  std::string firmware = "untouched";
  std::string reply = "untouched";
  Builds builds = {{"stale", "entry"}};
  uint32_t serial = 0xFEEDFACE;
  uint32_t buildNumber = 0xFEEDFACE;
};

struct Request {
  const char* name;
  std::function<bool(Outcome&, const char* url)> call;
};

const uint32_t kWords[4] = {0x1, 0xDEADBEEF, 0xA, 0xFFFFFFFF};

enum { kPing, kQueryBuild, kGetBuild, kGetBuildList, kGetRecoveryInfo };
const Request kRequests[] = {
    {"ping", [](Outcome&, const char* url) { return UpdateServerRequest::ping(url); }},
    {"QueryBuild",
     [](Outcome& o, const char* url) { return UpdateServerRequest::QueryBuild(kSerial, o.build, o.firmware, url); }},
    {"GetBuild",
     [](Outcome& o, const char* url) {
       return UpdateServerRequest::GetBuild(kSerial, "main", "5", o.reply, url, false);
     }},
    {"GetBuildList",
     [](Outcome& o, const char* url) { return UpdateServerRequest::GetBuildList(kSerial, o.builds, url); }},
    {"GetRecoveryInfo",
     [](Outcome& o, const char* url) {
       return UpdateServerRequest::GetRecoveryInfo(kWords, &o.serial, &o.buildNumber, url);
     }},
};

Outcome _run(const Request& request, const std::string& url) {
  Outcome outcome;
  outcome.ok = request.call(outcome, url.c_str());
  return outcome;
}

// A server with two builds for kSerial and a recovery entry for kWords.
void _stock(UpdateServerProcess& server) {
  server.addBuild(kSerial, "5", _allByteValues(), "2.10.4");
  server.addBuild(kSerial, "12", "newest", "2.9.0");
  server.setFirmware(kSerial, "fw-main");
  server.addRecovery("00000001%20DEADBEEF%200000000A%20FFFFFFFF", "0012ABCD", "010");
}

TEST(ServerClient, SendsEachQueryExactlyWithAscendingKeysAndTrailingAmpersand) {
  UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  struct Case {
    std::function<void(const char* url)> call;
    const char* target;
  };
  std::string text;
  Builds builds;
  uint32_t serial = 0, build = 0;
  const Case cases[] = {
      {[](const char* url) { UpdateServerRequest::ping(url); }, "/cgi/u?op=hi&rv=2&"},
      {[&](const char* url) { UpdateServerRequest::QueryBuild(0xAB, text, text, url); }, "/cgi/u?op=qu&sn=000000AB&"},
      {[&](const char* url) { UpdateServerRequest::GetBuild(kSerial, "fw-main", "17", text, url, true); },
       "/cgi/u?bld=17&fw=fw-main&no_cal=true&op=bird&sn=0012ABCD&"},
      {[&](const char* url) { UpdateServerRequest::GetBuild(1, "x", "2", text, url, false); },
       "/cgi/u?bld=2&fw=x&no_cal=false&op=bird&sn=00000001&"},
      // Values are escaped once: a blank, "#" or "&" stays inside its value.
      {[&](const char* url) { UpdateServerRequest::GetBuild(1, "main b#2&op=x", "3", text, url, false); },
       "/cgi/u?bld=3&fw=main%20b%232%26op%3Dx&no_cal=false&op=bird&sn=00000001&"},
      {[&](const char* url) { UpdateServerRequest::GetBuildList(0xFEDCBA98, builds, url); },
       "/cgi/u?op=builds&sn=FEDCBA98&"},
      {[&](const char* url) { UpdateServerRequest::GetRecoveryInfo(kWords, &serial, &build, url); },
       "/cgi/u?brief=true&fp=00000001%20DEADBEEF%200000000A%20FFFFFFFF&op=fix&"},
      {[](const char* url) { HTTPRequest::GET(url, {}); }, "/cgi/u"},
      {[](const char* url) {
         HTTPRequest::GET(url, {{"zz", "1"}, {"Zz", "2"}, {"a", ""}});
       },
       "/cgi/u?Zz=2&a=&zz=1&"},
  };
  const std::string url = server.baseUrl();
  for (const Case& c : cases) {
    c.call(url.c_str());
    ASSERT_FALSE(server.requests().empty());
    EXPECT_EQ(server.requests().back(), c.target);
  }
}

TEST(ServerClient, ReadsEveryReplyOfAWorkingServer) {
  UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  _stock(server);
  const std::string url = server.baseUrl();

  Outcome newest = _run(kRequests[kQueryBuild], url);
  EXPECT_TRUE(newest.ok);
  EXPECT_EQ(newest.build, "12");
  EXPECT_EQ(newest.firmware, "fw-main");

  Outcome file = _run(kRequests[kGetBuild], url);
  EXPECT_TRUE(file.ok);
  EXPECT_EQ(_decoded(file.reply), _allByteValues());

  Outcome list = _run(kRequests[kGetBuildList], url);
  EXPECT_TRUE(list.ok);
  EXPECT_EQ(list.builds, (Builds{{"12", "2.9.0"}, {"5", "2.10.4"}}));

  Outcome recovery = _run(kRequests[kGetRecoveryInfo], url);
  EXPECT_TRUE(recovery.ok);
  EXPECT_EQ(recovery.serial, 0x0012ABCDu);
  EXPECT_EQ(recovery.buildNumber, 8u);  // "010" is octal

  EXPECT_TRUE(_run(kRequests[kPing], url).ok);
}

TEST(ServerClient, ReadsTheRecoverySerialAsHexadecimalAndTheBuildAsStrtoulBaseZero) {
  UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  struct Case {
    uint32_t word;  // the first fingerprint word; the others are 0
    const char* fingerprint;
    const char* serialLine;
    const char* buildLine;
    uint32_t serial;
    uint32_t build;
  };
  const Case cases[] = {
      {1, "00000001%2000000000%2000000000%2000000000", "ffffffff", "0x10", 0xFFFFFFFF, 16},
      {2, "00000002%2000000000%2000000000%2000000000", "1", "4711", 1, 4711},
      {3, "00000003%2000000000%2000000000%2000000000", "00ab", "0", 0xAB, 0},
  };
  for (const Case& c : cases) {
    server.addRecovery(c.fingerprint, c.serialLine, c.buildLine);
    const uint32_t words[4] = {c.word, 0, 0, 0};
    uint32_t serial = 0xFEEDFACE, build = 0xFEEDFACE;
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, server.baseUrl().c_str()));
    EXPECT_EQ(serial, c.serial) << c.serialLine;
    EXPECT_EQ(build, c.build) << c.buildLine;
  }
}

// Reply shapes that still count as an answer, and what each request takes from them.
TEST(ServerClient, TakesValuesFromOddButValidReplyShapes) {
  struct Case {
    const char* fault;
    std::function<void(const std::string& url)> check;
  };
  const Case cases[] = {
      {"crlf",
       [](const std::string& url) {
         Outcome newest = _run(kRequests[kQueryBuild], url);
         EXPECT_TRUE(newest.ok);
         EXPECT_EQ(newest.build, "12\r");  // only the firmware line is cut at the CR
         EXPECT_EQ(newest.firmware, "fw-main");
         Outcome list = _run(kRequests[kGetBuildList], url);
         EXPECT_EQ(list.builds, (Builds{{"12", "2.9.0"}, {"5", "2.10.4"}}));
         Outcome file = _run(kRequests[kGetBuild], url);
         EXPECT_TRUE(file.ok);
         EXPECT_EQ(_decoded(file.reply), _allByteValues()) << "the CR is no part of the text";
         EXPECT_EQ(_run(kRequests[kGetRecoveryInfo], url).buildNumber, 8u);
       }},
      {"blanklines",
       [](const std::string& url) {
         Outcome newest = _run(kRequests[kQueryBuild], url);
         EXPECT_TRUE(newest.ok);
         EXPECT_EQ(newest.build, "12");
         EXPECT_EQ(_decoded(_run(kRequests[kGetBuild], url).reply), _allByteValues());
       }},
      {"okonly",
       [](const std::string& url) {
         for (const Request& request : kRequests) EXPECT_TRUE(_run(request, url).ok) << request.name;
         Outcome newest = _run(kRequests[kQueryBuild], url);
         EXPECT_EQ(newest.build, "untouched");
         EXPECT_EQ(newest.firmware, "untouched");
         EXPECT_EQ(_run(kRequests[kGetBuild], url).reply, "");
         EXPECT_TRUE(_run(kRequests[kGetBuildList], url).builds.empty());
         EXPECT_EQ(_run(kRequests[kGetRecoveryInfo], url).serial, 0xFEEDFACEu);
       }},
      {"wrapped",
       [](const std::string& url) {
         Outcome file = _run(kRequests[kGetBuild], url);
         EXPECT_TRUE(file.ok);
         EXPECT_EQ(_decoded(file.reply), _allByteValues()) << "decoded whole, not one line";
       }},
      {"badbase64",
       [](const std::string& url) {
         Outcome file = _run(kRequests[kGetBuild], url);
         EXPECT_TRUE(file.ok);
         EXPECT_FALSE(file.reply.empty());
         EXPECT_EQ(_decoded(file.reply), std::nullopt);
       }},
      {"badbuilds",
       [](const std::string& url) {
         // Adds "beta;1.0.0", "12;9.9.9", "7;" and "77" after the real entries.
         Outcome list = _run(kRequests[kGetBuildList], url);
         EXPECT_TRUE(list.ok);
         EXPECT_EQ(list.builds, (Builds{{"12", "2.9.0"}, {"5", "2.10.4"}, {"beta", "1.0.0"}}));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    UpdateServerProcess server(c.fault);
    ASSERT_TRUE(server.running());
    _stock(server);
    c.check(server.baseUrl());
  }
}

// A TCP socket bound to a free loopback port; address receives that port.
int _boundLoopbackSocket(sockaddr_in& address) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return fd;
}

std::string _loopbackUrl(const sockaddr_in& address) {
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi/u";
}

// A port on which nothing listens: bound but never listening, so no one else can take it.
struct RefusingPort {
  RefusingPort() : fd(_boundLoopbackSocket(address)) {}
  ~RefusingPort() { close(fd); }
  sockaddr_in address;
  int fd;
};

// The log line that gives a request's reason for failing, from the request's name.
using Reason = std::function<std::string(const std::string& name)>;

Reason _statusReason(int status) {
  return [status](const std::string& name) {
    return (name == "ping" ? "PING" : name) + " ==> [" + std::to_string(status) + "] [error status\n]";
  };
}

Reason _transferReason(CURLcode code) {
  return [code](const std::string& name) { return name + " ==> [" + curl_easy_strerror(code) + "]"; };
}

std::string _notOkReason(const std::string& name) { return "ServerCommClass: " + name + " failed [http://127.0.0.1:"; }

TEST(ServerClient, EveryRequestFailsWithOneReasonAndLeavesItsValuesAlone) {
  struct Case {
    const char* fault;  // null: no server at all, url is used instead
    std::string url;
    Reason reason;
  };
  RefusingPort refusing;
  const Case cases[] = {
      {"status404", "", _statusReason(404)},
      {"status500", "", _statusReason(500)},
      {"notok", "", _notOkReason},
      {"empty", "", _notOkReason},
      {nullptr, _loopbackUrl(refusing.address), _transferReason(CURLE_COULDNT_CONNECT)},
      {nullptr, "http://[::1/cgi/u", _transferReason(CURLE_URL_MALFORMAT)},
  };
  for (const Case& c : cases) {
    std::unique_ptr<UpdateServerProcess> server;
    std::string url = c.url;
    if (c.fault) {
      server = std::make_unique<UpdateServerProcess>(c.fault);
      ASSERT_TRUE(server->running());
      _stock(*server);
      url = server->baseUrl();
    }
    for (const Request& request : kRequests) {
      SCOPED_TRACE(std::string(c.fault ? c.fault : c.url) + " " + request.name);
      LogCapture log(Log::DEBUG_ServerComm);
      const Outcome outcome = _run(request, url);
      EXPECT_FALSE(outcome.ok);
      EXPECT_TRUE(log.contains(c.reason(request.name))) << log.text();
      const Outcome untouched;
      EXPECT_EQ(outcome.build, untouched.build);
      EXPECT_EQ(outcome.firmware, untouched.firmware);
      EXPECT_EQ(outcome.reply, untouched.reply);
      EXPECT_EQ(outcome.serial, untouched.serial);
      EXPECT_EQ(outcome.buildNumber, untouched.buildNumber);
      // The build list alone is cleared before the request goes out.
      EXPECT_EQ(outcome.builds.empty(), request.name == std::string("GetBuildList"));
    }
  }
}

// Whatever the server does, a request ends in bounded time: a stall or a drip below the
// low-speed floor within the low-speed time, and any transfer at the total deadline.
TEST(ServerClient, AStalledOrDrippingServerEndsTheRequestInBoundedTime) {
  struct Case {
    const char* fault;
    long lowSpeedFloor;  // bytes per second
    long totalMs;
  };
  const Case cases[] = {
      {"stall", HTTPLimits{}.lowSpeedBytesPerSecond, HTTPLimits{}.totalTimeoutMs},
      {"stallbody", HTTPLimits{}.lowSpeedBytesPerSecond, HTTPLimits{}.totalTimeoutMs},
      {"drip", HTTPLimits{}.lowSpeedBytesPerSecond, HTTPLimits{}.totalTimeoutMs},
      {"drip", 1, 1500},  // two bytes a second pass the floor: the deadline ends it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " floor " + std::to_string(c.lowSpeedFloor));
    HTTPLimits limits;
    limits.lowSpeedSeconds = 1;
    limits.lowSpeedBytesPerSecond = c.lowSpeedFloor;
    limits.totalTimeoutMs = c.totalMs;
    LimitsOverride lowered(limits);
    UpdateServerProcess server(c.fault);
    ASSERT_TRUE(server.running());
    LogCapture log(Log::DEBUG_ServerComm);
    std::string reply = "untouched";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "main", "5", reply, server.baseUrl().c_str(), false));
    const auto took = std::chrono::steady_clock::now() - start;
    // libcurl measures the speed over a window of a few seconds, so a stall right after some data
    // is noticed a few seconds later than one before any.
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(reply, "untouched");
    EXPECT_TRUE(log.contains(std::string("GetBuild ==> [") + curl_easy_strerror(CURLE_OPERATION_TIMEDOUT) + "]"))
        << log.text();
  }
}

// A listening socket whose accept queue is full and never drained: the kernel drops further
// connection attempts, so a connect would wait for ever without the connect time-out.
struct FullBacklog {
  FullBacklog() : listener(_boundLoopbackSocket(address)) {
    listen(listener, 0);
    for (int& client : clients) {
      client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~FullBacklog() {
    for (int client : clients) close(client);
    close(listener);
  }
  sockaddr_in address;
  int listener;
  int clients[3];
};

TEST(ServerClient, AConnectionThatNeverStandsEndsAtTheConnectTimeOut) {
  FullBacklog backlog;
  HTTPLimits limits;
  limits.connectTimeoutMs = 500;
  LimitsOverride lowered(limits);
  LogCapture log(Log::DEBUG_ServerComm);
  const std::string url = _loopbackUrl(backlog.address);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(log.contains(std::string("ping ==> [") + curl_easy_strerror(CURLE_OPERATION_TIMEDOUT) + "]"))
      << log.text();
}

TEST(ServerClient, ABodyBeyondTheCapEndsTheRequest) {
  UpdateServerProcess server("huge");
  ASSERT_TRUE(server.running());
  LogCapture log(Log::DEBUG_ServerComm);
  std::string reply;
  EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "main", "5", reply, server.baseUrl().c_str(), false));
  EXPECT_TRUE(
      log.contains("GetBuild ==> [Reply body larger than " + std::to_string(HTTPLimits{}.maxBodyBytes) + " bytes]"));
}

TEST(ServerClient, AnHttpsServerWithAnUntrustedCertificateIsRefused) {
  const std::string data = QF_SOURCE_DIR "/tests/firmware/data/";
  UpdateServerProcess server("none",
                             {"--tls-cert", data + "selfsigned-cert.pem", "--tls-key", data + "selfsigned-key.pem"});
  ASSERT_TRUE(server.running());
  LogCapture log(Log::DEBUG_ServerComm);
  EXPECT_FALSE(UpdateServerRequest::ping(server.baseUrl("https").c_str()));
  EXPECT_TRUE(log.contains(std::string("ping ==> [") + curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION) + "]"))
      << log.text();
  EXPECT_TRUE(server.requests().empty());
}

TEST(ServerClient, LogsAtMostTheFirstHundredBytesOfEachReceivedChunk) {
  UpdateServerProcess server;
  ASSERT_TRUE(server.running());
  server.addBuild(kSerial, "5", std::string(3000, 'x'));
  LogCapture log(Log::DEBUG_ServerComm);
  std::string reply;
  ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "main", "5", reply, server.baseUrl().c_str(), false));
  const std::string text = log.text();
  const size_t line = text.find("rcv_data called (");
  ASSERT_NE(line, std::string::npos) << text;
  const size_t open = text.find(") [", line) + 3;
  const size_t close = text.find("]\n", open);
  EXPECT_EQ(close - open, 100u);
  EXPECT_EQ(text.substr(open, 5), "ok\neH");  // the body's own first bytes
}

}  // namespace
