#include "FileText.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::string text = ReadText(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool MakeFolders(const std::string& path) {
  for (size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (!part.empty()) mkdir(part.c_str(), 0755);
    if (at == std::string::npos) break;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

void sSnapshot(const std::string& root, const std::string& below, TreeSnapshot& out) {
  for (const std::string& name : FolderNames(below.empty() ? root : root + "/" + below)) {
    std::string relative = below.empty() ? name : below + "/" + name;
    std::string full = root + "/" + relative;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out[relative + "/"] = "";
      sSnapshot(root, relative, out);
    } else {
      out[relative] = ReadText(full);
    }
  }
}

}  // namespace

TreeSnapshot SnapshotTree(const std::string& folder) {
  TreeSnapshot snapshot;
  sSnapshot(folder, "", snapshot);
  return snapshot;
}

std::string TreeDifference(const TreeSnapshot& before, const TreeSnapshot& after) {
  for (const auto& [path, bytes] : before) {
    auto it = after.find(path);
    if (it == after.end()) return "removed: " + path;
    if (it->second == bytes) continue;
    // Short texts (settings) are shown whole.
    if (bytes.size() < 1024 && it->second.size() < 1024)
      return "changed: " + path + "\n--- before\n" + bytes + "--- after\n" + it->second;
    return "changed: " + path;
  }
  for (const auto& entry : after)
    if (before.find(entry.first) == before.end()) return "added: " + entry.first;
  return "";
}
