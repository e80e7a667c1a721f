#include "common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "d88/native_file.h"
#include "d88/system_error.h"

// Unnamed files that can be linked into a directory: Linux 3.11 and later.
#if defined(__linux__) && defined(O_TMPFILE) && defined(AT_EMPTY_PATH)
#define D88CUT_UNNAMED_FILES 1
#else
#define D88CUT_UNNAMED_FILES 0
#endif

namespace common {

using d88::SystemErrorText;

using d88::FileIdentity;

namespace {

// Results of CheckReplaceable and of the publishing steps, beside 0 (done,
// or may be replaced) and errno values, which are positive.
constexpr int kIsProtected = -1;   // the name is the protected file
constexpr int kAbsent = -2;        // no file has the name
constexpr int kRetryByName = -3;   // unnamed files cannot be linked here
constexpr int kMayBeInput = -4;    // the name exists; the input's identity is
                                   // unknown
constexpr int kSourceFailed = -5;  // a Source could not make its bytes
constexpr int kNoMode = -1;        // no permissions to carry over

constexpr int kTemporaryAttempts = 100;
// Room for a path and the temporary name's additions.
constexpr size_t kTemporarySize = 4096 + 64;

void SetReason(WriteError* error, int errnum) {
  if (errnum == kIsProtected) {
    std::snprintf(error->reason, sizeof(error->reason),
                  "is the input file, not replaced");
  } else if (errnum == kMayBeInput) {
    std::snprintf(error->reason, sizeof(error->reason),
                  "the input file's identity is unknown, not replaced");
  } else {
    // An errno value, also on Windows (from the C runtime's file calls).
    std::snprintf(error->reason, sizeof(error->reason), "%s",
                  std::strerror(errnum));
  }
}

// The temporary name that this process created and that still exists, for
// the signal handlers to remove. Changed only while g_temporary_set is 0,
// so that a handler never sees half a name.
char g_temporary[kTemporarySize];
volatile std::sig_atomic_t g_temporary_set = 0;

void NoteTemporary(const char* temp) {
  g_temporary_set = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::snprintf(g_temporary, sizeof(g_temporary), "%s", temp);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_temporary_set = 1;
}

void ForgetTemporary() { g_temporary_set = 0; }

#ifdef _WIN32

// A path (UTF-8) for the wide file interface, which reaches every name, not
// only those of the ANSI code page. get() is null where memory ran out.
class WideName {
 public:
  explicit WideName(const char* path) : wide_(nullptr) {
    const size_t size = std::strlen(path) + 1;
    if (size > static_cast<size_t>(INT_MAX)) return;
    wide_ = static_cast<wchar_t*>(std::malloc(size * sizeof(wchar_t)));
    if (wide_ != nullptr &&
        !d88::WidePath(path, wide_, static_cast<int>(size))) {
      std::free(wide_);
      wide_ = nullptr;
    }
  }
  ~WideName() { std::free(wide_); }
  WideName(const WideName&) = delete;
  WideName& operator=(const WideName&) = delete;

  const wchar_t* get() const { return wide_; }

 private:
  wchar_t* wide_;
};

int OpenNew(const char* path) {
  const WideName wide(path);
  if (wide.get() == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  return _wopen(wide.get(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                _S_IREAD | _S_IWRITE);
}
int CloseFd(int fd) { return _close(fd); }
int RemoveFile(const char* path) {
  const WideName wide(path);
  if (wide.get() == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  return _wunlink(wide.get());
}
long ProcessId() { return static_cast<long>(_getpid()); }

// No signals to hold off.
class HeldSignals {
 public:
  HeldSignals() {}
  ~HeldSignals() {}
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
};

#else

int OpenNew(const char* path) {
  // 0666 lets the umask decide, as a plain create would.
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
int CloseFd(int fd) { return close(fd); }
int RemoveFile(const char* path) { return unlink(path); }
long ProcessId() { return static_cast<long>(getpid()); }

// The signals that a process can catch and that end it by default, except
// those that report a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// SIGSYS, SIGABRT): after a crash the name to remove cannot be trusted, and
// debuggers, sanitizers and core dumps want those signals as they come.
// SIGPIPE and SIGXFSZ are ignored by the tools; SIGIO ends the process only
// on Linux. The real-time signals are added at run time.
constexpr int kCleanupSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGTERM,   SIGALRM,
    SIGUSR1,   SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF,
#ifdef __linux__
    SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#endif
};

// kCleanupSignals and the real-time signals; empty until
// RemoveTemporaryFileOnSignals.
sigset_t g_cleanup_signals;
bool g_cleanup_signals_set = false;

// Holds off the cleanup signals for its life, so that a temporary file and
// its note come and go together: a signal never removes a name this process
// did not create, nor leaves one it did.
class HeldSignals {
 public:
  HeldSignals()
      : held_(g_cleanup_signals_set &&
              sigprocmask(SIG_BLOCK, &g_cleanup_signals, &before_) == 0) {}
  ~HeldSignals() {
    if (held_) sigprocmask(SIG_SETMASK, &before_, nullptr);
  }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t before_;
  bool held_;
};

// Removes the temporary file, then lets the signal end the process as it
// would have without this handler. Uses async-signal-safe calls only.
void RemoveTemporaryAndResignal(int sig) {
  const int saved_errno = errno;
  if (g_temporary_set != 0) unlink(g_temporary);
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
  // Blocked while this handler runs; delivered, now fatal, when it returns.
  raise(sig);
  errno = saved_errno;
}

#endif

// For temporary names. Taken once at start: the C library asks the system
// for it on every call.
const long g_process_id = ProcessId();

// The temporary name beside `name`, in the same directory, so that the
// rename stays within one file system.
void TemporaryName(const char* name, int attempt, char* temp) {
  const char* base = name;
  for (const char* p = name; *p != '\0'; ++p) {
#ifdef _WIN32
    if (*p == '\\' || *p == ':') base = p + 1;
#endif
    if (*p == '/') base = p + 1;
  }
  std::snprintf(temp, kTemporarySize, "%.*s.%s.%ld-%d.tmp",
                static_cast<int>(base - name), name, base, g_process_id,
                attempt);
}

// Writes all of `len` bytes; returns 0 or the errno value.
#ifdef _WIN32
// A descriptor of the C runtime, whose errors are errno values, not the
// native handle that d88::WriteAll takes there.
int WriteAll(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    const unsigned int want =
        len > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(len);
    const int n = _write(fd, data, want);
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}
#else
int WriteAll(int fd, const uint8_t* data, size_t len) {
  return d88::WriteAll(fd, data, len);
}
#endif

// Writes the bytes that `source` makes; returns 0, the errno value, or
// kSourceFailed with `error` saying why.
int WriteFrom(int fd, const FilePublisher::Source& source, WriteError* error) {
  static uint8_t chunk[FilePublisher::kSourceChunk];
  for (int64_t at = 0; at < source.size;) {
    const int64_t left = source.size - at;
    const size_t n = left < static_cast<int64_t>(sizeof(chunk))
                         ? static_cast<size_t>(left)
                         : sizeof(chunk);
    const char* why = nullptr;
    if (!source.fill(source.context, at, chunk, n, &why)) {
      std::snprintf(error->reason, sizeof(error->reason), "%.250s",
                    why != nullptr ? why : "its bytes cannot be made");
      return kSourceFailed;
    }
    const int err = WriteAll(fd, chunk, n);
    if (err != 0) return err;
    at += static_cast<int64_t>(n);
  }
  return 0;
}

}  // namespace

FilePublisher::FilePublisher()
    : route_(D88CUT_UNNAMED_FILES ? Route::kUnnamed : Route::kTemporaryName),
      names_exist_(false),
      protection_(Protection::kNone),
      protected_(),
      refuse_(nullptr),
      hook_(nullptr) {}

void FilePublisher::ProtectFile(const FileIdentity& identity) {
  protection_ = Protection::kFile;
  protected_ = identity;
}

void FilePublisher::ProtectUnknownFile() {
  protection_ = Protection::kUnknownFile;
}

void FilePublisher::SetRefusalForTesting(int (*refuse)(Step step)) {
  refuse_ = refuse;
}

void FilePublisher::SetHookForTesting(void (*hook)(const char* name,
                                                   Stage stage)) {
  hook_ = hook;
}

bool FilePublisher::Refused(Step step) const {
  const int errnum = refuse_ != nullptr ? refuse_(step) : 0;
  if (errnum == 0) return false;
  errno = errnum;
  return true;
}

void FilePublisher::AtStage(const char* name, Stage stage) const {
  if (hook_ != nullptr) hook_(name, stage);
}

int FilePublisher::CloseFile(int fd) const {
  const int result = CloseFd(fd);
  // The descriptor is closed either way; only the result is refused.
  return Refused(Step::kClose) ? -1 : result;
}

bool FilePublisher::Publish(const char* name, const uint8_t* data, size_t len,
                            WriteError* error) {
#if D88CUT_UNNAMED_FILES
  if (route_ != Route::kTemporaryName) {
    const int fd = OpenUnnamed();
    if (fd >= 0) return PublishUnnamed(fd, name, data, len, error);
    // Kernels before 3.11 and some file systems (NFS, vfat, FUSE, older
    // overlayfs) have no unnamed files; anything else is a real failure.
    if (errno != EISDIR && errno != EOPNOTSUPP && errno != EINVAL) {
      SetReason(error, errno);
      return false;
    }
    route_ = Route::kTemporaryName;
  }
#endif
  return PublishThroughTemporaryName(name, data, len, error);
}

bool FilePublisher::PublishChecked(const char* name, const Source& source,
                                   Check check, void* context,
                                   WriteError* error) {
  return PublishThroughTemporaryName(name, nullptr, 0, error, check, context,
                                     &source);
}

bool FilePublisher::PublishThroughTemporaryName(const char* name,
                                                const uint8_t* data, size_t len,
                                                WriteError* error, Check check,
                                                void* context,
                                                const Source* source) {
  char temp[kTemporarySize];
  int fd = -1;
  int err = 0;
  for (int attempt = 0; attempt < kTemporaryAttempts && fd < 0; ++attempt) {
    TemporaryName(name, attempt, temp);
    const HeldSignals held;
    fd = OpenNew(temp);
    if (fd >= 0) {
      NoteTemporary(temp);
    } else {
      err = errno;
      if (err != EEXIST) break;
    }
  }
  if (fd < 0) {
    SetReason(error, err);
    return false;
  }

  err = source != nullptr ? WriteFrom(fd, *source, error)
                          : WriteAll(fd, data, len);
  if (err == 0) {
    AtStage(name, Stage::kWritten);
    err = PrepareToReplace(fd, name);
    if (err == kAbsent) err = 0;
  }
  if (CloseFile(fd) != 0 && err == 0) err = errno;
  // The check reads the file closed, as any reader would.
  const bool passed =
      err == 0 && (check == nullptr || check(context, temp, error));
  if (passed) AtStage(name, Stage::kBeforeRename);
  bool moved = false;
  {
    const HeldSignals held;
    if (passed) moved = MoveIntoPlace(temp, name, error);
    if (!moved) RemoveFile(temp);
    ForgetTemporary();
  }
  if (err != 0 && err != kSourceFailed) SetReason(error, err);
  return moved;
}

#ifdef _WIN32

int FilePublisher::CheckReplaceable(const char* name, int* mode) const {
  *mode = kNoMode;
  const WideName wide(name);
  if (wide.get() == nullptr) return ENOMEM;
  // No access asked, and every sharing mode granted: this opens the input
  // too, which this process holds open for reading.
  const HANDLE handle = CreateFileW(
      wide.get(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return kAbsent;
    return protection_ == Protection::kUnknownFile ? kMayBeInput : 0;
  }
  FileIdentity identity;
  const bool known =
      d88::IdentityOf(reinterpret_cast<intptr_t>(handle), &identity);
  CloseHandle(handle);
  if (protection_ == Protection::kUnknownFile) return kMayBeInput;
  if (!known || protection_ == Protection::kNone) return 0;
  return identity == protected_ ? kIsProtected : 0;
}

int FilePublisher::PrepareToReplace(int, const char*) const {
  // MoveIntoPlace checks the name, only where it exists.
  return 0;
}

bool FilePublisher::MoveIntoPlace(const char* temp, const char* name,
                                  WriteError* error) {
  const WideName wide_temp(temp);
  const WideName wide_name(name);
  if (wide_temp.get() == nullptr || wide_name.get() == nullptr) {
    SystemErrorText(d88::kOutOfMemoryCode, error->reason,
                    sizeof(error->reason));
    return false;
  }
  // Only a name that exists needs the check against the input.
  if (MoveFileExW(wide_temp.get(), wide_name.get(), 0)) return true;
  DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
    int mode;
    const int state = CheckReplaceable(name, &mode);
    // The name vanishing in the meantime still lets the file take it.
    if (state != 0 && state != kAbsent) {
      SetReason(error, state);
      return false;
    }
    if (MoveFileExW(wide_temp.get(), wide_name.get(),
                    MOVEFILE_REPLACE_EXISTING)) {
      return true;
    }
    code = GetLastError();
  }
  SystemErrorText(static_cast<int>(code), error->reason, sizeof(error->reason));
  return false;
}

#else  // POSIX

int FilePublisher::CheckReplaceable(const char* name, int* mode) const {
  *mode = kNoMode;
  // A symbolic link is replaced, not what it points to, so the link itself
  // is what counts.
  struct stat st;
  if (lstat(name, &st) != 0) return errno == ENOENT ? kAbsent : errno;
  if (protection_ == Protection::kUnknownFile) return kMayBeInput;
  if (protection_ == Protection::kFile &&
      d88::IdentityOfStat(st) == protected_) {
    return kIsProtected;
  }
  if (S_ISREG(st.st_mode)) *mode = static_cast<int>(st.st_mode & 0777);
  return 0;
}

int FilePublisher::PrepareToReplace(int fd, const char* name) const {
  int mode;
  const int state = CheckReplaceable(name, &mode);
  // The replacement keeps the permissions of the file it replaces, as an
  // editor would. Where the file system keeps no permissions (vfat), the
  // file is written all the same.
  if (state == 0 && mode != kNoMode) fchmod(fd, static_cast<mode_t>(mode));
  return state;
}

bool FilePublisher::MoveIntoPlace(const char* temp, const char* name,
                                  WriteError* error) {
  if (std::rename(temp, name) == 0) return true;
  SetReason(error, errno);
  return false;
}

#endif  // _WIN32

#if D88CUT_UNNAMED_FILES

int FilePublisher::OpenUnnamed() {
  if (Refused(Step::kOpenUnnamed)) return -1;
  // 0666 lets the umask decide, as a plain create would.
  return open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

int FilePublisher::LinkUnnamed(int fd, const char* target) {
  if (route_ == Route::kUnnamed) {
    if (!Refused(Step::kLinkUnnamed) &&
        linkat(fd, "", AT_FDCWD, target, AT_EMPTY_PATH) == 0) {
      return 0;
    }
    // Kernels before 6.10 allow this only to holders of
    // CAP_DAC_READ_SEARCH.
    if (errno != ENOENT && errno != EPERM) return errno;
    route_ = Route::kThroughProc;
  }
  char path[40];
  std::snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
  if (!Refused(Step::kLinkThroughProc) &&
      linkat(AT_FDCWD, path, AT_FDCWD, target, AT_SYMLINK_FOLLOW) == 0) {
    return 0;
  }
  // Without /proc an unnamed file cannot get a name at all.
  if (errno != ENOENT && errno != EPERM && errno != EACCES) return errno;
  route_ = Route::kTemporaryName;
  return kRetryByName;
}

bool FilePublisher::PublishUnnamed(int fd, const char* name,
                                   const uint8_t* data, size_t len,
                                   WriteError* error) {
  int err = WriteAll(fd, data, len);
  if (err == 0) {
    AtStage(name, Stage::kWritten);
    if (!names_exist_) {
      // The common case: one directory insert. Only when the name turns
      // out to exist does it cost more, from then on.
      err = LinkUnnamed(fd, name);
      names_exist_ = err == EEXIST;
    }
    if (names_exist_) err = ReplaceWithUnnamed(fd, name);
  }
  // An unnamed file is linked through its descriptor, so it is closed only
  // once it has its name.
  const int close_err = CloseFile(fd) != 0 ? errno : 0;
  if (err == kRetryByName) {
    return PublishThroughTemporaryName(name, data, len, error);
  }
  if (err != 0) {
    SetReason(error, err);
    return false;
  }
  if (close_err != 0) {
    std::snprintf(error->reason, sizeof(error->reason),
                  "written, but closing it failed: %s",
                  std::strerror(close_err));
    return false;
  }
  return true;
}

int FilePublisher::ReplaceWithUnnamed(int fd, const char* name) {
  int state = PrepareToReplace(fd, name);
  if (state == kAbsent) {
    const int err = LinkUnnamed(fd, name);
    if (err != EEXIST) return err;
    state = PrepareToReplace(fd, name);  // created in the meantime
  }
  if (state != 0 && state != kAbsent) return state;

  char temp[kTemporarySize];
  int err = EEXIST;
  for (int attempt = 0; attempt < kTemporaryAttempts && err == EEXIST;
       ++attempt) {
    TemporaryName(name, attempt, temp);
    const HeldSignals held;
    err = LinkUnnamed(fd, temp);
    if (err == 0) NoteTemporary(temp);
  }
  if (err != 0) return err;
  AtStage(name, Stage::kBeforeRename);
  const HeldSignals held;
  if (std::rename(temp, name) != 0) {
    err = errno;
    unlink(temp);
  }
  ForgetTemporary();
  return err;
}

#endif  // D88CUT_UNNAMED_FILES

void RemoveTemporaryFileOnSignals() {
#ifndef _WIN32
  sigemptyset(&g_cleanup_signals);
  for (const int sig : kCleanupSignals) sigaddset(&g_cleanup_signals, sig);
#ifdef SIGRTMIN
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
    sigaddset(&g_cleanup_signals, sig);
  }
#endif
  g_cleanup_signals_set = true;
  struct sigaction action = {};
  action.sa_handler = RemoveTemporaryAndResignal;
  // One cleanup at a time: the others wait, and then end the process.
  action.sa_mask = g_cleanup_signals;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&g_cleanup_signals, sig) != 1) continue;
    // A signal that is ignored (nohup) or handled by someone else stays so.
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) == 0 &&
        (old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_DFL) {
      sigaction(sig, &action, nullptr);
    }
  }
#endif
}

}  // namespace common
