// The native files of native_file.h on POSIX systems.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "d88/native_file.h"

namespace d88 {

const int kOutOfMemoryCode = ENOMEM;

namespace {

// The descriptor that `path` names when it is one of the names of this
// process's descriptors (/dev/stdin, /dev/fd/N, /proc/self/fd/N); -1 if it
// is not.
int DescriptorNamed(const char* path) {
  if (std::strcmp(path, "/dev/stdin") == 0) return 0;
  static const char* const kPrefixes[] = {"/dev/fd/", "/proc/self/fd/"};
  for (const char* prefix : kPrefixes) {
    const size_t len = std::strlen(prefix);
    if (std::strncmp(path, prefix, len) != 0) continue;
    const char* digits = path + len;
    if (*digits == '\0') return -1;
    long fd = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9' || fd > INT_MAX / 10) return -1;
      fd = fd * 10 + (*p - '0');
    }
    return fd <= INT_MAX ? static_cast<int>(fd) : -1;
  }
  return -1;
}

// Whether `st` is a file that can be read only in order.
bool IsStream(const struct stat& st) {
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode);
}

}  // namespace

int OpenForReading(const char* path, intptr_t* file, bool* stream) {
  *stream = false;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    // A socket cannot be opened by name, even by the name of a descriptor
    // that holds it (as `d88cut /dev/stdin` with a socket for standard
    // input); that descriptor itself is read then.
    const int held = code == ENXIO ? DescriptorNamed(path) : -1;
    struct stat st;
    if (held < 0 || fstat(held, &st) != 0 || !S_ISSOCK(st.st_mode)) {
      return code;
    }
    fd = fcntl(held, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
  }
  struct stat st;
  if (fstat(fd, &st) == 0) {
    // A directory opens for reading here, but it is not an image file.
    if (S_ISDIR(st.st_mode)) {
      close(fd);
      return EISDIR;
    }
    // A character device may answer reads at an offset, but not with the
    // same bytes twice (/dev/urandom).
    *stream = IsStream(st);
  }
  if (!*stream) {
    uint8_t probe = 0;
    *stream = pread(fd, &probe, 0, 0) < 0 && errno == ESPIPE;
  }
  *file = fd;
  return 0;
}

void CloseFile(intptr_t file) { close(static_cast<int>(file)); }

int OpenAnonymousFile(intptr_t* file, char* dir_out, size_t dir_size) {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
  std::snprintf(dir_out, dir_size, "%s", dir);
#ifdef O_TMPFILE
  const int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) {
    *file = fd;
    return 0;
  }
#endif
  // File systems without O_TMPFILE: a new name, removed at once. Signals
  // that end the process wait while the name exists, so that none leaves
  // it behind; faults are not held back, as they cannot wait.
  char name[4096];
  if (std::snprintf(name, sizeof(name), "%s/d88cut-XXXXXX", dir) >=
      static_cast<int>(sizeof(name))) {
    return ENAMETOOLONG;
  }
  sigset_t held;
  sigset_t before;
  sigfillset(&held);
  static const int kFaults[] = {SIGSEGV, SIGBUS,  SIGFPE,
                                SIGILL,  SIGTRAP, SIGSYS};
  for (const int sig : kFaults) {
    sigdelset(&held, sig);
  }
  sigprocmask(SIG_BLOCK, &held, &before);
  const int named = mkstemp(name);
  const int code = errno;
  if (named >= 0) unlink(name);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  if (named < 0) return code;
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

int WriteAll(intptr_t file, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(static_cast<int>(file), data, len);
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

int WriteAllAt(intptr_t file, int64_t offset, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n =
        pwrite(static_cast<int>(file), data, len, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    data += n;
    offset += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int64_t FileSize(intptr_t file) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

FileIdentity IdentityOfStat(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool IdentityOf(intptr_t file, FileIdentity* identity) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  *identity = IdentityOfStat(st);
  return true;
}

}  // namespace d88
