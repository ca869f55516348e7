// An image body whose buffer cannot be had: the inflate ends as for a body past the limit
// instead of letting std::bad_alloc out of the loader, which callers do not expect. This
// program replaces the array allocation functions so that a test can make large ones fail;
// the leak check of the sanitizer build sees a zlib state the failure left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "Log.h"
#include "LogCapture.h"
#include "TempDir.h"

namespace {

// Array allocations of at least this many bytes fail while it is below SIZE_MAX.
std::atomic<size_t> gFailFrom{SIZE_MAX};

class FailingArrays {
 public:
  explicit FailingArrays(size_t from) { gFailFrom = from; }
  ~FailingArrays() { gFailFrom = SIZE_MAX; }
};

}  // namespace

// The array forms go through the plain ones, so that a sanitizer pairs every allocation with
// its release whichever form made it.
void* operator new[](size_t size) {
  if (size >= gFailFrom.load()) throw std::bad_alloc();
  return ::operator new(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete[](void* p, size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }

namespace {

TEST(BirdFileAllocation, AFailedBufferEndsTheInflateAsABodyPastTheLimit) {
  // 4 MiB of zeros take a few kilobytes compressed: the first buffer holds 8 times that, and
  // the body grows it by doubling.
  constexpr uint64_t kBody = 4u << 20;
  const ByteVec image = ZeroBodyImage(kBody);
  ASSERT_LT(image.size(), 64u << 10);
  struct Row {
    const char* what;
    size_t failFrom;
  };
  const Row rows[] = {
      {"the first buffer", 0},
      {"a grown buffer", 1u << 20},
  };
  TempDir dir;
  const std::string file = dir / "image.bird";
  FILE* out = fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(fwrite(image.data(), 1, image.size(), out), image.size());
  fclose(out);
  LogCapture log(DEBUG_BirdFile);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (bool fromFile : {true, false}) {
      SCOPED_TRACE(fromFile ? "loaded from a file" : "checked as downloaded bytes");
      log.clear();
      BirdFile bird;
      bird.path = file;
      bool loaded = false;
      {
        // The file's own bytes are read before the body: only the body's buffers fail.
        FailingArrays failing(fromFile ? std::max(row.failFrom, image.size() + 1) : row.failFrom);
        EXPECT_NO_THROW(loaded = fromFile ? bird.Load() : BirdFile::VerifyBytes(image.data(), image.size()));
      }
      EXPECT_FALSE(loaded);
      EXPECT_EQ(bird.data, nullptr);
      EXPECT_EQ(bird.dataSize, 0u);
      EXPECT_EQ(log.count("BIRDFILE: Error (-5) decompressing bird file.\n"), 1u) << log.text();
    }
  }
  // Memory to be had again, the same image loads whole.
  BirdFile bird;
  bird.path = file;
  EXPECT_TRUE(bird.Load());
  EXPECT_EQ(bird.dataSize, kBody);
}

}  // namespace
