#include "ProcessCounts.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

long CurrentThreadId() { return static_cast<long>(gettid()); }

char ThreadState(long threadId) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%ld/stat", threadId);
  FILE* file = fopen(path, "r");
  if (file == nullptr) return '?';
  char line[512] = {};
  size_t got = fread(line, 1, sizeof line - 1, file);
  fclose(file);
  line[got] = '\0';
  // "ID (NAME) S ...": the name may hold blanks and parentheses, so the last ')' ends it.
  const char* end = strrchr(line, ')');
  return end != nullptr && end[1] == ' ' && end[2] != '\0' ? end[2] : '?';
}
