// A program of a library user: it sees only the installed headers and links through the
// installed pkg-config file.
#include <cstdio>

#include "api/Link.h"
#include "api/Module.h"

int main() {
  Tarnwick::Quillfern::Link link("consumer");
  const uint64_t key = Tarnwick::Quillfern::Link::createStreamKey(1, 2, 3, 4, 5);
  std::printf("connected: %d, stream key: %llx\n", link.isConnected() ? 1 : 0, static_cast<unsigned long long>(key));
  return link.isConnected() ? 1 : 0;
}
