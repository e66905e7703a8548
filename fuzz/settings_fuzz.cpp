// Fuzzes the settings file reader: the input is a settings file. It is loaded and saved again
// twice over; the second save must give the file of the first (what one load and save keeps is
// kept from then on), and every key read must be one that a saved line can carry.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "updater/KeyValueStore.h"
#include "updater/Log.h"

namespace {

const std::string& _folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/settings_fuzz.XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    return std::string(pattern);
  }();
  return folder;
}

std::string _read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void _write(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
}

// Loads from one file and saves into the other.
KeyValueStore _copy(const std::string& from, const std::string& to) {
  KeyValueStore store(from.c_str());
  if (store.IsDirty()) std::abort();  // loading changes nothing
  store.Save(to.c_str());
  return store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Log::SetOutput(nullptr);
  const std::string input = _folder() + "/input", first = _folder() + "/first", second = _folder() + "/second",
                    third = _folder() + "/third";
  _write(input, data, size);
  const KeyValueStore loaded = _copy(input, first);
  for (const auto& [key, value] : loaded.Values()) {
    if (key.empty() || key.find_first_of("=\n") != std::string::npos || value.find('\n') != std::string::npos)
      std::abort();
  }
  _copy(first, second);
  _copy(second, third);
  if (_read(second) != _read(third)) std::abort();
  return 0;
}
