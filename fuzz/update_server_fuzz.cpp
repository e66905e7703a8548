// Feeds the update server's replies, as they arrive over HTTP on loopback, to the updater's
// download road: the ping, the newest-build query, the build list and the build file, the
// received body under its size cap, the Base64 decoding, the bird file check and the store's
// device folder, its settings and its list of local builds. The server is the harness's own: a
// thread that answers every request with the input's body for that request's kind.
//
// Checks: a body under the cap comes whole, one over it fails the request; a download that
// reports a build leaves "<build>.bird" holding exactly the decoded file the server sent, which
// loads, is named in the device's settings and listed among the local builds; one that fails
// leaves neither the checked file behind nor a build file of its own. The store's folder is
// emptied for every input and removed at exit.
//
// Input: [flags][ping body] FF [query body] FF [list body] FF [file body]; flags bit 0: the
// download skips the build list (override), bit 1: without calibration, bit 2: the file reply's
// length header says more than is sent (the server then closes), bit 3: the file reply is sent
// in pieces of (flags >> 4) + 1 bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "firmware/Base64.h"
#include "firmware/BirdFile.h"
#include "firmware/HTTPRequest.h"
#include "firmware/Log.h"
#include "firmware/UpdaterStore.h"
#include "fuzz/loopback_listener.h"
#include "fuzz/run_folder.h"
#include "fuzz/silent_display.h"
#include "updater/Updater.h"

namespace {

void _require(bool condition) {
  if (!condition) std::abort();
}

constexpr size_t kBodyCap = 1 << 14;
constexpr uint32_t kSerial = 0x0BADCAFE;

// The bodies of one input, by the kind of request they answer.
struct Bodies {
  std::string ping, query, list, file;
  uint8_t flags = 0;
};

class FakeServer {
 public:
  FakeServer() {
    uint16_t port = 0;
    listener = listenOnLoopback(16, port);
    url = "http://127.0.0.1:" + std::to_string(port) + "/";
    thread = std::thread([this] { serve(); });
  }
  ~FakeServer() {
    stopping = true;
    shutdown(listener, SHUT_RDWR);
    thread.join();
    close(listener);
  }
  void set(const Bodies& next) {
    std::lock_guard hold(mutex);
    bodies = next;
  }
  std::string url;

 private:
  void serve() {
    for (;;) {
      const int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) {
        if (errno == EINTR && !stopping) continue;
        return;
      }
      answer(connection);
      close(connection);
    }
  }
  static bool sendAll(int connection, const char* bytes, size_t size) {
    for (size_t sent = 0; sent < size;) {
      const ssize_t put = send(connection, bytes + sent, size - sent, MSG_NOSIGNAL);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      sent += size_t(put);
    }
    return true;
  }
  void answer(int connection) {
    std::string request;
    char buffer[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      request.append(buffer, size_t(got));
    }
    Bodies now;
    {
      std::lock_guard hold(mutex);
      now = bodies;
    }
    const std::string line = request.substr(0, request.find("\r\n"));
    const bool file = line.find("op=bird") != std::string::npos;
    const std::string& body = line.find("op=hi") != std::string::npos       ? now.ping
                              : line.find("op=qu") != std::string::npos     ? now.query
                              : line.find("op=builds") != std::string::npos ? now.list
                                                                            : now.file;
    const size_t announced = body.size() + (file && (now.flags & 4) ? 1 + (now.flags >> 4) : 0);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " +
                             std::to_string(announced) + "\r\n\r\n";
    if (!sendAll(connection, head.data(), head.size())) return;
    const size_t piece = file && (now.flags & 8) ? size_t(now.flags >> 4) + 1 : body.size();
    for (size_t at = 0; at < body.size(); at += piece)
      if (!sendAll(connection, body.data() + at, std::min(piece, body.size() - at))) return;
    shutdown(connection, SHUT_WR);
    while (recv(connection, buffer, sizeof buffer, 0) > 0) {
    }
  }

  int listener = -1;
  std::thread thread;
  std::mutex mutex;
  Bodies bodies;
  std::atomic<bool> stopping{false};
};

// The store's root, emptied by every input; removed at exit.
const std::string& _root() { return runFolder("update_server_fuzz"); }

struct Harness {
  Harness() : updater(server.url, _root(), display) {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    HTTPLimits limits;
    limits.connectTimeoutMs = 2000;
    limits.totalTimeoutMs = 5000;
    limits.maxBodyBytes = kBodyCap;
    HTTPRequest::SetLimits(limits);
  }
  FakeServer server;
  SilentDisplay display;
  Updater updater;
};

Harness& _harness() {
  static Harness harness;
  return harness;
}

Bodies _bodies(const uint8_t* data, size_t size) {
  Bodies bodies;
  bodies.flags = data[0];
  std::string* parts[] = {&bodies.ping, &bodies.query, &bodies.list, &bodies.file};
  size_t part = 0;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF && part < 3) ++part;
    else parts[part]->push_back(char(data[i]));
  }
  return bodies;
}

std::string _readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The body under the cap comes whole; over it, the request fails.
void _checkBodyCap(const Bodies& bodies) {
  try {
    HTTPResponse response = HTTPRequest::GET(_harness().server.url.c_str(), {{"op", "hi"}});
    _require(bodies.ping.size() <= kBodyCap && response.get_status() == 200 &&
             response.body_size() == bodies.ping.size() &&
             std::memcmp(response.get_response(), bodies.ping.data(), bodies.ping.size()) == 0);
  } catch (const std::runtime_error&) {
    _require(bodies.ping.size() > kBodyCap);
  }
}

// The file text the build file reply carries: every line after the first, blanks left out.
std::string _fileText(const std::string& body) {
  const std::string text = body.substr(0, body.find('\0'));
  std::string joined;
  bool first = true;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    if (end > at) {
      if (!first)
        for (size_t i = at; i < end; ++i)
          if (text[i] != '\r' && text[i] != ' ' && text[i] != '\t') joined += text[i];
      first = false;
    }
    at = end + 1;
  }
  return joined;
}

void _checkDownload(const Bodies& bodies) {
  Harness& harness = _harness();
  const std::filesystem::path device = std::filesystem::path(_root()) / "0BADCAFE";
  std::error_code ignored;
  std::filesystem::remove_all(device, ignored);
  const uint32_t build = harness.updater.Download_Firmware(kSerial, "", bodies.flags & 1, bodies.flags & 2);
  _require(!std::filesystem::exists(device / ".download.bird"));
  if (build == 0) {
    if (std::filesystem::exists(device))
      for (const auto& entry : std::filesystem::directory_iterator(device))
        _require(entry.path().extension() != ".bird");
    return;
  }
  const std::filesystem::path stored = device / (std::to_string(build) + ".bird");
  const std::string text = _fileText(bodies.file);
  size_t count = 0;
  unsigned char* decoded = base64_decode(text.data(), text.size(), &count);
  _require(decoded != nullptr && _readFile(stored) == std::string(reinterpret_cast<char*>(decoded), count));
  std::free(decoded);
  BirdFile loaded(stored.c_str());  // throws (and the run fails) when it does not load
  KeyValueStore settings((device / ".settings").c_str());
  _require(settings.GetString(KEY_LATEST_DOWNLOAD, "") == std::to_string(build) + ".bird");
  const Updater::BuildList local = harness.updater.Get_BuildListLocal(kSerial);
  _require(local.count(std::to_string(build)) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4 * kBodyCap) return 0;
  const Bodies bodies = _bodies(data, size);
  _harness().server.set(bodies);
  _checkBodyCap(bodies);
  _checkDownload(bodies);
  return 0;
}
