// IsBadReadPtr on readable memory, guard pages, unmapped pages and ranges that cross
// from one to the other.
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>

#include <gtest/gtest.h>

#include "nxpal/windows.h"

namespace {

// Two adjacent pages: the first readable, the second without access.
class GuardedPages : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    base_ = static_cast<char*>(p);
    ASSERT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
  }
  void TearDown() override { munmap(base_, 2 * page_); }
  size_t page_ = 0;
  char* base_ = nullptr;
};

TEST(MemProbe, ReadableMemoryAndTrivialRanges) {
  int onStack[16] = {};
  EXPECT_FALSE(IsBadReadPtr(onStack, sizeof onStack));
  auto heap = std::make_unique<char[]>(100000);  // spans several pages
  EXPECT_FALSE(IsBadReadPtr(heap.get(), 100000));
  EXPECT_FALSE(IsBadReadPtr(nullptr, 0)) << "an empty range is always readable";
  EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
  EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(16), 4)) << "the first page is never mapped";
  EXPECT_TRUE(IsBadReadPtr(onStack, ~static_cast<UINT_PTR>(0))) << "a range that wraps around";
}

TEST_F(GuardedPages, PagesWithoutAccessAreRefused) {
  EXPECT_FALSE(IsBadReadPtr(base_, page_));
  EXPECT_FALSE(IsBadReadPtr(base_ + page_ - 32, 32)) << "ends on the last readable byte";
  EXPECT_TRUE(IsBadReadPtr(base_ + page_ - 32, 33)) << "one byte into the guard page";
  EXPECT_TRUE(IsBadReadPtr(base_ + page_ + 100, 1));
  EXPECT_TRUE(IsBadReadPtr(base_, 2 * page_));
}

TEST_F(GuardedPages, UnmappedPagesAreRefused) {
  ASSERT_EQ(munmap(base_ + page_, page_), 0);
  EXPECT_TRUE(IsBadReadPtr(base_ + page_, 8));
  EXPECT_FALSE(IsBadReadPtr(base_, 8));
  // Leave a mapping behind for TearDown to remove.
  ASSERT_EQ(mmap(base_ + page_, page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0),
            static_cast<void*>(base_ + page_));
}

TEST_F(GuardedPages, WritesAreAllowedOnlyInWritableMappings) {
  int onStack[4] = {};
  EXPECT_FALSE(IsBadWritePtr(onStack, sizeof onStack));
  EXPECT_FALSE(IsBadWritePtr(nullptr, 0));
  EXPECT_TRUE(IsBadWritePtr(nullptr, 1));
  EXPECT_TRUE(IsBadWritePtr(onStack, ~static_cast<UINT_PTR>(0)));
  EXPECT_FALSE(IsBadWritePtr(base_, page_));
  // The guard page is refused, also when the range only reaches into it.
  EXPECT_TRUE(IsBadWritePtr(base_ + page_ - 8, 9));
  // A page that may be read but not written, and read-only program data.
  ASSERT_EQ(mprotect(base_, page_, PROT_READ), 0);
  EXPECT_FALSE(IsBadReadPtr(base_, 16));
  EXPECT_TRUE(IsBadWritePtr(base_, 16));
  static const char kText[] = "read-only";
  EXPECT_TRUE(IsBadWritePtr(const_cast<char*>(kText), sizeof kText));
}

// The probe writes each page's byte back with its own value: what the range held stays.
TEST_F(GuardedPages, AWriteProbeLeavesTheContentsAlone) {
  for (size_t i = 0; i < page_; ++i) base_[i] = static_cast<char>(i * 7 + 3);
  EXPECT_FALSE(IsBadWritePtr(base_ + 5, page_ - 5));
  for (size_t i = 0; i < page_; ++i) ASSERT_EQ(base_[i], static_cast<char>(i * 7 + 3)) << i;
}

// A thread's stack is taken as usable without a probe only from the probing frame up to
// the stack's top: a thread on a stack of our own, between two pages without access.
TEST(MemProbe, TheStackInUseEndsAtTheStacksBounds) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t size = 256 * page;
  void* p = mmap(nullptr, size + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  char* region = static_cast<char*>(p);
  ASSERT_EQ(mprotect(region, page, PROT_NONE), 0);
  ASSERT_EQ(mprotect(region + page + size, page, PROT_NONE), 0);
  struct Answers {
    char* low;
    char* top;
    BOOL inUse[2], toTop[2], pastTop[2], intoPageBelow[2];
  } a{region + page, region + page + size, {}, {}, {}, {}};
  auto probe = [](void* arg) -> void* {
    auto* r = static_cast<Answers*>(arg);
    // The frame's own address is on this stack whatever a sanitizer does with locals.
    char* here = static_cast<char*>(__builtin_frame_address(0));
    const auto upTo = [&](const char* end) { return static_cast<UINT_PTR>(end - here); };
    r->inUse[0] = IsBadReadPtr(here, 64);
    r->inUse[1] = IsBadWritePtr(here, 64);
    r->toTop[0] = IsBadReadPtr(here, upTo(r->top));
    r->toTop[1] = IsBadWritePtr(here, upTo(r->top));
    r->pastTop[0] = IsBadReadPtr(here, upTo(r->top) + 1);
    r->pastTop[1] = IsBadWritePtr(here, upTo(r->top) + 1);
    r->intoPageBelow[0] = IsBadReadPtr(r->low - 8, 16);
    r->intoPageBelow[1] = IsBadWritePtr(r->low - 8, 16);
    return nullptr;
  };
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstack(&attr, region + page, size), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, probe, &a), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  munmap(region, size + 2 * page);
  for (int k = 0; k < 2; ++k) {
    const char* what = k == 0 ? "read" : "write";
    EXPECT_FALSE(a.inUse[k]) << what;
    EXPECT_FALSE(a.toTop[k]) << what << ": up to the stack's last byte";
    EXPECT_TRUE(a.pastTop[k]) << what << ": one byte past the stack's top";
    EXPECT_TRUE(a.intoPageBelow[k]) << what << ": below the stack";
  }
}

}  // namespace
