// Builds archives and compressed files around a file's bytes, for tests of
// how d88info tells them from D88 files. The data is stored, not
// compressed: an archive that holds a D88 file's bytes as they are is the
// hardest to tell from one.

#ifndef TESTING_ARCHIVES_H_
#define TESTING_ARCHIVES_H_

#include <cstdint>
#include <string>

#include "testing/d88_builder.h"

namespace d88test {

enum class ZipMethod {
  kStored,    // method 0
  kDeflated,  // method 8, a deflate stream of stored blocks
};

// A zip archive of one file `name` holding `data`.
Bytes ZipOf(const std::string& name, const Bytes& data, ZipMethod method);

// A gzip file of `data`.
Bytes GzipOf(const Bytes& data);

// An LZH archive (level 0 header, method -lh0-, stored) of one file.
Bytes LzhOf(const std::string& name, const Bytes& data);

// The 7z signature header, then `data`: what a 7z archive starts with.
Bytes SevenZipSignatureOf(const Bytes& data);

// The CRC-32 of zip and gzip.
uint32_t Crc32(const Bytes& bytes);

}  // namespace d88test

#endif  // TESTING_ARCHIVES_H_
