#include "platform/allocator.h"

#include <cstdlib>  // names the C library (__GLIBC__) before it is asked for below

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace skerrow {

void return_large_blocks_at_once() {
#if defined(__GLIBC__)
  // A fixed threshold turns the adjustment off; the trim threshold stays at its default.
  (void)mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

}  // namespace skerrow
