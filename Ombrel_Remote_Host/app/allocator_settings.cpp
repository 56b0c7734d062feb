#include "Ombrel_Remote_Host/app/allocator_settings.h"

#include <malloc.h>
#include <sys/prctl.h>

namespace ombrel {

void applyAllocatorSettings() {
  // glibc raises its mmap threshold to the size of each big block freed, up to 32 MiB. After
  // the first encoder picture or x265 picture data (a few MiB each) was freed, the next ones
  // came from the allocating thread's arena and stayed resident there once freed, through
  // x265's reopen for every new rate and after the session ended. A fixed threshold also fixes
  // the trim threshold, which glibc would otherwise raise to twice the mmap one.
  mallopt(M_MMAP_THRESHOLD, ownMappingThreshold);
  mallopt(M_TRIM_THRESHOLD, ownMappingThreshold);
  // libx264 asks for transparent huge pages on every buffer of about 2 MiB or more: its
  // bitstream buffers, sized for a raw picture and one per encoder thread, then take 2 MiB
  // each for the few KiB a frame writes.
  prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
}

}  // namespace ombrel
