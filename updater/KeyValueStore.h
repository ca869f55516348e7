#pragma once
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>

// One settings file in memory: key=value lines in an ordered map, with the creation and
// update times kept automatically. Problems with the file are logged, never thrown.
class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;
  static const char* const KEY_CREATED_TIME;
  static const char* const KEY_UPDATED_TIME;

  // Where time stamps come from; an empty function restores time().
  static void SetTimeSource(std::function<time_t()> source);
  // The current time as "Wed Jun 30 21:49:08 1993" (local time).
  static std::string TimeStamp();

  explicit KeyValueStore(const char* path = nullptr);
  KeyValueStore(const KeyValueStore&) = default;
  KeyValueStore& operator=(const KeyValueStore&) = default;
  ~KeyValueStore();

  // Reads the file into the map. A missing file is created with CREATED_TIME; a file that
  // exists but cannot be read is bound and left alone: Save will not replace it.
  void Load(const char* path);
  // Writes the whole map to path (null: the bound file), replacing the file only with a
  // complete new one. On failure the object stays dirty and the old file stays as it was.
  void Save(const char* path = nullptr);

  // All but GetString and operator[] add a missing key with an empty value; an empty value
  // gives the default.
  int GetInt(const char* key, int defaultValue);
  uint32_t GetHex(const char* key, uint32_t defaultValue);
  bool GetBOOL(const char* key, bool defaultValue);
  double GetDouble(const char* key, double defaultValue);
  std::string GetString(const char* key, const char* defaultValue) const;
  const char* operator[](const char* key) const;

  bool Add(const char* key, int value);
  bool Add(const char* key, double value);
  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  bool AddHex(const char* key, uint32_t value);
  bool Add(const KeyValueStore& other);
  bool Clear();

  const std::string& Path() const { return path; }
  bool IsDirty() const { return dirty; }
  const std::map<std::string, std::string>& Values() const { return values; }

 private:
  // The value text of key, added empty when missing.
  const std::string& Lookup(const char* key);
  void ReadLines(struct aFile* file);
  void Store(const std::string& line);

  std::string path;
  std::map<std::string, std::string> values;
  bool dirty = false;
  // The bound file exists but could not be read whole; replacing it would lose its history.
  bool unread = false;
};
