#include "d88/input_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace d88 {

namespace {

// The read-failure seam: which call of ReadAt fails, counting from the time
// it was set, and with what.
int64_t g_fail_read_at = 0;
int64_t g_reads_since = 0;
int g_fail_read_code = 0;

// Whether this call of ReadAt is the one the seam makes fail.
bool ReadFailsForTesting() {
  if (g_fail_read_at == 0) return false;
  return ++g_reads_since == g_fail_read_at;
}

// Streams are copied in pieces of this size.
constexpr size_t kCopySize = 65536;

}  // namespace

void InputFile::FailReadForTesting(int64_t k, int code) {
  g_fail_read_at = k;
  g_reads_since = 0;
  g_fail_read_code = code;
}

#ifdef _WIN32

namespace {

// The system's wording of a Windows error code, without the final period
// and line end.
void ErrorText(DWORD code, char* out, size_t size) {
  DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, out, static_cast<DWORD>(size), nullptr);
  while (n > 0 &&
         (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == '.')) {
    out[--n] = '\0';
  }
  if (n == 0) {
    std::snprintf(out, size, "error %lu", static_cast<unsigned long>(code));
  }
}

// `path` as UTF-16 in `wide` (room for `size` characters): read as UTF-8,
// or, when it is not valid UTF-8, in the ANSI code page, as a caller of the
// narrow Windows interface would give it.
bool WidePath(const char* path, wchar_t* wide, int size) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide,
                             size) > 0 ||
         MultiByteToWideChar(CP_ACP, 0, path, -1, wide, size) > 0;
}

// Longest path the wide interface takes, in characters.
constexpr int kMaxWidePath = 32768;

}  // namespace

void InputFile::NoteError(int code, const char* what) const {
  if (error_[0] != '\0') return;
  char text[200];
  ErrorText(static_cast<DWORD>(code), text, sizeof(text));
  std::snprintf(error_, sizeof(error_), "%s%s%s", what ? what : "",
                what ? ": " : "", text);
}

bool InputFile::Open(const char* path, int64_t max_stream_size) {
  Close();
  error_[0] = '\0';
  static wchar_t wide[kMaxWidePath];
  if (!WidePath(path, wide, kMaxWidePath)) return false;
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
  const HANDLE handle =
      CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  handle_ = handle;
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR) {
    return StoreStream(max_stream_size);
  }
  return true;
}

void InputFile::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

bool InputFile::is_open() const { return handle_ != nullptr; }

bool InputFile::StoreStream(int64_t max_size) {
  const HANDLE stream = static_cast<HANDLE>(handle_);
  handle_ = nullptr;
  const char* const kStoring =
      "cannot keep the piped input in a temporary file";
  wchar_t dir[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  HANDLE store = INVALID_HANDLE_VALUE;
  if (n > 0 && n <= MAX_PATH && GetTempFileNameW(dir, L"d88", 0, name) != 0) {
    // Deleted by the system when the handle closes, also if the process
    // ends without closing it.
    store = CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                        nullptr);
    if (store == INVALID_HANDLE_VALUE) DeleteFileW(name);
  }
  if (store == INVALID_HANDLE_VALUE) {
    NoteError(static_cast<int>(GetLastError()), kStoring);
    CloseHandle(stream);
    return false;
  }
  static uint8_t buf[kCopySize];
  int64_t total = 0;
  bool sound = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(stream, buf, sizeof(buf), &got, nullptr)) {
      const DWORD code = GetLastError();
      // A pipe whose writer has closed reports its end this way.
      if (code != ERROR_BROKEN_PIPE && code != ERROR_HANDLE_EOF) {
        NoteError(static_cast<int>(code));
        sound = false;
      }
      break;
    }
    if (got == 0) break;
    if (got > max_size - total) {
      std::snprintf(error_, sizeof(error_),
                    "the piped input is longer than the %lld bytes that can "
                    "be read from it",
                    static_cast<long long>(max_size));
      sound = false;
      break;
    }
    DWORD put = 0;
    if (!WriteFile(store, buf, got, &put, nullptr) || put != got) {
      NoteError(static_cast<int>(GetLastError()), kStoring);
      sound = false;
      break;
    }
    total += got;
  }
  CloseHandle(stream);
  if (!sound) {
    CloseHandle(store);
    return false;
  }
  handle_ = store;
  return true;
}

size_t InputFile::ReadAt(int64_t offset, uint8_t* buf, size_t len,
                         bool* failed) const {
  if (handle_ == nullptr || offset < 0) return 0;
  if (ReadFailsForTesting()) {
    NoteError(g_fail_read_code);
    if (failed != nullptr) *failed = true;
    return 0;
  }
  size_t done = 0;
  while (done < len) {
    const uint64_t at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED place = {};
    place.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    const size_t rest = len - done;
    const DWORD want =
        rest > 0x40000000u ? 0x40000000u : static_cast<DWORD>(rest);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), buf + done, want, &got,
                  &place)) {
      const DWORD code = GetLastError();
      if (code != ERROR_HANDLE_EOF) {
        NoteError(static_cast<int>(code));
        if (failed != nullptr) *failed = true;
      }
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

int64_t InputFile::Size() const {
  LARGE_INTEGER size;
  if (handle_ == nullptr ||
      !GetFileSizeEx(static_cast<HANDLE>(handle_), &size)) {
    return -1;
  }
  return static_cast<int64_t>(size.QuadPart);
}

#else  // POSIX

void InputFile::NoteError(int code, const char* what) const {
  if (error_[0] != '\0') return;
  std::snprintf(error_, sizeof(error_), "%s%s%s", what ? what : "",
                what ? ": " : "", std::strerror(code));
}

bool InputFile::Open(const char* path, int64_t max_stream_size) {
  Close();
  error_[0] = '\0';
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A directory opens for reading here, but it is not an image file.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return false;
  }
  fd_ = fd;
  uint8_t probe = 0;
  if (pread(fd, &probe, 0, 0) < 0 && errno == ESPIPE) {
    return StoreStream(max_stream_size);
  }
  return true;
}

void InputFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool InputFile::is_open() const { return fd_ >= 0; }

namespace {

// A new file that no name refers to, in $TMPDIR or /tmp; -1 with errno set
// on failure.
int OpenAnonymousFile() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
#ifdef O_TMPFILE
  const int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  // File systems without O_TMPFILE: a new name, removed at once.
  char name[4096];
  if (std::snprintf(name, sizeof(name), "%s/d88cut-XXXXXX", dir) >=
      static_cast<int>(sizeof(name))) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int named = mkstemp(name);
  if (named < 0) return -1;
  unlink(name);
  fcntl(named, F_SETFD, FD_CLOEXEC);
  return named;
}

// Writes all of `len` bytes; returns 0 or the errno value.
int WriteAll(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

bool InputFile::StoreStream(int64_t max_size) {
  const int stream = fd_;
  fd_ = -1;
  const char* const kStoring =
      "cannot keep the piped input in a temporary file";
  const int store = OpenAnonymousFile();
  if (store < 0) {
    NoteError(errno, kStoring);
    close(stream);
    return false;
  }
  static uint8_t buf[kCopySize];
  int64_t total = 0;
  bool sound = true;
  for (;;) {
    const ssize_t got = read(stream, buf, sizeof(buf));
    if (got < 0) {
      if (errno == EINTR) continue;
      NoteError(errno);
      sound = false;
      break;
    }
    if (got == 0) break;
    if (got > max_size - total) {
      std::snprintf(error_, sizeof(error_),
                    "the piped input is longer than the %lld bytes that can "
                    "be read from it",
                    static_cast<long long>(max_size));
      sound = false;
      break;
    }
    const int err = WriteAll(store, buf, static_cast<size_t>(got));
    if (err != 0) {
      NoteError(err, kStoring);
      sound = false;
      break;
    }
    total += got;
  }
  close(stream);
  if (!sound) {
    close(store);
    return false;
  }
  fd_ = store;
  return true;
}

size_t InputFile::ReadAt(int64_t offset, uint8_t* buf, size_t len,
                         bool* failed) const {
  if (fd_ < 0 || offset < 0) return 0;
  if (ReadFailsForTesting()) {
    NoteError(g_fail_read_code);
    if (failed != nullptr) *failed = true;
    return 0;
  }
  size_t done = 0;
  while (done < len) {
    const ssize_t got =
        pread(fd_, buf + done, len - done,
              static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      NoteError(errno);
      if (failed != nullptr) *failed = true;
      break;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

int64_t InputFile::Size() const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

#endif  // _WIN32

}  // namespace d88
