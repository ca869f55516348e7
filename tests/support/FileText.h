#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Whole-file helpers for tests: contents as bytes in a string, and folder listings.
std::string ReadText(const std::string& path);
std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
// Makes the folder and the folders above it (mode 0755); true when it is there.
bool MakeFolders(const std::string& path);
// The entry names of a folder without "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> FolderNames(const std::string& folder);

// Every file and folder under a folder: the path below it ("a/b.bird", folders as "a/") and
// the file's bytes. Compared before and after a run, it shows that the run left the folder
// as it was.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot SnapshotTree(const std::string& folder);
// "" for equal snapshots, else the first path that was added, removed or changed.
std::string TreeDifference(const TreeSnapshot& before, const TreeSnapshot& after);
