#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 12;
constexpr uint32_t kPatch = 5;

struct Feature {
  const char* name;
  const char* description;
};
const Feature FEATS[] = {{"VERSION", "Version Query API"}};
constexpr size_t NUM_FEATS = sizeof(FEATS) / sizeof(FEATS[0]);
const char* const kFeatureSeparator = " - ";

}  // namespace

bool aVersion_IsLegacyFormat(aVersionPacked version) {
  uint8_t high = static_cast<uint8_t>(version >> 28);
  uint8_t next = static_cast<uint8_t>((version >> 24) & 0x0F);
  return !aVersion_IsAtLeastCompare(high, next, 0, 2, 15, 0);
}

uint8_t aVersion_ParseMajor(aVersionPacked version) {
  return aVersion_IsLegacyFormat(version) ? static_cast<uint8_t>(version >> 28)
                                          : static_cast<uint8_t>(version >> 16);
}

uint8_t aVersion_ParseMinor(aVersionPacked version) {
  return aVersion_IsLegacyFormat(version) ? static_cast<uint8_t>((version >> 24) & 0x0F)
                                          : static_cast<uint8_t>(version >> 8);
}

uint32_t aVersion_ParsePatch(aVersionPacked version) {
  return aVersion_IsLegacyFormat(version) ? (version & 0x00FFFFFFu) : (version & 0xFFu);
}

void aVersion_ParseString(aVersionPacked version, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(version), aVersion_ParseMinor(version),
           static_cast<int>(aVersion_ParsePatch(version)));
}

aVersionPacked aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor >= 15)) {
    return 0x2F000000u | static_cast<uint32_t>(major) << 16 | static_cast<uint32_t>(minor) << 8 | patch;
  }
  return static_cast<uint32_t>(major) << 28 | static_cast<uint32_t>(minor & 0x0F) << 24 | patch;
}

bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t major2,
                               uint8_t minor2, uint8_t patch2) {
  if (major != major2) return major > major2;
  if (minor != minor2) return minor > minor2;
  return patch >= patch2;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(kMajor, kMinor, static_cast<uint8_t>(kPatch), major, minor, patch);
}

uint8_t aVersion_GetMajor() { return kMajor; }
uint8_t aVersion_GetMinor() { return kMinor; }
uint32_t aVersion_GetPatch() { return kPatch; }

const char* aVersion_GetString() {
  // Built once; the initialisation of a function-local static is thread-safe.
  struct Text {
    char buffer[15];
    Text() { snprintf(buffer, sizeof(buffer), "%d.%d%s%d", kMajor, kMinor, aVERSION_PHASE, static_cast<int>(kPatch)); }
  };
  static const Text text;
  return text.buffer;
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (const Feature& f : FEATS) {
    if (strcmp(f.name, name) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList() {
  // Sized from the real lengths of every part of every row.
  size_t size = 1;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    size += strlen(FEATS[i].name) + strlen(kFeatureSeparator) + strlen(FEATS[i].description);
    if (i + 1 < NUM_FEATS) size += 1;
  }
  char* list = static_cast<char*>(calloc(size, 1));
  if (list == nullptr) return nullptr;
  size_t at = 0;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    int n = snprintf(list + at, size - at, "%s%s%s%s", FEATS[i].name, kFeatureSeparator,
                     FEATS[i].description, i + 1 < NUM_FEATS ? "\n" : "");
    if (n > 0) at += static_cast<size_t>(n);
  }
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  free(*list);
  *list = nullptr;
}
