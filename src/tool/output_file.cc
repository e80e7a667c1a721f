#include "tool/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace d88 {

namespace {

void SetReason(WriteError* error, int errnum) {
  std::snprintf(error->reason, sizeof(error->reason), "%s",
                std::strerror(errnum));
}

#ifdef _WIN32

int OpenNew(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
               _S_IREAD | _S_IWRITE);
}
long WriteSome(int fd, const uint8_t* p, size_t len) {
  const unsigned int n =
      len > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(len);
  return _write(fd, p, n);
}
int CloseFd(int fd) { return _close(fd); }
long ProcessId() { return static_cast<long>(_getpid()); }

bool RenameOver(const char* from, const char* to, WriteError* error) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
  const DWORD code = GetLastError();
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      0, error->reason, sizeof(error->reason), nullptr);
  while (n > 0 &&
         (error->reason[n - 1] == '\n' || error->reason[n - 1] == '\r' ||
          error->reason[n - 1] == '.')) {
    error->reason[--n] = '\0';
  }
  if (n == 0) {
    std::snprintf(error->reason, sizeof(error->reason), "error %lu",
                  static_cast<unsigned long>(code));
  }
  return false;
}

#else

int OpenNew(const char* path) {
  // 0666 lets the umask decide, as a plain create would.
  return open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
}
long WriteSome(int fd, const uint8_t* p, size_t len) {
  return static_cast<long>(write(fd, p, len));
}
int CloseFd(int fd) { return close(fd); }
long ProcessId() { return static_cast<long>(getpid()); }

bool RenameOver(const char* from, const char* to, WriteError* error) {
  if (std::rename(from, to) == 0) return true;
  SetReason(error, errno);
  return false;
}

#endif

// For temporary names. Taken once at start: the C library asks the system
// for it on every call.
const long g_process_id = ProcessId();

// Writes all of `len` bytes; returns 0 or the errno value.
int WriteAll(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    const long n = WriteSome(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

bool PublishFile(const char* name, const uint8_t* data, size_t len,
                 WriteError* error) {
  char temp[300];
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    std::snprintf(temp, sizeof(temp), ".%s.%ld-%d.tmp", name, g_process_id,
                  attempt);
    fd = OpenNew(temp);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    SetReason(error, errno);
    return false;
  }

  int err = WriteAll(fd, data, len);
  if (CloseFd(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    SetReason(error, err);
    std::remove(temp);
    return false;
  }
  if (!RenameOver(temp, name, error)) {
    std::remove(temp);
    return false;
  }
  return true;
}

}  // namespace d88
