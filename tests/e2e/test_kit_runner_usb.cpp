// The runner inside the USB emulation: umockdev's preload serialises its file-call wrappers
// with a mutex that the testbed's own thread takes now and then.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <future>
#include <thread>

#include "RunUpdater.h"
#include "TempDir.h"

// A fork while another thread holds the wrappers' mutex leaves the child a copy that stays
// locked: the child must reach exec without a wrapped call (open, chdir), or it waits forever.
TEST(KitRunnerInEmulation, RunsWhileAnotherThreadHoldsThePreloadLock) {
  auto* lock = static_cast<pthread_mutex_t*>(dlsym(RTLD_DEFAULT, "trap_path_lock"));
  if (lock == nullptr) GTEST_SKIP() << "umockdev's preload is not loaded";
  std::promise<void> held;
  std::thread holder([&] {
    pthread_mutex_lock(lock);
    held.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pthread_mutex_unlock(lock);
  });
  held.get_future().wait();
  TempDir t;
  RunOptions options;
  options.cwd = t.path();
  options.timeoutMs = 5000;
  RunResult run = RunProgram("/bin/sh", {"-c", "pwd"}, options);
  holder.join();
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, t.path() + "\n");
}
