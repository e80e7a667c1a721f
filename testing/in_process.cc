#include "testing/in_process.h"

#include <cstdio>

#include "testing/d88_builder.h"

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace d88test {

namespace {

#ifdef _WIN32
int Dup(int fd) { return _dup(fd); }
int Dup2(int from, int to) { return _dup2(from, to); }
int Close(int fd) { return _close(fd); }
int FileNo(std::FILE* stream) { return _fileno(stream); }
char* GetCwd(char* buf, int size) { return _getcwd(buf, size); }
int ChDir(const char* path) { return _chdir(path); }
#else
int Dup(int fd) { return dup(fd); }
int Dup2(int from, int to) { return dup2(from, to); }
int Close(int fd) { return close(fd); }
int FileNo(std::FILE* stream) { return fileno(stream); }
char* GetCwd(char* buf, int size) {
  return getcwd(buf, static_cast<size_t>(size));
}
int ChDir(const char* path) { return chdir(path); }
#endif

// Sends `stream` (standard output or error) to the file `path` until
// destroyed.
class Redirect {
 public:
  Redirect(std::FILE* stream, const std::string& path) : stream_(stream) {
    std::fflush(stream_);
    saved_ = Dup(FileNo(stream_));
    // A text-mode file, so that the stream ends its lines as on a console
    // (CR LF on Windows).
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file != nullptr) {
      Dup2(FileNo(file), FileNo(stream_));
      std::fclose(file);
    }
  }
  ~Redirect() {
    std::fflush(stream_);
    std::clearerr(stream_);
    if (saved_ >= 0) {
      Dup2(saved_, FileNo(stream_));
      Close(saved_);
    }
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  std::FILE* stream_;
  int saved_;
};

std::string Contents(const std::string& path) {
  Bytes bytes;
  ReadFileBytes(path, &bytes);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

ProcessResult RunInProcess(int (*entry)(int, char**),
                           const std::vector<std::string>& argv,
                           const std::string& cwd) {
  TempDir streams;
  const std::string out = streams.File("out");
  const std::string err = streams.File("err");
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(&word[0]);
  args.push_back(nullptr);

  ProcessResult result;
  char home[4096];
  if (GetCwd(home, sizeof(home)) == nullptr || ChDir(cwd.c_str()) != 0) {
    return result;
  }
  {
    Redirect to_out(stdout, out);
    Redirect to_err(stderr, err);
    result.exit_code = entry(static_cast<int>(words.size()), args.data());
  }
  if (ChDir(home) != 0) result.exit_code = -1;
  result.out = Contents(out);
  result.err = Contents(err);
  return result;
}

}  // namespace d88test
