// simmodule: a simulated module as a separate process, for the demo and cross-process tests.
// Its first line on standard output tells where it can be reached; it runs until SIGINT or
// SIGTERM, or, with --control, until standard input ends (so it dies with the process that
// feeds it).
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/module/simEntities.h"
#include "sim/module/simEthernetDiscovery.h"
#include "sim/module/simModule.h"
#include "sim/module/simStorage.h"
#include "sim/module/simStreams.h"
#include "sim/module/simUpgrade.h"

using namespace qfsim;

namespace {

const char* _kUsage =
    "usage: simmodule [options]\n"
    "  --transport tcp|serial|node  raw frames on 127.0.0.1 (default), COBS frames on a\n"
    "                               pseudo-terminal, or raw frames on a pseudo-terminal\n"
    "  --port N                     TCP port (default 0: any free port)\n"
    "  --link PATH                  symbolic link to the pseudo-terminal\n"
    "  --address A                  module address, even and non-zero (default 2)\n"
    "  --model M                    model code (default 4)\n"
    "  --serial HEX                 serial number (default 1A2B3C4D)\n"
    "  --heartbeat-interval MS      send a heartbeat every MS milliseconds\n"
    "  --silent                     send nothing\n"
    "  --first-byte odd|zero        spoil the first byte of every frame sent\n"
    "  --wrong-sync-address         every second sync answer from another address\n"
    "  --bad-crc                    spoil the CRC of every serial frame sent\n"
    "  --close-after N              drop the connection on its Nth packet\n"
    "  --reply-delay MS             hold every frame sent for MS milliseconds\n"
    "  --name TEXT                  the module's name (system entity option 32)\n"
    "  --build N                    firmware build number (option 43 and the build query)\n"
    "  --version HEX                packed firmware version (option 7)\n"
    "  --new-version HEX            the version reported once new firmware was written and\n"
    "                               the module rebooted (default: unchanged)\n"
    "  --new-build N                the build reported then (default: unchanged)\n"
    "  --stream-source C:O:I[:K[:S]] a value the module can stream (repeatable): entity class,\n"
    "                               option, index, kind 1-3 or 5-7 (default 3), subindex;\n"
    "                               numbers decimal or 0x hex; it counts up by one a sample\n"
    "  --stream-interval MS         publishing period of the streams (default 10)\n"
    "  --stream-burst N             samples of every streamed source each period (default 1)\n"
    "  --streaming                  every source streams from the start, unasked (a module\n"
    "                               left streaming by an earlier host)\n"
    "  --stream-answer-delay MS     stream start and stop answers go out this late\n"
    "  --stream-ignore-stop         stops are acknowledged, but the streams go on\n"
    "  --ethernet-discovery ADDR    tcp: answer Ethernet discovery on the interface with this\n"
    "                               IPv4 address (run it in a private network namespace)\n"
    "  --control                    read commands from standard input, one per line:\n"
    "                               heartbeat up|down, close, report,\n"
    "                               fault NAME VALUE (names as the options above, on|off\n"
    "                               for switches), fault clear\n"
    "First output line: transport=... port=N or path=P [link=L] address=A model=M serial=S\n";

std::optional<unsigned long> _number(const std::string& text, unsigned long max, int base = 0) {
  if (text.empty() || text[0] == '-') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > max) return std::nullopt;
  return value;
}

std::optional<bool> _switch(const std::string& text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

// Applies one fault by name; the value is what follows the name. Empty text on success.
std::string _applyFault(SimFaults& faults, const std::string& name, const std::string& value) {
  auto bad = [&] { return "bad value for " + name + ": " + value; };
  if (name == "silent" || name == "wrong-sync-address" || name == "bad-crc") {
    auto on = _switch(value);
    if (!on) return bad();
    (name == "silent" ? faults.silent : name == "bad-crc" ? faults.badCrc : faults.wrongSecondSyncAddress) = *on;
  } else if (name == "first-byte") {
    if (value == "odd") faults.firstByte = FirstByteFault::odd;
    else if (value == "zero") faults.firstByte = FirstByteFault::zero;
    else if (value == "none") faults.firstByte = FirstByteFault::none;
    else return bad();
  } else if (name == "close-after" || name == "reply-delay") {
    auto number = _number(value, 0xFFFFFFFFul);
    if (!number) return bad();
    (name == "close-after" ? faults.closeAfterPackets : faults.replyDelayMs) = static_cast<std::uint32_t>(*number);
  } else {
    return "unknown fault: " + name;
  }
  return {};
}

struct Settings {
  SimModuleOptions module;
  bool control = false;
  std::string discoveryInterface;   // empty: no Ethernet discovery answers
  std::optional<std::string> name;  // the system entity's name, build and firmware version
  std::optional<std::uint32_t> build;
  std::optional<std::uint32_t> version;
  std::optional<std::uint32_t> newBuild;  // what the module reports after an upgrade
  std::optional<std::uint32_t> newVersion;
  SimStreamSettings streams;
  std::vector<SimStreamSource> streamSources;
  bool streaming = false;  // the sources stream from the start
};

// C:O:I[:K[:S]], each a number of 8 bits (decimal or 0x hex); kinds 1-3 and 5-7.
std::optional<SimStreamSource> _streamSource(const std::string& text) {
  std::vector<std::uint8_t> fields;
  std::istringstream parts(text);
  for (std::string part; std::getline(parts, part, ':');) {
    auto number = _number(part, 0xFF);
    if (!number) return std::nullopt;
    fields.push_back(static_cast<std::uint8_t>(*number));
  }
  if (fields.size() < 3 || fields.size() > 5) return std::nullopt;
  SimStreamSource source;
  source.command = fields[0];
  source.option = fields[1];
  source.index = fields[2];
  if (fields.size() > 3) source.kind = fields[3];
  if (fields.size() > 4) source.subindex = fields[4];
  if (source.kind == 0 || source.kind == 4 || source.kind > 7) return std::nullopt;
  source.counting = true;
  return source;
}

// Parses the command line; prints the reason and returns none on a bad one.
std::optional<Settings> _parse(int argc, char** argv, bool& help) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    std::string problem;
    if (option == "-h" || option == "--help") {
      help = true;
      return settings;
    } else if (option == "--control") {
      settings.control = true;
    } else if (option == "--streaming") {
      settings.streaming = true;
    } else if (option == "--stream-ignore-stop") {
      settings.streams.ignoreStops = true;
    } else if (option == "--silent" || option == "--wrong-sync-address" || option == "--bad-crc") {
      problem = _applyFault(settings.module.faults, option.substr(2), "on");
    } else if (option == "--first-byte" || option == "--close-after" || option == "--reply-delay") {
      auto text = value();
      problem = text ? _applyFault(settings.module.faults, option.substr(2), *text) : "missing value";
    } else {
      auto text = value();
      if (!text) {
        problem = "missing value";
      } else if (option == "--transport") {
        if (*text == "tcp") settings.module.transport = SimTransport::tcp;
        else if (*text == "serial") settings.module.transport = SimTransport::serial;
        else if (*text == "node") settings.module.transport = SimTransport::node;
        else problem = "unknown transport " + *text;
      } else if (option == "--link") {
        settings.module.linkPath = *text;
      } else if (option == "--ethernet-discovery") {
        settings.discoveryInterface = *text;
      } else if (option == "--name") {
        settings.name = *text;
      } else if (option == "--stream-source") {
        auto source = _streamSource(*text);
        if (source) settings.streamSources.push_back(*source);
        else problem = "bad stream source " + *text;
      } else {
        std::optional<unsigned long> number;
        if (option == "--port") number = _number(*text, 0xFFFF);
        else if (option == "--address" || option == "--model") number = _number(*text, 0xFF);
        else if (option == "--serial") number = _number(*text, 0xFFFFFFFFul, 16);
        else if (option == "--heartbeat-interval" || option == "--build" || option == "--new-build" ||
                 option == "--stream-interval" || option == "--stream-burst" || option == "--stream-answer-delay")
          number = _number(*text, 0xFFFFFFFFul);
        else if (option == "--version" || option == "--new-version") number = _number(*text, 0xFFFFFFFFul, 16);
        else problem = "unknown option";
        if (problem.empty() && !number) problem = "bad value " + *text;
        if (problem.empty()) {
          if (option == "--port") settings.module.port = static_cast<std::uint16_t>(*number);
          else if (option == "--address") settings.module.address = static_cast<std::uint8_t>(*number);
          else if (option == "--model") settings.module.model = static_cast<std::uint8_t>(*number);
          else if (option == "--serial") settings.module.serialNumber = static_cast<std::uint32_t>(*number);
          else if (option == "--build") settings.build = static_cast<std::uint32_t>(*number);
          else if (option == "--version") settings.version = static_cast<std::uint32_t>(*number);
          else if (option == "--new-build") settings.newBuild = static_cast<std::uint32_t>(*number);
          else if (option == "--new-version") settings.newVersion = static_cast<std::uint32_t>(*number);
          else if (option == "--stream-interval") settings.streams.intervalMs = static_cast<std::uint32_t>(*number);
          else if (option == "--stream-burst") settings.streams.samplesPerTick = static_cast<std::uint32_t>(*number);
          else if (option == "--stream-answer-delay")
            settings.streams.answerDelayMs = static_cast<std::uint32_t>(*number);
          else settings.module.heartbeatIntervalMs = static_cast<std::uint32_t>(*number);
        }
      }
    }
    if (!problem.empty()) {
      std::fprintf(stderr, "simmodule: %s: %s\n", option.c_str(), problem.c_str());
      return std::nullopt;
    }
  }
  return settings;
}

void _printWhere(const SimModule& module, const Settings& settings) {
  const SimModuleOptions& options = settings.module;
  if (options.transport == SimTransport::tcp) {
    std::printf("transport=tcp port=%u", module.port());
  } else {
    std::printf("transport=%s path=%s", options.transport == SimTransport::serial ? "serial" : "node",
                module.path().c_str());
    if (!options.linkPath.empty()) std::printf(" link=%s", options.linkPath.c_str());
  }
  std::printf(" address=%u model=%u serial=%08X\n", module.address(), module.model(), module.serialNumber());
  std::fflush(stdout);
}

std::string _report(const SimRecord& record) {
  std::string routes;
  for (std::uint8_t route : record.routes) {
    if (!routes.empty()) routes += ',';
    routes += std::to_string(route);
  }
  unsigned ok = 0;
  for (const HeartbeatCheck& check : record.heartbeatAnswers) ok += check.ok ? 1 : 0;
  std::ostringstream line;
  line << "packets=" << record.packets.size() << " syncs=" << record.syncRequests << " routes=" << routes
       << " heartbeats-sent=" << record.heartbeatsSent << " answers-ok=" << ok
       << " answers-bad=" << record.heartbeatAnswers.size() - ok << " connections=" << record.connections
       << " framing-errors=" << record.framingErrors;
  return line.str();
}

// Carries out one control line; the answer is one line.
std::string _command(SimModule& module, const std::string& line) {
  std::istringstream words(line);
  std::string verb, first, second;
  words >> verb >> first >> second;
  if (verb == "report") return _report(module.record());
  if (verb == "close") return module.closeConnection(), "ok";
  if (verb == "heartbeat" && (first == "up" || first == "down")) {
    module.sendHeartbeat(first == "up" ? HeartbeatKind::up : HeartbeatKind::down);
    return "ok";
  }
  if (verb == "fault" && first == "clear") return module.setFaults(SimFaults{}), "ok";
  if (verb == "fault") {
    SimFaults faults = module.faults();
    std::string problem = _applyFault(faults, first, second);
    if (!problem.empty()) return "error: " + problem;
    module.setFaults(faults);
    return "ok";
  }
  return "error: unknown command: " + line;
}

// The loader of the upgrade command; a reboot after written firmware starts that firmware,
// which reports the new build and version.
void _attachLoader(SimModule& module, const std::shared_ptr<SimEntities>& entities, const Settings& settings) {
  auto upgrade = std::make_shared<SimUpgrade>(SimPooledLoaderSettings());
  SimUpgrade::attach(upgrade, entities, module);
  const std::optional<std::uint32_t> newBuild = settings.newBuild, newVersion = settings.newVersion;
  module.setHandler(kSimCommandUpgrade, [=](SimContext& context, const SimPacket& packet) {
    upgrade->handle(context, packet);
    const bool reboot = packet.data.size() >= 2 && packet.data[1] == 0x06;
    if (!reboot || upgrade->record().firmware.empty()) return;
    if (newBuild) entities->define(kSimClassSystem, 0, 43, SimOption::u32(*newBuild));
    if (newVersion) entities->define(kSimClassSystem, 0, 7, SimOption::u32(*newVersion));
  });
}

// Serves control lines until standard input ends or a signal arrives.
void _serve(SimModule& module, int signals, bool control) {
  std::string pending;
  while (true) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, control ? 2 : 1, -1) < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) return;
    if (!control || !(fds[1].revents & (POLLIN | POLLHUP))) continue;
    char buffer[512];
    ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) return;
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::string answer = _command(module, pending.substr(0, end));
      std::printf("%s\n", answer.c_str());
      std::fflush(stdout);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool help = false;
  std::optional<Settings> settings = _parse(argc, argv, help);
  if (help || !settings) {
    std::fputs(_kUsage, help ? stdout : stderr);
    return help ? 0 : 1;
  }
  // Signals are taken by the main thread only; the module's thread inherits the blocked mask.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  int signals = ::signalfd(-1, &mask, SFD_CLOEXEC);

  if (!settings->discoveryInterface.empty()) settings->module.tcpAddress = settings->discoveryInterface;
  SimModule module(settings->module);
  auto entities = std::make_shared<SimEntities>();
  if (settings->name)
    entities->define(kSimClassSystem, 0, 32, SimOption::bytes({settings->name->begin(), settings->name->end()}, true));
  if (settings->build) entities->define(kSimClassSystem, 0, 43, SimOption::u32(*settings->build));
  if (settings->version) entities->define(kSimClassSystem, 0, 7, SimOption::u32(*settings->version));
  SimEntities::attach(entities, module);
  _attachLoader(module, entities, *settings);
  // Streams (none publishing until a host starts one, unless streaming from the start) and an
  // empty slot 0 of store 0.
  auto streams = std::make_shared<SimStreams>(settings->streams);
  for (const SimStreamSource& source : settings->streamSources) {
    streams->setSource(source);
    if (settings->streaming)
      streams->startStream({settings->module.address, source.command, source.option, source.index});
  }
  SimStreams::attach(streams, module);
  auto storage = std::make_shared<SimStorage>();
  storage->setSlot(0, 0, SimSlot{});
  SimStorage::attach(storage, module);
  std::string error;
  if (signals < 0 || !module.start(&error)) {
    std::fprintf(stderr, "simmodule: %s\n", signals < 0 ? std::strerror(errno) : error.c_str());
    return 1;
  }
  // Answers discovery with what the module really is, from the address it listens on, so a host
  // can go on to connect to it.
  SimEthernetDiscovery discovery(
      {settings->discoveryInterface,
       "",
       {simEthernetReply(module.address(), module.port(), module.serialNumber(), module.model())}});
  if (!settings->discoveryInterface.empty() &&
      (settings->module.transport != SimTransport::tcp || !discovery.start(&error))) {
    std::fprintf(stderr, "simmodule: --ethernet-discovery: %s\n",
                 error.empty() ? "needs the tcp transport" : error.c_str());
    return 1;
  }
  _printWhere(module, *settings);
  _serve(module, signals, settings->control);
  discovery.stop();
  module.stop();
  return 0;
}
