#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "unix_mutex.h"
#include "unix_thread.h"

TEST(aMutex, NameLimits) {
  std::string longest(255, 'm');
  aMutex* mutex = aMutex_Create(longest.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(aMutex_Identifier(mutex), longest);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
  EXPECT_EQ(mutex, nullptr);

  EXPECT_EQ(aMutex_Create(std::string(256, 'm').c_str()), nullptr);

  mutex = aMutex_Create(nullptr);
  ASSERT_NE(mutex, nullptr);
  EXPECT_STREQ(aMutex_Identifier(mutex), "");
  aMutex_Destroy(&mutex);
}

TEST(aMutex, TryLockOnAMutexHeldByAnotherThread) {
  aMutex* mutex = aMutex_Create("held");
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  aErr seen = aErrNone;
  std::thread other([&] { seen = aMutex_TryLock(mutex); });
  other.join();
  EXPECT_EQ(seen, aErrBusy);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);

  std::thread later([&] {
    seen = aMutex_TryLock(mutex);
    if (seen == aErrNone) aMutex_Unlock(mutex);
  });
  later.join();
  EXPECT_EQ(seen, aErrNone);
  aMutex_Destroy(&mutex);
}

TEST(aMutex, ExcludesConcurrentHolders) {
  aMutex* mutex = aMutex_Create("counter");
  ASSERT_NE(mutex, nullptr);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      aMutex_Lock(mutex);
      ++counter;
      aMutex_Unlock(mutex);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
  aMutex_Destroy(&mutex);
}

TEST(aMutex, NullHandles) {
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  aMutex* none = nullptr;
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
}

TEST(aMutex, ErrnoTranslation) {
  struct Row {
    int err;
    aErr lock, tryLock, unlock, destroy;
  };
  const Row rows[] = {
      {0, aErrNone, aErrNone, aErrNone, aErrNone},
      {EINVAL, aErrParam, aErrParam, aErrParam, aErrParam},
      {EDEADLK, aErrDuplicate, aErrUnknown, aErrUnknown, aErrUnknown},
      {EBUSY, aErrUnknown, aErrBusy, aErrUnknown, aErrBusy},
      {EPERM, aErrUnknown, aErrUnknown, aErrPermission, aErrUnknown},
      {EAGAIN, aErrUnknown, aErrUnknown, aErrUnknown, aErrResource},
      {ENOMEM, aErrUnknown, aErrUnknown, aErrUnknown, aErrUnknown},
      {EOWNERDEAD, aErrUnknown, aErrUnknown, aErrUnknown, aErrUnknown},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.err);
    EXPECT_EQ(aMutex_TranslateErrno(aMutexOpLock, row.err), row.lock);
    EXPECT_EQ(aMutex_TranslateErrno(aMutexOpTryLock, row.err), row.tryLock);
    EXPECT_EQ(aMutex_TranslateErrno(aMutexOpUnlock, row.err), row.unlock);
    EXPECT_EQ(aMutex_TranslateErrno(aMutexOpDestroy, row.err), row.destroy);
  }
}

namespace {
void* sMark(void* arg) {
  static_cast<std::atomic<int>*>(arg)->fetch_add(1);
  return nullptr;
}
}  // namespace

TEST(aThread, DestroyJoinsAndClearsTheHandle) {
  std::atomic<int> ran{0};
  aThread* thread = aThread_Create(sMark, &ran);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(thread, nullptr);
  EXPECT_EQ(ran.load(), 1);

  EXPECT_EQ(aThread_Create(nullptr, &ran), nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), aErrParam);
  EXPECT_EQ(aThread_Destroy(nullptr), aErrParam);
}
