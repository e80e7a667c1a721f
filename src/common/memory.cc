#include "common/memory.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace common {

void PrepareForWriting(void* data, size_t size) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // The whole pages inside the buffer; a partial page at either end is
  // faulted in as usual. Kernels before 5.14 refuse the request.
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0 || data == nullptr) return;
  const uintptr_t page = static_cast<uintptr_t>(page_size);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + page - 1) / page * page;
  const uintptr_t end = (begin + size) / page * page;
  if (end > first) {
    madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
  }
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace common
