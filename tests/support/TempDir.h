#pragma once
#include <string>

// A fresh mkdtemp folder, removed with everything below it at the end. Symbolic links
// inside are removed as links, never followed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Removes a tree without following symbolic links; true when it is gone.
bool RemoveTree(const std::string& path);
