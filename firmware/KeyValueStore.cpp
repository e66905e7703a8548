#include "firmware/KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/aFile.h"
#include "firmware/Log.h"
#include "firmware/ReplaceFile.h"
#include "firmware/UpdaterText.h"

namespace {

constexpr size_t _read_chunk = 4096;

std::string _read_all(aFile* file) {
  std::string text;
  char chunk[_read_chunk];
  size_t got = 0;
  while (aFile_Read(file, chunk, sizeof chunk, &got) == aErrNone && got > 0) text.append(chunk, got);
  return text;
}

bool _is_blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::string _trimmed(const std::string& text) {
  size_t first = 0, end = text.size();
  while (first < end && _is_blank(text[first])) ++first;
  while (end > first && _is_blank(text[end - 1])) --end;
  return text.substr(first, end - first);
}

// One line of the file as key and value. Comments, lines under 3 characters, lines without "="
// and lines whose key is empty carry no setting; nor does a key holding a NUL byte, which no
// getter can name and which a save would write cut at the NUL, as another key.
bool _parse_line(const std::string& line, std::string& key, std::string& value) {
  if (line.size() < 3 || line[0] == '#') return false;
  size_t equals = line.find('=');
  if (equals == std::string::npos) return false;
  key = _trimmed(line.substr(0, equals));
  value = _trimmed(line.substr(equals + 1));
  return !key.empty() && key.find('\0') == std::string::npos;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
  if (path != nullptr) Load(path);
}

void KeyValueStore::Load(const char* path) {
  if (path == nullptr) return;  // no file to read, and none to create in its place
  aFile* file = aFile_Open(path, aFileModeRead);
  if (file == nullptr) {
    Log::log(Log::DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, errno);
    Add(KEY_CREATED_TIME, date_text());
    Save(path);
  }
  filename = path;
  dirty = false;
  if (file == nullptr) return;
  // Lines of any length: a long path value must neither be lost nor hide the keys after it.
  const std::string text = _read_all(file);
  aFile_Close(&file);
  size_t start = 0;
  while (start < text.size()) {
    // A line is taken with its line end, which counts towards the shortest setting line.
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string key, value;
    if (_parse_line(text.substr(start, end - start), key, value)) values[key] = value;
    start = end;
  }
}

void KeyValueStore::Save(const char* path) {
  if (path != nullptr) {
    filename = path;
  } else if (filename.empty()) {
    filename = DEFAULT_FILENAME;
    Log::log(Log::DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
             filename.c_str());
  }
  if (dirty) Add(KEY_UPDATED_TIME, date_text());
  if (Write()) dirty = false;
}

bool KeyValueStore::Write() const {
  aErr err = ReplaceFile(filename, [this](aFile* file) {
    for (const auto& [key, value] : values) {
      if (aFile_Printf(file, "%s=%s\n", key.c_str(), value.c_str()) != aErrNone) return false;
    }
    return true;
  });
  if (err == aErrNotFound) {
    Log::log(Log::DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
             filename.c_str(), errno);
  } else if (err != aErrNone) {
    Log::log(Log::DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d), kept as it was\n",
             filename.c_str(), errno);
  }
  return err == aErrNone;
}

std::string KeyValueStore::GetString(const char* key, const char* fallback) const {
  auto found = values.find(key);
  if (found != values.end()) return found->second;
  return fallback ? fallback : "";
}

int KeyValueStore::GetInt(const char* key, int fallback) {
  const std::string& value = values[key];
  return value.empty() ? fallback : atoi(value.c_str());
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t fallback) {
  const std::string& value = values[key];
  return value.empty() ? fallback : static_cast<uint32_t>(strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool fallback) {
  const std::string& value = values[key];
  return value.empty() ? fallback : atoi(value.c_str()) != 0;
}

double KeyValueStore::GetDouble(const char* key, double fallback) {
  const std::string& value = values[key];
  return value.empty() ? fallback : atof(value.c_str());
}

const char* KeyValueStore::operator[](const char* key) const {
  auto found = values.find(key);
  return found == values.end() ? nullptr : found->second.c_str();
}

bool KeyValueStore::Add(const char* key, const char* text) {
  std::string& value = values[key];
  std::string next = text ? text : "";
  if (value != next) {
    value = next;
    dirty = true;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, const std::string& text) { return Add(key, text.c_str()); }

bool KeyValueStore::Add(const char* key, int number) { return Add(key, std::to_string(number)); }

bool KeyValueStore::Add(const char* key, double number) {
  char text[512];
  snprintf(text, sizeof text, "%f", number);
  return Add(key, text);
}

bool KeyValueStore::AddHex(const char* key, uint32_t number) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", number);
  return Add(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  if (other.values.empty()) return true;
  std::map<std::string, std::string> copy = other.values;  // the other may be this store
  for (auto& [key, value] : copy) values[key] = std::move(value);
  dirty = true;
  return true;
}

bool KeyValueStore::Clear() {
  values.clear();
  dirty = true;
  return true;
}
