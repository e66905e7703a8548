#include "server/aInprocPair.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

namespace {

// Endpoint names are never reused within the process, so a socket never meets another's peer.
std::string _newEndpoint(const char* kind) {
  static std::atomic<uint64_t> count{0};
  char name[64];
  std::snprintf(name, sizeof name, "inproc://%s-%llu", kind, static_cast<unsigned long long>(++count));
  return name;
}

using FrontendKey = std::pair<uint32_t, uint16_t>;

std::mutex& _frontendsLock() {
  static std::mutex lock;
  return lock;
}

std::map<FrontendKey, std::string>& _frontends() {
  static std::map<FrontendKey, std::string> frontends;
  return frontends;
}

}  // namespace

bool aInprocPair_Join(zsock_t* bound, zsock_t* connected) {
  const std::string endpoint = _newEndpoint("pair");
  return zsock_bind(bound, "%s", endpoint.c_str()) == 0 && zsock_connect(connected, "%s", endpoint.c_str()) == 0;
}

bool aInprocMonitor_Join(zsock_t* watched, zsock_t* monitor, int events) {
  const std::string endpoint = _newEndpoint("monitor");
  return zmq_socket_monitor(zsock_resolve(watched), endpoint.c_str(), events) == 0 &&
         zsock_connect(monitor, "%s", endpoint.c_str()) == 0;
}

bool aInprocFrontend_Publish(zsock_t* frontend, uint32_t ipv4, uint16_t port) {
  const std::string endpoint = _newEndpoint("frontend");
  if (zsock_bind(frontend, "%s", endpoint.c_str()) != 0) return false;
  std::lock_guard<std::mutex> hold(_frontendsLock());
  _frontends()[{ipv4, port}] = endpoint;
  return true;
}

void aInprocFrontend_Withdraw(uint32_t ipv4, uint16_t port) {
  std::lock_guard<std::mutex> hold(_frontendsLock());
  _frontends().erase({ipv4, port});
}

std::string aInprocFrontend_Find(uint32_t ipv4, uint16_t port) {
  std::lock_guard<std::mutex> hold(_frontendsLock());
  const auto found = _frontends().find({ipv4, port});
  return found == _frontends().end() ? std::string() : found->second;
}
