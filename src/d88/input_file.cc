#include "d88/input_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "d88/read_faults.h"
#include "d88/system_error.h"

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

// The read-failure seam (read_faults.h): which calls of ReadAt fail,
// counting from the time it was set, and with what.
int64_t g_fail_read_at = 0;
int64_t g_fail_read_count = 0;
int64_t g_reads_since = 0;
int g_fail_read_code = 0;

// Whether this call of ReadAt is one the seam makes fail.
bool ReadFailsForTesting() {
  if (g_fail_read_at == 0) return false;
  ++g_reads_since;
  return g_reads_since >= g_fail_read_at &&
         g_reads_since - g_fail_read_at < g_fail_read_count;
}

// Streams are copied in pieces of this size.
constexpr size_t kCopySize = 65536;

constexpr intptr_t kNoFile = -1;

// The platform's part: each returns 0 or the system's error code (an errno
// value; a Windows error code on Windows).

#ifdef _WIN32

HANDLE AsHandle(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

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

// Opens `path` for reading; `*stream` tells whether it is a pipe or a
// character device, which cannot be read at an offset. Fails for a
// directory.
int OpenForReading(const char* path, intptr_t* file, bool* stream) {
  static wchar_t wide[kMaxWidePath];
  if (!WidePath(path, wide, kMaxWidePath)) return ERROR_INVALID_NAME;
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
  const HANDLE handle =
      CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  const DWORD type = GetFileType(handle);
  *stream = type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR;
  *file = reinterpret_cast<intptr_t>(handle);
  return 0;
}

void CloseFile(intptr_t file) { CloseHandle(AsHandle(file)); }

// A new file that is deleted when it is closed, in the user's temporary
// folder.
int OpenAnonymousFile(intptr_t* file) {
  wchar_t dir[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, dir);
  if (n == 0 || n > MAX_PATH || GetTempFileNameW(dir, L"d88", 0, name) == 0) {
    return static_cast<int>(GetLastError());
  }
  // Deleted by the system when the handle closes, also if the process ends
  // without closing it.
  const HANDLE handle = CreateFileW(
      name, GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    DeleteFileW(name);
    return static_cast<int>(code);
  }
  *file = reinterpret_cast<intptr_t>(handle);
  return 0;
}

// Reads the next bytes of a stream; `*got` is 0 at its end.
int ReadStream(intptr_t stream, uint8_t* buf, size_t len, size_t* got) {
  DWORD n = 0;
  *got = 0;
  if (!ReadFile(AsHandle(stream), buf, static_cast<DWORD>(len), &n, nullptr)) {
    const DWORD code = GetLastError();
    // A pipe whose writer has closed reports its end this way.
    return code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF
               ? 0
               : static_cast<int>(code);
  }
  *got = n;
  return 0;
}

int WriteAll(intptr_t file, const uint8_t* data, size_t len) {
  DWORD put = 0;
  if (!WriteFile(AsHandle(file), data, static_cast<DWORD>(len), &put,
                 nullptr)) {
    return static_cast<int>(GetLastError());
  }
  return put == len ? 0 : ERROR_WRITE_FAULT;
}

// Reads up to `len` bytes at `offset` with one call; `*got` is 0 at the
// end of the file.
int ReadSomeAt(intptr_t file, int64_t offset, uint8_t* buf, size_t len,
               size_t* got) {
  OVERLAPPED place = {};
  place.Offset =
      static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  place.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  const DWORD want = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
  DWORD n = 0;
  *got = 0;
  if (!ReadFile(AsHandle(file), buf, want, &n, &place)) {
    const DWORD code = GetLastError();
    return code == ERROR_HANDLE_EOF ? 0 : static_cast<int>(code);
  }
  *got = n;
  return 0;
}

int64_t FileSize(intptr_t file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(AsHandle(file), &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

bool IdentityOf(intptr_t file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(AsHandle(file), &info)) return false;
  identity->device = info.dwVolumeSerialNumber;
  identity->file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

#else  // POSIX

int OpenForReading(const char* path, intptr_t* file, bool* stream) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  // A directory opens for reading here, but it is not an image file.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return EISDIR;
  }
  // Pipes, FIFOs, sockets and terminals cannot be read at an offset.
  uint8_t probe = 0;
  *stream = pread(fd, &probe, 0, 0) < 0 && errno == ESPIPE;
  *file = fd;
  return 0;
}

void CloseFile(intptr_t file) { close(static_cast<int>(file)); }

// A new file that no name refers to, in $TMPDIR or /tmp.
int OpenAnonymousFile(intptr_t* file) {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
#ifdef O_TMPFILE
  const int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) {
    *file = fd;
    return 0;
  }
#endif
  // File systems without O_TMPFILE: a new name, removed at once.
  char name[4096];
  if (std::snprintf(name, sizeof(name), "%s/d88cut-XXXXXX", dir) >=
      static_cast<int>(sizeof(name))) {
    return ENAMETOOLONG;
  }
  const int named = mkstemp(name);
  if (named < 0) return errno;
  unlink(name);
  fcntl(named, F_SETFD, FD_CLOEXEC);
  *file = named;
  return 0;
}

int ReadStream(intptr_t stream, uint8_t* buf, size_t len, size_t* got) {
  for (;;) {
    const ssize_t n = read(static_cast<int>(stream), buf, len);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int WriteAll(intptr_t file, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(static_cast<int>(file), data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int ReadSomeAt(intptr_t file, int64_t offset, uint8_t* buf, size_t len,
               size_t* got) {
  for (;;) {
    const ssize_t n =
        pread(static_cast<int>(file), buf, len, static_cast<off_t>(offset));
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return errno;
  }
}

int64_t FileSize(intptr_t file) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool IdentityOf(intptr_t file, FileIdentity* identity) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->file = static_cast<uint64_t>(st.st_ino);
  return true;
}

#endif  // _WIN32

}  // namespace

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

void FailInputReadsForTesting(int64_t k, int code, int64_t count) {
  g_fail_read_at = k;
  g_fail_read_count = count;
  g_reads_since = 0;
  g_fail_read_code = code;
}

void InputFile::NoteError(int code, const char* what) const {
  ++failed_reads_;
  if (error_[0] != '\0') return;
  char text[200];
  SystemErrorText(code, text, sizeof(text));
  std::snprintf(error_, sizeof(error_), "%s%s%s", what ? what : "",
                what ? ": " : "", text);
}

bool InputFile::Open(const char* path, int64_t max_stream_size) {
  Close();
  error_[0] = '\0';
  failed_reads_ = 0;
  bool stream = false;
  if (OpenForReading(path, &file_, &stream) != 0) return false;
  // Taken before a stream is replaced by its copy: an output name may be
  // the FIFO itself.
  has_identity_ = IdentityOf(file_, &identity_);
  return stream ? StoreStream(max_stream_size) : true;
}

void InputFile::Close() {
  if (file_ != kNoFile) CloseFile(file_);
  file_ = kNoFile;
}

bool InputFile::is_open() const { return file_ != kNoFile; }

bool InputFile::StoreStream(int64_t max_size) {
  const intptr_t stream = file_;
  file_ = kNoFile;
  const char* const kStoring =
      "cannot keep the piped input in a temporary file";
  intptr_t store = kNoFile;
  int code = OpenAnonymousFile(&store);
  if (code != 0) {
    NoteError(code, kStoring);
    CloseFile(stream);
    return false;
  }
  static uint8_t buf[kCopySize];
  int64_t total = 0;
  for (;;) {
    size_t got = 0;
    code = ReadStream(stream, buf, sizeof(buf), &got);
    if (code != 0) {
      NoteError(code);
      break;
    }
    if (got == 0) break;
    if (static_cast<int64_t>(got) > max_size - total) {
      std::snprintf(error_, sizeof(error_),
                    "the piped input is longer than the %lld bytes that can "
                    "be read from it",
                    static_cast<long long>(max_size));
      code = -1;
      break;
    }
    code = WriteAll(store, buf, got);
    if (code != 0) {
      NoteError(code, kStoring);
      break;
    }
    total += static_cast<int64_t>(got);
  }
  CloseFile(stream);
  if (code != 0) {
    CloseFile(store);
    return false;
  }
  file_ = store;
  return true;
}

size_t InputFile::ReadAt(int64_t offset, uint8_t* buf, size_t len,
                         bool* failed) const {
  int code = 0;
  const size_t done = Read(offset, buf, len, &code);
  if (code != 0) {
    NoteError(code);
    if (failed != nullptr) *failed = true;
  }
  return done;
}

size_t InputFile::ReadAhead(int64_t offset, uint8_t* buf, size_t len,
                            bool* failed) const {
  int code = 0;
  const size_t done = Read(offset, buf, len, &code);
  *failed = code != 0;
  return done;
}

size_t InputFile::Read(int64_t offset, uint8_t* buf, size_t len,
                       int* code) const {
  if (file_ == kNoFile || offset < 0) return 0;
  if (ReadFailsForTesting()) {
    *code = g_fail_read_code;
    return 0;
  }
  size_t done = 0;
  while (done < len) {
    size_t got = 0;
    *code = ReadSomeAt(file_, offset + static_cast<int64_t>(done), buf + done,
                       len - done, &got);
    if (*code != 0 || got == 0) break;
    done += got;
  }
  return done;
}

int64_t InputFile::Size() const {
  return file_ == kNoFile ? -1 : FileSize(file_);
}

bool InputFile::GetIdentity(FileIdentity* identity) const {
  if (file_ == kNoFile || !has_identity_) return false;
  *identity = identity_;
  return true;
}

}  // namespace d88
