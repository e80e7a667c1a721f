// SHA-256, for the digests of the files that d88cut would write.

#ifndef INFO_SHA256_H_
#define INFO_SHA256_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace info {

// The SHA-256 digest of `len` bytes at `data`, in lowercase hex.
std::string Sha256Hex(const uint8_t* data, size_t len);

}  // namespace info

#endif  // INFO_SHA256_H_
