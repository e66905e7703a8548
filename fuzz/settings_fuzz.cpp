// Fuzzes the settings file reader: the input is a settings file. It is loaded and saved again
// twice over; the second save must give the file of the first (what one load and save keeps is
// kept from then on), and every key read must be one that a saved line can carry and a getter can name. The getters
// then run over every key read and over keys that are missing: a present value converts as the
// plain conversion does (an empty one gives the default), a missing key gives the default and is
// added with an empty value, leaving the store clean. The run's folder is removed at exit.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "firmware/KeyValueStore.h"
#include "firmware/Log.h"
#include "fuzz/run_folder.h"

namespace {

const std::string& _folder() { return runFolder("settings_fuzz"); }

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

void _require(bool condition) {
  if (!condition) std::abort();
}

// The getters of a present key, against the plain conversions of its value.
void _checkPresent(KeyValueStore& store, const std::string& key, const std::string& value) {
  const char* name = key.c_str();
  _require(store.GetString(name, "fallback") == value);
  if (value.empty()) {
    _require(store.GetInt(name, -7) == -7 && store.GetHex(name, 0xFEED) == 0xFEED && store.GetBOOL(name, true) &&
             store.GetDouble(name, 2.5) == 2.5);
    return;
  }
  errno = 0;
  const long number = std::strtol(value.c_str(), nullptr, 10);
  if (errno == 0 && number >= INT32_MIN && number <= INT32_MAX) {
    _require(store.GetInt(name, 0) == int(number));
    _require(store.GetBOOL(name, false) == (number != 0));
  }
  errno = 0;
  const long hex = std::strtol(value.c_str(), nullptr, 16);
  if (errno == 0) _require(store.GetHex(name, 0) == static_cast<uint32_t>(hex));
  const double real = std::strtod(value.c_str(), nullptr), read = store.GetDouble(name, 0);
  _require(real == read || (std::isnan(real) && std::isnan(read)));
}

// A missing key: the default, and the key added with an empty value without making the store dirty.
void _checkMissing(KeyValueStore& store, const std::string& key, int getter) {
  const char* name = key.c_str();
  switch (getter % 5) {
    case 0:
      _require(store.GetString(name, "fallback") == "fallback");
      return;  // adds nothing
    case 1:
      _require(store.GetInt(name, -7) == -7);
      break;
    case 2:
      _require(store.GetHex(name, 0xFEED) == 0xFEED);
      break;
    case 3:
      _require(store.GetBOOL(name, true));
      break;
    default:
      _require(store.GetDouble(name, 2.5) == 2.5);
      break;
  }
  const char* added = store[name];
  _require(added && *added == 0 && !store.IsDirty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Log::SetOutput(nullptr);
  const std::string input = _folder() + "/input", first = _folder() + "/first", second = _folder() + "/second",
                    third = _folder() + "/third";
  _write(input, data, size);
  const KeyValueStore loaded = _copy(input, first);
  for (const auto& [key, value] : loaded.Values()) {
    if (key.empty() || key.find_first_of(std::string("=\n\0", 3)) != std::string::npos ||
        value.find('\n') != std::string::npos)
      std::abort();
  }
  _copy(first, second);
  _copy(second, third);
  if (_read(second) != _read(third)) std::abort();

  KeyValueStore store(input.c_str());
  int getter = 0;
  for (const auto& [key, value] : loaded.Values()) {
    _checkPresent(store, key, value);
    const std::string missing = key + "~missing";
    if (!loaded.Values().count(missing)) _checkMissing(store, missing, getter++);
  }
  return 0;
}
