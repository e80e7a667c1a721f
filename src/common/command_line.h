// The command line and the console, the same way on every platform: the
// tools see their arguments as UTF-8 on Windows (as the bytes given
// elsewhere), and paths go back to the console in its own code page.

#ifndef COMMON_COMMAND_LINE_H_
#define COMMON_COMMAND_LINE_H_

#include <cstddef>

#ifdef _WIN32
#include <cwchar>
#endif

namespace common {

#ifdef _WIN32
// Calls `run` with the wide command line `argv` converted to UTF-8 and
// returns its result. Any file name can then pass through the tools, not
// only those of the ANSI code page.
int RunWithUtf8Arguments(int argc, wchar_t** argv, int (*run)(int, char**));
#endif

// Standard output for a run of a tool: text goes out until a write fails;
// then the failure's errno value is kept and later text is dropped, so that
// a reader that went away (`| head`) or a full disk costs nothing more.
class ConsoleOutput {
 public:
  // Forgets an earlier failure, for a new run in the same process.
  void Reset();

#if defined(__GNUC__)
  __attribute__((format(printf, 2, 3)))
#endif
  void
  Print(const char* format, ...);

  // Sends what is buffered.
  void Flush();

  // The errno value of the first failed write; 0 if none failed.
  int error() const { return error_; }

 private:
  int error_ = 0;
};

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// that no file the tool opens later takes its place and gets the console's
// text or is read as input. For the start of main, before anything is
// opened. Returns false, saying why on standard error where it can, if one
// could not be opened; the tool then ends (no-op on Windows).
bool OpenClosedStandardDescriptors();

// Makes a write to a pipe whose reader has gone, or one past the file size
// limit, fail with an error (EPIPE, EFBIG) that the tool reports, instead of
// ending the process (no-op on Windows).
void IgnoreWriteSignals();

// The path of the running executable (UTF-8 on Windows); `fallback` if it
// cannot be found.
const char* OwnExecutablePath(const char* fallback);

// `path` (UTF-8 on Windows) as the console shows it: on Windows converted to
// the console's output code page (the ANSI code page when there is no
// console), each character that page lacks as '?', into `buf` of `size`
// bytes; elsewhere `path` itself.
const char* PathForConsole(const char* path, char* buf, size_t size);

}  // namespace common

#endif  // COMMON_COMMAND_LINE_H_
