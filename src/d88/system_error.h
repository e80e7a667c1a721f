// The system's wording of an error code. Internal to the project: not part
// of the installed library.

#ifndef D88_SYSTEM_ERROR_H_
#define D88_SYSTEM_ERROR_H_

#include <cstddef>

namespace d88 {

// Writes the system's wording of `code` (an errno value; a Windows error
// code on Windows), without a final period or line end, into `out` of
// `size` bytes.
void SystemErrorText(int code, char* out, size_t size);

}  // namespace d88

#endif  // D88_SYSTEM_ERROR_H_
