#include "Ombrel_Remote_Host/app/allocator_settings.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace ombrel {
namespace {

// libx264 asks for huge pages on its big buffers and then writes a few KiB into some of them:
// a touched byte must cost a page, not 2 MiB. Where the system gives no huge pages this holds
// anyway.
TEST(AllocatorSettings, AskingForHugePagesCostsOnlyTheTouchedPage) {
  applyAllocatorSettings();
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
