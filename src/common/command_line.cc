#include "common/command_line.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace common {

void ConsoleOutput::Reset() {
  error_ = 0;
  std::clearerr(stdout);
}

void ConsoleOutput::Print(const char* format, ...) {
  if (error_ != 0) return;
  va_list args;
  va_start(args, format);
  if (std::vfprintf(stdout, format, args) < 0)
    error_ = errno != 0 ? errno : EIO;
  va_end(args);
}

void ConsoleOutput::Flush() {
  if (error_ == 0 && std::fflush(stdout) != 0)
    error_ = errno != 0 ? errno : EIO;
}

bool OpenClosedStandardDescriptors() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor, which is `fd`: the lower ones are open.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) {
      const int code = opened < 0 ? errno : EBADF;
      if (opened >= 0) close(opened);
      // Lost where standard error is closed too.
      std::fprintf(stderr, "error: /dev/null: %s\n", std::strerror(code));
      return false;
    }
  }
#endif
  return true;
}

void IgnoreWriteSignals() {
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

#ifdef _WIN32

int RunWithUtf8Arguments(int argc, wchar_t** argv, int (*run)(int, char**)) {
  // One block for the pointers and the strings; it lives for the run.
  size_t bytes = (static_cast<size_t>(argc) + 1) * sizeof(char*);
  for (int i = 0; i < argc; ++i) {
    bytes += static_cast<size_t>(WideCharToMultiByte(
        CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr));
  }
  char* block = static_cast<char*>(std::malloc(bytes));
  if (block == nullptr) return 1;
  char** words = reinterpret_cast<char**>(block);
  char* text = block + (static_cast<size_t>(argc) + 1) * sizeof(char*);
  char* const end = block + bytes;
  for (int i = 0; i < argc; ++i) {
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text,
                            static_cast<int>(end - text), nullptr, nullptr);
    words[i] = text;
    if (n <= 0) {
      *text = '\0';
      ++text;
    } else {
      text += n;
    }
  }
  words[argc] = nullptr;
  const int status = run(argc, words);
  std::free(block);
  return status;
}

const char* OwnExecutablePath(const char* fallback) {
  static wchar_t wide[32768];
  static char path[3 * 32768];
  const DWORD n = GetModuleFileNameW(nullptr, wide, 32768);
  if (n == 0 || n >= 32768) return fallback;
  if (WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n) + 1, path,
                          sizeof(path), nullptr, nullptr) <= 0) {
    return fallback;
  }
  return path;
}

const char* PathForConsole(const char* path, char* buf, size_t size) {
  static wchar_t wide[32768];
  if (size == 0) return "";
  int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, 32768);
  // Not UTF-8: bytes of the ANSI code page, from a caller of the narrow
  // interface.
  if (n <= 0) n = MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 32768);
  if (n <= 0) return path;
  UINT page = GetConsoleOutputCP();
  if (page == 0) page = GetACP();
  // The default character of a code page conversion is '?'.
  const int m = WideCharToMultiByte(page, 0, wide, n, buf,
                                    static_cast<int>(size), nullptr, nullptr);
  if (m <= 0) return path;
  buf[size - 1] = '\0';
  return buf;
}

#else

const char* OwnExecutablePath(const char* fallback) {
  static char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return fallback;
  path[n] = '\0';
  return path;
}

const char* PathForConsole(const char* path, char*, size_t) { return path; }

#endif

}  // namespace common
