#include "RunInChild.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

bool sApply(const ChildLimits& limits) {
  if (limits.fileSize) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit r = {*limits.fileSize, *limits.fileSize};
    if (setrlimit(RLIMIT_FSIZE, &r) != 0) return false;
  }
  if (limits.openFiles) {
    struct rlimit r = {*limits.openFiles, *limits.openFiles};
    if (setrlimit(RLIMIT_NOFILE, &r) != 0) return false;
  }
  if (limits.uid && (setgid(*limits.uid) != 0 || setuid(*limits.uid) != 0)) return false;
  return true;
}

}  // namespace

int RunInChild(const std::function<int()>& fn, const ChildLimits& limits, int timeoutMs) {
  fflush(nullptr);  // nothing buffered may be written twice
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int code = sApply(limits) ? fn() : 126;
    fflush(nullptr);
    _exit(code);
  }
  int status = 0;
  for (int waited = 0;; waited += 5) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0) return -1;
    if (waited >= timeoutMs) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return status;
    }
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

int ChildExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
