// A library preloaded into a tool under test (LD_PRELOAD, Linux only) to
// reproduce what the system does rarely. Each part acts only where its
// variable is set in the environment:
//
//   D88TEST_NO_TMPFILE=1       open() with O_TMPFILE fails with EOPNOTSUPP,
//                              as on file systems without unnamed files, and
//                              each mkstemp() sends the process SIGTERM just
//                              after it has made its file;
//   D88TEST_CALLOC_LIMIT=N     calloc() of N bytes or more fails with ENOMEM.

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

extern "C" void* __libc_calloc(size_t count, size_t size);

namespace {

bool NoTmpfile() { return std::getenv("D88TEST_NO_TMPFILE") != nullptr; }

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int Open(const char* name, const char* path, int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    mode = static_cast<mode_t>(va_arg(args, int));
  }
  if ((flags & O_TMPFILE) == O_TMPFILE && NoTmpfile()) {
    errno = EOPNOTSUPP;
    return -1;
  }
  using OpenFunction = int (*)(const char*, int, ...);
  return Next<OpenFunction>(name)(path, flags, mode);
}

int MakeTemporary(const char* name, char* templ) {
  using MkstempFunction = int (*)(char*);
  const int fd = Next<MkstempFunction>(name)(templ);
  if (fd >= 0 && NoTmpfile()) kill(getpid(), SIGTERM);
  return fd;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = Open("open", path, flags, args);
  va_end(args);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = Open("open64", path, flags, args);
  va_end(args);
  return fd;
}

int mkstemp(char* templ) { return MakeTemporary("mkstemp", templ); }
int mkstemp64(char* templ) { return MakeTemporary("mkstemp64", templ); }

void* calloc(size_t count, size_t size) {
  const char* limit = std::getenv("D88TEST_CALLOC_LIMIT");
  if (limit != nullptr && size != 0 &&
      count >= std::strtoull(limit, nullptr, 10) / size) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(count, size);
}

}  // extern "C"
