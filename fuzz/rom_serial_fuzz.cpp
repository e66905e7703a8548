// Feeds what a ROM sends over a serial line to the serial download transport as it arrives: the
// transport runs on the real serial stream over a pseudo-terminal, whose other end the harness
// holds as the ROM. The port is opened once (its set-up lets the line settle for a second) and
// associated by a ROM that echoes the key; then every input is a run of reports and replies.
//
// Checks that a report goes out without its report id and otherwise byte for byte, and that the
// reads give exactly the reply the ROM sent, in order, nothing dropped, changed or added.
//
// Input: records [report length][report bytes][reply length][reply bytes]; a report's first
// byte is its report id, which the transport drops.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "firmware/Log.h"
#include "recovery/Serial_SDPLoader_unix.h"

namespace {

using Bytes = std::vector<uint8_t>;

void _require(bool condition) {
  if (!condition) std::abort();
}

constexpr unsigned kReplyWaitMs = 2000;  // for the first byte of a reply that is already sent
constexpr int kReportWaitMs = 2000;
const uint8_t kKey[] = {0x23, 0x45, 0x45, 0x23};

// The ROM's end of the line: the pseudo-terminal's master side.
struct Rom {
  Rom() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    _require(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    path = ptsname(master);
    termios raw{};
    _require(tcgetattr(master, &raw) == 0);
    cfmakeraw(&raw);
    _require(tcsetattr(master, TCSANOW, &raw) == 0);
  }
  ~Rom() { close(master); }

  // The next count bytes the host sent, within the wait; fewer when they did not come.
  Bytes receive(size_t count) {
    Bytes got;
    while (got.size() < count) {
      pollfd ready{master, POLLIN, 0};
      const int polled = poll(&ready, 1, kReportWaitMs);
      if (polled < 0 && errno == EINTR) continue;
      if (polled <= 0) break;
      uint8_t buffer[512];
      const ssize_t read = ::read(master, buffer, std::min(sizeof buffer, count - got.size()));
      if (read < 0 && errno == EINTR) continue;
      if (read <= 0) break;
      got.insert(got.end(), buffer, buffer + read);
    }
    return got;
  }
  void send(const Bytes& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t put = ::write(master, bytes.data() + sent, bytes.size() - sent);
      if (put < 0 && errno == EINTR) continue;
      _require(put > 0);
      sent += size_t(put);
    }
  }
  // Whatever is waiting from the host, dropped.
  void drain() {
    uint8_t buffer[512];
    for (pollfd ready{master, POLLIN, 0}; poll(&ready, 1, 0) > 0 && ::read(master, buffer, sizeof buffer) > 0;) {
    }
  }

  int master = -1;
  std::string path;
};

struct Line {
  Line() : transport(rom.path.c_str()) {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
    // The ROM answers the association key while the port is set up. The transport gives the
    // answer 100 ms: a loaded machine may keep the ROM's side from it, and the set-up is tried
    // again (the transport works unassociated all the same).
    for (int tries = 0; tries < 3 && !transport.associated(); ++tries) {
      std::thread answering([this] {
        if (rom.receive(sizeof kKey) == Bytes(kKey, kKey + sizeof kKey)) rom.send(Bytes(kKey, kKey + sizeof kKey));
      });
      const bool opened = transport.init();
      answering.join();
      _require(opened);
    }
  }
  Rom rom;
  Serial_SDPLoader transport;
};

Line& _line() {
  static Line line;
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Line& line = _line();
  line.rom.drain();
  std::vector<uint8_t> waiting;
  line.transport.readData(waiting, 0);  // nothing is left over from the input before
  _require(waiting.empty());
  for (size_t at = 0; at < size;) {
    const size_t reportLength = std::min<size_t>(data[at], size - at - 1);
    ++at;
    const Bytes report(data + at, data + at + reportLength);
    at += reportLength;
    const size_t replyLength = at < size ? std::min<size_t>(data[at], size - at - 1) : 0;
    if (at < size) ++at;
    const Bytes reply(data + at, data + at + replyLength);
    at += replyLength;

    const int64_t written = line.transport.writeData(report);
    if (report.empty()) {
      _require(written == -1);
    } else {
      _require(written == int64_t(report.size() - 1));
      _require(line.rom.receive(report.size() - 1) == Bytes(report.begin() + 1, report.end()));
    }
    if (reply.empty()) continue;
    line.rom.send(reply);
    // One read takes the reply unless the line fell quiet inside it (a loaded machine may pause
    // the ROM's side): then the next read takes the rest.
    std::vector<uint8_t> out;
    while (out.size() < reply.size()) {
      const size_t before = out.size();
      const int64_t read = line.transport.readData(out, kReplyWaitMs);
      _require(read > 0 && out.size() == before + size_t(read));
    }
    _require(out == reply);
  }
  return 0;
}
