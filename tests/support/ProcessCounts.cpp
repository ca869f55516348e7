#include "ProcessCounts.h"

#include <dirent.h>

#include <string>
#include <thread>

namespace {

int sCountEntries(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') count++;
  closedir(dir);
  return count;
}

}  // namespace

int CountThreads() { return sCountEntries("/proc/self/task"); }

int CountThreadsOf(pid_t pid) { return sCountEntries(("/proc/" + std::to_string(pid) + "/task").c_str()); }

int SteadyThreadCount() {
  std::thread([] {}).join();
  return CountThreads();
}

// The descriptor of the listing itself is not counted.
int CountOpenDescriptors() { return sCountEntries("/proc/self/fd") - 1; }
