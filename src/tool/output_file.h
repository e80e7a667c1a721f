// Writing the extracted files.

#ifndef TOOL_OUTPUT_FILE_H_
#define TOOL_OUTPUT_FILE_H_

#include <cstddef>
#include <cstdint>

namespace d88 {

// Why a file could not be written, as the system words it.
struct WriteError {
  char reason[256];
};

// Writes `len` bytes of `data` to the file `name`, replacing any file of
// that name. The bytes go to a new temporary file in the same directory,
// which is renamed over `name` only once it is complete, so an existing
// file is either replaced whole or left as it was, and no temporary file
// remains. The new file gets the permissions of a plain create (0666 less
// the umask). Returns false and fills `error` on failure.
bool PublishFile(const char* name, const uint8_t* data, size_t len,
                 WriteError* error);

}  // namespace d88

#endif  // TOOL_OUTPUT_FILE_H_
