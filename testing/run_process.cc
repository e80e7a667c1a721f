#include "testing/run_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#endif

namespace d88test {

#ifdef _WIN32

namespace {

// Quotes one word so that the C runtime's command-line parser gives it back
// unchanged: backslashes are literal except before a quote. A trail byte of
// a double-byte character may be 0x5C and is not a backslash.
void AppendQuoted(const std::string& word, bool utf8, std::string* line) {
  if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
    *line += word;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (size_t i = 0; i < word.size(); ++i) {
    const char ch = word[i];
    if (!utf8 && IsDBCSLeadByte(static_cast<BYTE>(ch)) && i + 1 < word.size()) {
      line->append(backslashes, '\\');
      backslashes = 0;
      *line += ch;
      *line += word[++i];
    } else if (ch == '\\') {
      ++backslashes;
    } else if (ch == '"') {
      line->append(2 * backslashes + 1, '\\');
      backslashes = 0;
      *line += ch;
    } else {
      line->append(backslashes, '\\');
      backslashes = 0;
      *line += ch;
    }
  }
  line->append(2 * backslashes, '\\');
  *line += '"';
}

std::wstring Widen(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                        &wide[0], n);
  }
  return wide;
}

struct Drain {
  HANDLE pipe;
  std::string* sink;
};

DWORD WINAPI DrainPipe(void* arg) {
  Drain* drain = static_cast<Drain*>(arg);
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(drain->pipe, buf, sizeof(buf), &n, nullptr) && n > 0) {
    drain->sink->append(buf, n);
  }
  return 0;
}

// Removes a directory tree, also entries whose names the ANSI code page
// cannot hold; read-only entries are made writable first.
void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  const HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = dir + L"\\" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveTree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

ProcessResult RunProcess(const std::string& exe,
                         const std::vector<std::string>& argv,
                         const ProcessOptions& options) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE err_read = nullptr;
  HANDLE err_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return result;
  if (!CreatePipe(&err_read, &err_write, &inherit, 0)) {
    CloseHandle(out_read);
    CloseHandle(out_write);
    return result;
  }
  // The child gets only the write ends.
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in =
      CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, OPEN_EXISTING, 0, nullptr);

  std::string line;
  if (!options.no_arguments) {
    for (const std::string& word : argv) {
      if (!line.empty()) line += ' ';
      AppendQuoted(word, options.utf8, &line);
    }
  }
  std::vector<char> command(line.begin(), line.end());
  command.push_back('\0');

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out_write;
  startup.hStdError = options.merge_output ? out_write : err_write;
  PROCESS_INFORMATION process = {};
  BOOL started = FALSE;
  // Under Wine a process now and then fails to start while a machine is
  // busy, though nothing is wrong with it: a few tries before giving up.
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) Sleep(200);
    if (options.utf8) {
      STARTUPINFOW wide_startup = {};
      wide_startup.cb = sizeof(wide_startup);
      wide_startup.dwFlags = startup.dwFlags;
      wide_startup.hStdInput = startup.hStdInput;
      wide_startup.hStdOutput = startup.hStdOutput;
      wide_startup.hStdError = startup.hStdError;
      std::wstring wide_command = Widen(line);
      started = CreateProcessW(
          Widen(exe).c_str(), &wide_command[0], nullptr, nullptr, TRUE, 0,
          nullptr, options.cwd.empty() ? nullptr : Widen(options.cwd).c_str(),
          &wide_startup, &process);
    } else {
      started = CreateProcessA(
          exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
          options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup,
          &process);
    }
  }
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);

  if (started) {
    // Standard error is read on a second thread, so that neither pipe can
    // fill up and block the child.
    Drain out_drain = {out_read, &result.out};
    Drain err_drain = {err_read, &result.err};
    HANDLE thread = CreateThread(nullptr, 0, DrainPipe, &err_drain, 0, nullptr);
    DrainPipe(&out_drain);
    if (thread != nullptr) {
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
    } else {
      DrainPipe(&err_drain);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) {
      result.exit_code = static_cast<int>(code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out_read);
  CloseHandle(err_read);
  return result;
}

TempDir::TempDir() {
  char base[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof(base), base);
  if (n == 0 || n >= sizeof(base)) return;
  if (base[n - 1] == '\\') base[n - 1] = '\0';
  static unsigned serial = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[MAX_PATH + 64];
    std::snprintf(name, sizeof(name), "%s\\d88cut-test-%lu-%u", base,
                  static_cast<unsigned long>(GetCurrentProcessId()), serial++);
    if (CreateDirectoryA(name, nullptr)) {
      path_ = name;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  // The path is in the ANSI code page, as GetTempPathA gave it.
  const int n = MultiByteToWideChar(CP_ACP, 0, path_.c_str(), -1, nullptr, 0);
  if (n <= 1) return;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path_.c_str(), -1, &wide[0], n);
  wide.resize(static_cast<size_t>(n - 1));
  RemoveTree(wide);
}

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE find = FindFirstFileA((path_ + "\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

#else  // POSIX

void WriteAndClose(int fd, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
}

std::thread FeedFifo(const std::string& path, const uint8_t* data,
                     size_t size) {
  return std::thread([path, data, size] {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd >= 0) WriteAndClose(fd, data, size);
  });
}

void UseDefaultSignals() {
  // SIGKILL and SIGSTOP refuse, and keep their defaults anyway.
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

ProcessResult RunProcess(const std::string& exe,
                         const std::vector<std::string>& argv,
                         const ProcessOptions& options) {
  ProcessResult result;
  int out_pipe[2];
  int err_pipe[2];
  int in_pipe[2] = {-1, -1};
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
  if (options.stdin_pipe && pipe(in_pipe) != 0) return result;

  std::vector<char*> args;
  if (!options.no_arguments) {
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    if (options.stdin_pipe) {
      dup2(in_pipe[0], 0);
      close(in_pipe[0]);
      close(in_pipe[1]);
    }
    dup2(out_pipe[1], 1);
    dup2(options.merge_output ? out_pipe[1] : err_pipe[1], 2);
    if (!options.stdout_path.empty()) {
      const int fd = open(options.stdout_path.c_str(), O_WRONLY);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(125);
      close(fd);
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    // The test runner may ignore or block signals; exec keeps that.
    UseDefaultSignals();
    for (const std::string& variable : options.env) {
      putenv(const_cast<char*>(variable.c_str()));
    }
    if (options.file_size_limit >= 0) {
      struct rlimit limit;
      limit.rlim_cur = static_cast<rlim_t>(options.file_size_limit);
      limit.rlim_max = static_cast<rlim_t>(options.file_size_limit);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    for (const int fd : options.closed) close(fd);
    execv(exe.c_str(), args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (options.stdin_pipe) close(in_pipe[0]);

  // The runner itself must not die when the child closes its input early.
  void (*old_pipe)(int) = signal(SIGPIPE, SIG_IGN);
  struct pollfd fds[3] = {{out_pipe[0], POLLIN, 0},
                          {err_pipe[0], POLLIN, 0},
                          {in_pipe[1], POLLOUT, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  size_t written = 0;
  if (options.stdin_pipe && options.stdin_bytes.empty()) {
    close(in_pipe[1]);
    fds[2].fd = -1;
  }
  int lines = 0;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 3, -1) < 0) break;
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = write(fds[2].fd, options.stdin_bytes.data() + written,
                              options.stdin_bytes.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n <= 0 || written == options.stdin_bytes.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
        if (i == 0 && options.stdout_lines >= 0) {
          lines += static_cast<int>(std::count(buf, buf + n, '\n'));
        }
      }
      if (n <= 0 || (i == 0 && options.stdout_lines >= 0 &&
                     lines >= options.stdout_lines)) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
  signal(SIGPIPE, old_pipe);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  }
  return result;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
      "/d88cut-test-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  // Tests may leave read-only entries behind; make them removable first.
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(path_, ec)) {
    std::filesystem::permissions(entry.path(),
                                 std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

#endif  // _WIN32

std::string TestedExecutable(const std::string& build_path) {
#ifdef _WIN32
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof(self));
  std::string path(self, n < sizeof(self) ? n : 0);
  path.erase(path.find_last_of("\\/") + 1);
  return path + build_path.substr(build_path.find_last_of("\\/") + 1);
#else
  return build_path;
#endif
}

bool ConsoleText(const std::string& bytes, std::string* text) {
#ifdef _WIN32
  std::string out;
  bool sound = true;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      continue;
    }
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) sound = false;
    out += bytes[i];
  }
  *text = out;
  return sound;
#else
  *text = bytes;
  return true;
#endif
}

}  // namespace d88test
