// Writes one generated bird file, for the fake update server, the demo and hand tests:
//   bird_generator OUT [--build N] [--version TEXT] [--serial HEX] [--model TEXT]
//                      [--size BYTES] [--pieces N] [--jump HEX] [--seed N] [--body yes]
//   bird_generator OUT --broken NAME
// "--body yes" writes the inflated body alone, without header and compression.
//   bird_generator --list-broken
//   bird_generator --help | -h
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "support/bird_generator.h"

namespace bird = qftest::bird;

namespace {

int _usage(FILE* out) {
  fprintf(out,
          "usage: bird_generator OUT [--build N] [--version TEXT] [--serial HEX] [--model TEXT]\n"
          "                          [--size BYTES] [--pieces N] [--jump HEX] [--seed N]\n"
          "                          [--body yes]\n"
          "       bird_generator OUT --broken NAME\n"
          "       bird_generator --list-broken\n");
  return 2;
}

unsigned long _number(const char* text, int base) {
  char* end = nullptr;
  unsigned long value = strtoul(text, &end, base);
  if (end == text || *end != '\0') throw std::invalid_argument(std::string("bad number ") + text);
  return value;
}

bool _set_option(bird::Build& build, const std::string& option, const char* value) {
  if (option == "--build") build.build = static_cast<uint32_t>(_number(value, 10));
  else if (option == "--version") build.version = value;
  else if (option == "--serial") build.serial = static_cast<uint32_t>(_number(value, 16));
  else if (option == "--model") build.model = value;
  else if (option == "--size") build.firmwareSize = _number(value, 10);
  else if (option == "--pieces") build.pieces = static_cast<int>(_number(value, 10));
  else if (option == "--jump") build.jumpAddress = static_cast<uint32_t>(_number(value, 16));
  else if (option == "--seed") build.seed = static_cast<uint32_t>(_number(value, 10));
  else return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--list-broken") == 0) {
    for (const auto& c : bird::brokenCases()) printf("%s %s\n", c.name, c.loads ? "loads" : "refused");
    return 0;
  }
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    _usage(stdout);
    return 0;
  }
  if (argc < 2 || argc % 2 != 0) return _usage(stderr);
  // An output name that looks like an option is a mistyped command line, not a file to write.
  if (argv[1][0] == '-') {
    fprintf(stderr, "bird_generator: the output file name must not begin with '-': %s\n", argv[1]);
    return _usage(stderr);
  }
  try {
    bird::Build build;
    bool bodyOnly = false;
    for (int i = 2; i + 1 < argc; i += 2) {
      if (strcmp(argv[i], "--broken") == 0) {
        for (const auto& c : bird::brokenCases()) {
          if (c.name == std::string(argv[i + 1])) {
            bird::writeFile(argv[1], bird::makeBroken(c.kind, build.seed));
            return 0;
          }
        }
        fprintf(stderr, "unknown broken kind %s\n", argv[i + 1]);
        return 2;
      }
      if (strcmp(argv[i], "--body") == 0) {
        bodyOnly = strcmp(argv[i + 1], "yes") == 0;
      } else if (!_set_option(build, argv[i], argv[i + 1])) {
        return _usage(stderr);
      }
    }
    bird::writeFile(argv[1], bodyOnly ? bird::encodeBody(bird::buildBlocks(build)) : bird::makeBirdFile(build));
  } catch (const std::exception& error) {
    fprintf(stderr, "bird_generator: %s\n", error.what());
    return 1;
  }
  return 0;
}
