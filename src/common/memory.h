// Memory that is about to be written whole.

#ifndef COMMON_MEMORY_H_
#define COMMON_MEMORY_H_

#include <cstddef>

namespace common {

// Asks the system to provide the pages of the `size` bytes at `data` now,
// in one call, rather than one page fault at a time as they are first
// written: for a buffer that the caller is about to fill. Only a matter of
// speed; does nothing where the system has no such request.
void PrepareForWriting(void* data, size_t size);

}  // namespace common

#endif  // COMMON_MEMORY_H_
