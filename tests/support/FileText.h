#pragma once
#include <string>
#include <vector>

// Whole-file helpers for tests: contents as bytes in a string, and folder listings.
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);
// The entry names of a folder without "." and "..", sorted; empty when it cannot be read.
std::vector<std::string> FolderNames(const std::string& folder);
