#pragma once
// What updater -U prints, for the end-to-end tests of the update and the recovery.
#include <string>
#include <vector>

// The text in lines, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);
// Standard output after the version line (checked to be one). With timed, the last line must be
// "Update time: S.SSSS sec", and is cut off too.
std::vector<std::string> OutputAfterVersion(const std::string& out, bool timed);
// The lines of an update of the default UpdateImage (BirdBuilder.h) after its first line: the
// loader and the two firmware blocks.
std::vector<std::string> UpdateTransferLines();
// "Wed Jun 30 21:49:08 1993": KeyValueStore::TimeStamp's form.
bool IsTimeStamp(const std::string& text);
// The value of KEY in a settings text ("KEY=value" lines); nothing found: "<none>".
std::string SettingsValue(const std::string& settings, const std::string& key);
