#include "Ombrel_Remote_Host/app/allocator_settings.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace ombrel {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitizerAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitizerAllocator = true;
#else
constexpr bool sanitizerAllocator = false;
#endif
#else
constexpr bool sanitizerAllocator = false;
#endif

// Writes through the block so that neither the compiler drops the allocation nor the pages stay
// untouched.
void fill(void* block, std::size_t size) {
  std::memset(block, 0x5A, size);
  asm volatile("" : : "r"(block) : "memory");
}

class AllocatorSettingsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { applyAllocatorSettings(); }
};

// The pictures a stream moves (a converted 1080p picture, a 1080p BGRX copy) are allocated and
// freed over and over on worker threads. Each must leave the process when freed, however big the
// blocks freed before it were.
TEST_F(AllocatorSettingsTest, BigBlocksFreedOnAWorkerThreadLeaveTheProcess) {
  if (sanitizerAllocator) GTEST_SKIP() << "the sanitizer's allocator stands in for glibc's";
  for (const std::size_t size : {std::size_t{3} << 20, std::size_t{8} << 20}) {
    SCOPED_TRACE(size);
    std::thread([size] {
      void* first = std::malloc(size);
      ASSERT_NE(first, nullptr);
      fill(first, size);
      std::free(first);
      const std::size_t mapped = mallinfo2().hblkhd;
      void* second = std::malloc(size);
      ASSERT_NE(second, nullptr);
      fill(second, size);
      EXPECT_GE(mallinfo2().hblkhd, mapped + size);
      std::free(second);
      EXPECT_EQ(mallinfo2().hblkhd, mapped);
    }).join();
  }
}

// libx264 asks for huge pages on its big buffers and then writes a few KiB into some of them:
// a touched byte must cost a page, not 2 MiB. Where the system gives no huge pages this holds
// anyway.
TEST_F(AllocatorSettingsTest, AskingForHugePagesCostsOnlyTheTouchedPage) {
  constexpr std::size_t huge = std::size_t{2} << 20;
  void* region =
      mmap(nullptr, 2 * huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  auto* aligned = reinterpret_cast<std::uint8_t*>(
      (reinterpret_cast<std::uintptr_t>(region) + huge - 1) & ~(huge - 1));
  madvise(aligned, huge, MADV_HUGEPAGE);
  aligned[0] = 1;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident(huge / page);
  ASSERT_EQ(mincore(aligned, huge, resident.data()), 0);
  std::size_t pages = 0;
  for (unsigned char flags : resident) pages += flags & 1;
  EXPECT_EQ(pages, 1u);
  munmap(region, 2 * huge);
}

}  // namespace
}  // namespace ombrel
