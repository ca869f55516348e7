// Registry cases that need a process whose registry nobody has used yet: each runs in a
// forked child of a test process that never touches the registry.
#include <gtest/gtest.h>

#include <climits>
#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "MemoryPipe.h"
#include "RunInChild.h"
#include "aLinkManagerInternal.h"

namespace {

// The child's exit code: 0 when every check held, else the number of the first that failed.
#define CHECK_OR_EXIT(n, condition) \
  if (!(condition)) return n

aLinkRef CreateOverPipe() {
  MemoryPipe pipe;
  return aLink_Create(pipe.Release(MemoryPipe::kA));
}

}  // namespace

TEST(LinkRegistryFresh, IdsCountFromOneAndAreNotReused) {
  int status = RunInChild([] {
    aLinkRef first = CreateOverPipe();
    aLinkRef second = CreateOverPipe();
    CHECK_OR_EXIT(1, first == 1);
    CHECK_OR_EXIT(2, second == 2);
    CHECK_OR_EXIT(3, aLink_Destroy(&first) == aErrNone);
    aLinkRef third = CreateOverPipe();
    CHECK_OR_EXIT(4, third == 3);
    aLink_Destroy(&second);
    aLink_Destroy(&third);
    return 0;
  });
  EXPECT_EQ(ChildExitCode(status), 0);
}

TEST(LinkRegistryFresh, IdsWrapPastTheTopSkippingZeroAndLiveIds) {
  int status = RunInChild([] {
    aLinkRef one = sCreate(1, 0, 0);
    CHECK_OR_EXIT(1, one == 1);
    sRegistrySetNextID(UINT32_MAX);
    CHECK_OR_EXIT(2, sCreate(2, 0, 0) == UINT32_MAX);
    CHECK_OR_EXIT(3, sCreate(3, 0, 0) == 2);  // 0 and the live 1 skipped
    CHECK_OR_EXIT(4, sCreate(4, 0, 0) == 3);
    return 0;
  });
  EXPECT_EQ(ChildExitCode(status), 0);
}

TEST(LinkRegistryFresh, SixteenFirstCallsAtOnceMakeOneLock) {
  int status = RunInChild([] {
    constexpr int kThreads = 16;
    std::latch start(kThreads);
    std::vector<aLinkRef> ids(kThreads);
    std::vector<aMutex*> locks(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        ids[i] = sCreate(static_cast<uint32_t>(i), 0, 0);
        locks[i] = sRegistryLock();
      });
    }
    for (std::thread& thread : threads) thread.join();
    CHECK_OR_EXIT(1, sRegistryLockCreations() == 1);
    std::set<aLinkRef> distinct(ids.begin(), ids.end());
    CHECK_OR_EXIT(2, distinct.size() == kThreads);
    CHECK_OR_EXIT(3, *distinct.begin() == 1 && *distinct.rbegin() == kThreads);
    for (aMutex* lock : locks) CHECK_OR_EXIT(4, lock == locks[0] && lock != nullptr);
    CHECK_OR_EXIT(5, std::string(aMutex_Identifier(locks[0])) == "aLink_Managed");
    CHECK_OR_EXIT(6, sRegistryCount() == kThreads);
    return 0;
  });
  EXPECT_EQ(ChildExitCode(status), 0);
}
