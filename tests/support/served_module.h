// A simulated module on TCP behind a link sharing server, for tests: the module, a registered
// TCP/IP device link to it (registered as the TCP/IP link creator registers one) and a server in
// front of that link, attached to the link's entry as the served-link creator attaches it, so
// that destroying the device link destroys the server. Header only: the tests that use it link
// the device library.
#pragma once

#include <arpa/inet.h>

#include <chrono>
#include <memory>
#include <string>

#include "common/aStreamsocket.h"
#include "common/discover.h"
#include "common/internal/aLinkRegistry.h"
#include "common/internal/aLink_internal.h"
#include "server/aServer_ZeroMQ.h"
#include "sim/module/simModule.h"
#include "support/sim_module_start.h"

namespace qftest {

// A started device link over TCP to 127.0.0.1:port with one use, registered as a link of the
// given type (the server tells the types apart by the registry entry alone); 0 on failure
// (nothing left).
inline aLinkID RegisterTcpDeviceLink(uint16_t port, uint32_t serialNumber, linkType type = TCPIP) {
  aStream* stream = nullptr;
  if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &stream) != aErrNone) return 0;
  aLinkID id = sCreate2(serialNumber, htonl(INADDR_LOOPBACK), port, type);
  if (!id || aLink_Init(id, stream) != id) {
    aStream_Destroy(&stream);
    if (id) aLink_Destroy(&id);
    return 0;
  }
  sAddUse(id);
  if (aLink_Start(id) != aErrNone) aLink_Destroy(&id);
  return id;
}

// A module handler that answers a request with the request's own data.
inline qfsim::SimHandler EchoHandler() {
  return [](qfsim::SimContext& c, const qfsim::SimPacket& p) { c.reply({c.state().address, p.data}); };
}

struct ServerOptions {
  uint8_t localOnly = 1;
  uint32_t networkInterface = 0;  // network byte order
  uint8_t model = 0;              // set after the start when not 0, as the served-link creator does
  linkType registeredAs = TCPIP;  // the device link's registry type
};

class ServedModule {
 public:
  explicit ServedModule(qfsim::SimModuleOptions moduleOptions = {}, ServerOptions serverOptions = {})
      : _module(std::make_unique<qfsim::SimModule>(moduleOptions)), _options(serverOptions) {}
  ~ServedModule() {
    if (_link) aLink_Destroy(&_link);  // the server goes with the device link
    _module->stop();
  }
  ServedModule(const ServedModule&) = delete;
  ServedModule& operator=(const ServedModule&) = delete;

  // Module, device link, server; false with the reason for the first step that failed.
  // startResult receives the server's own start result.
  bool start(std::string* why, aErr* startResult = nullptr) {
    if (!_module->start(why)) return false;
    _link = RegisterTcpDeviceLink(_module->port(), _module->serialNumber(), _options.registeredAs);
    if (!_link) return _fail(why, "the device link could not be made");
    aServer_RegisterWithLinkCore();  // the device link's destroy ends the server
    // The link's start returns once it is in step, before its force-route packet (queued behind
    // the rest of the synchronisation burst) has reached the module: wait for it, so that the
    // module's record holds nothing of the start that a test could take for its own traffic.
    if (!_module->waitUntil([](const qfsim::SimRecord& r) { return !r.routes.empty(); }, std::chrono::seconds(3)))
      return _fail(why, "the module never received the device link's force-route packet");
    _server = aServer_Create(_link, _options.networkInterface, _options.localOnly);
    if (!_server) return _fail(why, "aServer_Create gave no server");
    sLookupEntryByID(_link)->server = _server;
    const aErr started = aServer_Start(_server);
    if (startResult) *startResult = started;
    if (started != aErrNone) return _fail(why, "aServer_Start failed");
    aServer_SetModuleAddress(_server, _module->address());
    if (_options.model) aServer_SetModel(_server, _options.model);
    return true;
  }

  qfsim::SimModule& module() { return *_module; }
  aServer* server() const { return _server; }
  aLinkID link() const { return _link; }
  uint16_t port() const {
    uint16_t port = 0;
    aServer_GetPort(_server, &port);
    return port;
  }
  // Ends device link and server now (the destructor then only stops the module).
  void destroyLink() { aLink_Destroy(&_link); }

 private:
  static bool _fail(std::string* why, const char* text) {
    if (why) *why = text;
    return false;
  }

  std::unique_ptr<qfsim::SimModule> _module;
  ServerOptions _options;
  aLinkID _link = 0;
  aServer* _server = nullptr;
};

}  // namespace qftest
