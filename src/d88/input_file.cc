#include "d88/input_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace d88 {

#ifdef _WIN32

bool InputFile::Open(const char* path) {
  Close();
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
  const HANDLE handle =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  handle_ = handle;
  return true;
}

void InputFile::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

bool InputFile::is_open() const { return handle_ != nullptr; }

size_t InputFile::ReadAt(int64_t offset, uint8_t* buf, size_t len,
                         bool* failed) const {
  if (handle_ == nullptr || offset < 0) return 0;
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
      if (GetLastError() != ERROR_HANDLE_EOF && failed != nullptr) {
        *failed = true;
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

bool InputFile::Open(const char* path) {
  Close();
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A directory opens for reading here, but it is not an image file.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void InputFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool InputFile::is_open() const { return fd_ >= 0; }

size_t InputFile::ReadAt(int64_t offset, uint8_t* buf, size_t len,
                         bool* failed) const {
  if (fd_ < 0 || offset < 0) return 0;
  size_t done = 0;
  while (done < len) {
    const ssize_t got =
        pread(fd_, buf + done, len - done,
              static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
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

#ifdef _WIN32

bool InputFile::GetIdentity(FileIdentity* identity) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle_ == nullptr ||
      !GetFileInformationByHandle(static_cast<HANDLE>(handle_), &info)) {
    return false;
  }
  identity->device = info.dwVolumeSerialNumber;
  identity->file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

#else  // POSIX

bool InputFile::GetIdentity(FileIdentity* identity) const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->file = static_cast<uint64_t>(st.st_ino);
  return true;
}

#endif  // _WIN32

}  // namespace d88
