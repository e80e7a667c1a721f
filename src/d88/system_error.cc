// The wording of errors: the system's, on each platform.

#include "d88/system_error.h"

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace d88 {

#ifdef _WIN32
void SystemErrorText(int code, char* out, size_t size) {
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, out, static_cast<DWORD>(size), nullptr);
  while (n > 0 &&
         (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == '.')) {
    out[--n] = '\0';
  }
  if (n == 0) std::snprintf(out, size, "error %d", code);
}
#else
void SystemErrorText(int code, char* out, size_t size) {
  std::snprintf(out, size, "%s", std::strerror(code));
}
#endif

}  // namespace d88
