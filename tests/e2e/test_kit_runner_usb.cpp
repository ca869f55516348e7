// The runner inside the USB emulation: umockdev's preload serialises its file-call wrappers
// with a mutex that the testbed's own thread takes now and then.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "Eventually.h"
#include "RunUpdater.h"
#include "TempDir.h"

namespace {

// Whether thread `tid` of this process has a child, by system calls alone: the caller holds
// the preload's mutex, which the wrapped open and read would take again.
bool HasChild(long tid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%ld/children", tid);
  long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[32];
  long got = syscall(SYS_read, fd, buffer, sizeof buffer);
  syscall(SYS_close, fd);
  return got > 0;
}

}  // namespace

// A fork while another thread holds the wrappers' mutex leaves the child a copy that stays
// locked: the child must reach exec without a wrapped call (open, chdir), or it waits forever.
TEST(KitRunnerInEmulation, RunsWhileAnotherThreadHoldsThePreloadLock) {
  auto* lock = static_cast<pthread_mutex_t*>(dlsym(RTLD_DEFAULT, "trap_path_lock"));
  if (lock == nullptr) GTEST_SKIP() << "umockdev's preload is not loaded";
  TempDir t;
  RunOptions options;
  options.cwd = t.path();
  options.timeoutMs = 5000;
  std::atomic<long> runnerTid{0};
  std::atomic<bool> finished{false};
  RunResult run;

  pthread_mutex_lock(lock);
  std::thread runner([&] {
    runnerTid = syscall(SYS_gettid);
    run = RunProgram("/bin/sh", {"-c", "pwd"}, options);
    finished = true;
  });
  // Held until the runner has forked (or is done, the child having run while it was held).
  bool forked = Eventually([&] { return finished || (runnerTid != 0 && HasChild(runnerTid)); }, 10000);
  pthread_mutex_unlock(lock);
  runner.join();
  EXPECT_TRUE(forked) << "the runner did not fork while the lock was held";
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, t.path() + "\n");
}
