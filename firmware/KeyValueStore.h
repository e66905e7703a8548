// A settings file of key=value lines, held in memory as a map ordered by key. Nothing is
// written until Save; a save replaces the whole file at once, so an interrupted save leaves the
// previous file as it was. A plain value for one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
 public:
  static constexpr const char* DEFAULT_FILENAME = ".settings";
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

  // An empty, clean store; loads the path when one is given.
  explicit KeyValueStore(const char* path = nullptr);

  // Merges the file's settings into the map (later lines win; keys missing from the file stay).
  // Lines may be of any length; a line that carries no setting is passed by.
  // A file that cannot be opened is created, holding its creation and update times.
  void Load(const char* path);
  // Writes the whole map to the path (or the file last loaded or saved, or else ".settings" in
  // the current folder). Stamps UPDATED_TIME when something changed. A failure is logged only;
  // the store then stays dirty.
  void Save(const char* path);

  // The value when the key is present (even when empty), else the default ("" for null).
  std::string GetString(const char* key, const char* fallback) const;
  // These four add a missing key with an empty value (without making the store dirty) and give
  // the default for a missing or empty value.
  int GetInt(const char* key, int fallback);
  uint32_t GetHex(const char* key, uint32_t fallback);
  bool GetBOOL(const char* key, bool fallback);
  double GetDouble(const char* key, double fallback);
  // The value, or null when the key is absent; valid until the store changes.
  const char* operator[](const char* key) const;

  // Each sets one value and makes the store dirty when the text changes. Always true.
  bool Add(const char* key, const char* text);
  bool Add(const char* key, const std::string& text);
  bool Add(const char* key, int number);          // "%d"
  bool Add(const char* key, double number);       // "%f"
  bool AddHex(const char* key, uint32_t number);  // "0x%08X"
  // Copies every pair of the other store over this one; dirty when it holds any.
  bool Add(const KeyValueStore& other);
  // Removes every value; always dirty afterwards.
  bool Clear();

  bool IsDirty() const { return dirty; }
  const std::string& FileName() const { return filename; }
  const std::map<std::string, std::string>& Values() const { return values; }

 private:
  bool Write() const;

  std::string filename;
  std::map<std::string, std::string> values;
  bool dirty = false;
};
