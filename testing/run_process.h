// Runs an executable as a child process and captures what it prints, for
// end-to-end tests.

#ifndef TESTING_RUN_PROCESS_H_
#define TESTING_RUN_PROCESS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace d88test {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

struct ProcessOptions {
  std::string cwd;            // working directory; empty: the current one
  bool no_arguments = false;  // start with an empty argument vector
                              // (on Windows, an empty command line)
  bool merge_output = false;  // standard error into `out`, interleaved as
                              // the child writes it
#ifdef _WIN32
  // The executable, the arguments and `cwd` are UTF-8 and go through the
  // wide interface; otherwise they are in the ANSI code page.
  bool utf8 = false;
#endif
#ifndef _WIN32
  long file_size_limit = -1;  // RLIMIT_FSIZE in bytes
  std::string stdout_path;    // a file for standard output instead of `out`
  // Standard input is a pipe that the runner writes these bytes into, then
  // closes; otherwise it is inherited.
  bool stdin_pipe = false;
  std::string stdin_bytes;
  // Like `| head -n N`: standard output is read up to this many lines, then
  // its pipe is closed. Negative: read to the end.
  int stdout_lines = -1;
  std::vector<std::string> env;  // "NAME=value" added to the environment
  // Descriptors closed in the child, as `<&- >&-` closes 0 and 1; what
  // would have gone there is lost.
  std::vector<int> closed;
#endif
};

struct ProcessResult {
  int exit_code = -1;   // -1 when the child did not exit normally
  int term_signal = 0;  // the signal that ended the child, if one did
  std::string out;      // standard output bytes
  std::string err;      // standard error bytes
};

// Runs `exe` with the argument vector `argv` (argv[0] included). On Windows
// the arguments are joined into a command line that the C runtime splits
// back into the same words; paths are in the ANSI code page. On POSIX
// systems the child starts as from a shell: every signal at its default
// disposition and none blocked.
ProcessResult RunProcess(const std::string& exe,
                         const std::vector<std::string>& argv,
                         const ProcessOptions& options = {});

#ifndef _WIN32
// Sets every signal of this process to its default disposition and unblocks
// them all, as a program started from a shell has them. For a child process
// before it runs what is tested.
void UseDefaultSignals();

// Writes all `size` bytes of `data` to the descriptor `fd`, then closes it.
void WriteAndClose(int fd, const uint8_t* data, size_t size);

// A thread that opens the FIFO at `path` for writing (which waits until a
// reader opens it), writes the `size` bytes of `data` into it and closes
// it. `data` must outlive the thread; the caller joins it.
std::thread FeedFifo(const std::string& path, const uint8_t* data, size_t size);
#endif

// The executable built at `build_path`. A Windows test program finds it
// beside itself, since the build tree's path may not be a Windows path
// (under Wine); elsewhere it is `build_path`.
std::string TestedExecutable(const std::string& build_path);

// Stores the text of the console stream `bytes` in `text`, with each line
// end as "\n". Console streams are text streams: on Windows a line ends
// with CR LF. Returns false if a line feed comes without its carriage
// return there.
bool ConsoleText(const std::string& bytes, std::string* text);

// A new empty directory, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const {
    return path_ + kPathSeparator + name;
  }
  // Names of the entries in the directory, sorted.
  std::vector<std::string> List() const;

 private:
  std::string path_;
};

}  // namespace d88test

#endif  // TESTING_RUN_PROCESS_H_
