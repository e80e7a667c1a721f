// The fuzz targets' private working place.

#ifndef FUZZ_PRIVATE_DIR_H_
#define FUZZ_PRIVATE_DIR_H_

#include <string>

namespace d88test {

// Makes a new directory named `name`-XXXXXX in /dev/shm (or /tmp where
// that cannot be written), removed with its contents at exit. Returns its
// path, or an empty string if it cannot be made.
std::string MakePrivateDirectory(const char* name);

}  // namespace d88test

#endif  // FUZZ_PRIVATE_DIR_H_
