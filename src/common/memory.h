// Memory that is about to be written whole, and private copies of files.

#ifndef COMMON_MEMORY_H_
#define COMMON_MEMORY_H_

#include <cstddef>
#include <cstdint>

#include "d88/input_file.h"

namespace common {

// Asks the system to provide the pages of the `size` bytes at `data` now,
// in one call, rather than one page fault at a time as they are first
// written: for a buffer that the caller is about to fill. Only a matter of
// speed; does nothing where the system has no such request.
void PrepareForWriting(void* data, size_t size);

// A copy of a whole regular file in memory that the caller may change,
// made by the system in one call: a private mapping whose pages are all
// copied before Map returns, so that neither the caller's changes reach the
// file nor later changes to the file reach the copy. Where the system
// cannot make it so (or on systems without such mappings), Map fails and
// the caller reads the file instead.
class PrivateCopy {
 public:
  PrivateCopy() = default;
  ~PrivateCopy() { Unmap(); }
  PrivateCopy(const PrivateCopy&) = delete;
  PrivateCopy& operator=(const PrivateCopy&) = delete;

  // Copies the file at `path` if it is the file `identity` names and holds
  // `size` bytes (more than 0); false, with nothing kept, otherwise.
  bool Map(const char* path, const d88::FileIdentity& identity, int64_t size);

  // Frees the copy.
  void Unmap();

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace common

#endif  // COMMON_MEMORY_H_
