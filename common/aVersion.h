#pragma once
#include <cstddef>
#include <cstdint>

// A firmware or library version packed into 32 bits. Legacy layout: 4-bit major, 4-bit minor,
// 24-bit patch. New layout: top byte 0x2F, then 8 bits each of major, minor and patch.
typedef uint32_t aVersionPacked;

// Text between minor and patch in the library's version text.
#define aVERSION_PHASE "."

// True when the top two nibbles, read as a version, are below 2.15.
bool aVersion_IsLegacyFormat(aVersionPacked version);
uint8_t aVersion_ParseMajor(aVersionPacked version);
uint8_t aVersion_ParseMinor(aVersionPacked version);
uint32_t aVersion_ParsePatch(aVersionPacked version);
// Writes "major.minor.patch" into buffer (snprintf rules).
void aVersion_ParseString(aVersionPacked version, char* buffer, size_t size);
// New layout from 2.15 on, else legacy (the minor keeps its low four bits).
aVersionPacked aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
// True when major.minor.patch is at least major2.minor2.patch2.
bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t major2,
                               uint8_t minor2, uint8_t patch2);
// True when the library's own version is at least the given one.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint32_t aVersion_GetPatch();
// The library's version text, "2.12.5"; static, never freed by the caller.
const char* aVersion_GetString();

// True when `name` is exactly the name of one of the library's features.
bool aVersion_HasFeature(const char* name);
// "NAME - Description" for every feature, one per line; the caller releases it with
// aVersion_DestroyFeatureList. NULL when memory runs out.
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
