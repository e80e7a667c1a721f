#include "common/memory.h"

#include <cstdint>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "d88/native_file.h"
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

bool PrivateCopy::Map(const char* path, const d88::FileIdentity& identity,
                      int64_t size) {
  Unmap();
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (size <= 0 || static_cast<uint64_t>(size) > SIZE_MAX) return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  // The same file as the caller's, not one that has taken its name since.
  const bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    d88::IdentityOfStat(st) == identity && st.st_size == size;
  void* mapped = MAP_FAILED;
  const size_t n = static_cast<size_t>(size);
  if (same) {
    mapped = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  }
  close(fd);
  if (mapped == MAP_FAILED) return false;
  // Every page copied now: a page still shared with the file would change
  // with it, and one past a shortened end would fault on first use. Where
  // the copy cannot be made whole (an old kernel, the file cut short
  // meanwhile), nothing is kept.
  if (madvise(mapped, n, MADV_POPULATE_WRITE) != 0) {
    munmap(mapped, n);
    return false;
  }
  data_ = static_cast<uint8_t*>(mapped);
  size_ = n;
  return true;
#else
  (void)path;
  (void)identity;
  (void)size;
  return false;
#endif
}

void PrivateCopy::Unmap() {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (data_ != nullptr) munmap(data_, size_);
#endif
  data_ = nullptr;
  size_ = 0;
}

}  // namespace common
