// Writing the extracted files.

#ifndef COMMON_OUTPUT_FILE_H_
#define COMMON_OUTPUT_FILE_H_

#include <cstddef>
#include <cstdint>

#include "d88/input_file.h"

namespace common {

// Why a file could not be written, as the system words it.
struct WriteError {
  char reason[256];
};

// Writes whole files into the current directory, each under its name only
// once it is complete: an existing file of that name is either replaced
// whole or left as it was, and no temporary file remains, also when the
// process is ended by a signal that RemoveTemporaryFileOnSignals handles.
// A file under a new name gets the permissions of a plain create (0666 less
// the umask); a replacing file gets the permission bits of the regular file
// it replaces, even read-only ones. A replaced file is not rewritten: the
// name gets a new file, and other hard links keep the old content. A file
// registered with ProtectFile is never replaced, nor is any existing file
// after ProtectUnknownFile.
//
// On Linux a file is written unnamed (O_TMPFILE) and linked under its name,
// one directory operation. Where the system refuses a step, the publisher
// falls back once and keeps the fallback for the rest of its life: a link
// through /proc/self/fd, or a temporary name renamed into place. Once a name
// turns out to exist, the next files are linked under a temporary name and
// renamed over theirs. Elsewhere every file goes through a temporary name.
// On Windows names are UTF-8 (bytes that are not valid UTF-8 are taken in
// the ANSI code page) and reach the system through its wide interface, so
// that a name need not fit the ANSI code page.
//
// One publisher per run; not thread-safe, and only one may be publishing at
// a time in a process.
class FilePublisher {
 public:
  FilePublisher();

  FilePublisher(const FilePublisher&) = delete;
  FilePublisher& operator=(const FilePublisher&) = delete;

  // Keeps the file of `identity` (the input) from ever being replaced: when
  // an output name is that file, Publish leaves it alone and fails.
  void ProtectFile(const d88::FileIdentity& identity);

  // For an input whose identity the system could not tell: any existing
  // name might be the input, so Publish replaces none of them and fails
  // there; new names are still written.
  void ProtectUnknownFile();

  // Writes `len` bytes of `data` to the file `name` in the current
  // directory, replacing any file of that name. Returns false and fills
  // `error` if the file was not written; an existing file is then kept.
  // Also false where closing the file failed after it got its name (an
  // unnamed file is closed only then): `error` then says that it was
  // written, and the name holds it.
  bool Publish(const char* name, const uint8_t* data, size_t len,
               WriteError* error);

  // A look at a complete file before it gets its name: `path` names it
  // under its temporary name. Returning false, with `error` filled in,
  // abandons it: the temporary file is removed and Publish fails.
  using Check = bool (*)(void* context, const char* path, WriteError* error);

  // The bytes of a file made piece by piece, in order: `fill` stores the
  // `len` bytes at `offset` of the file into `buf` (at most kSourceChunk
  // bytes at a time); it returns false, with the reason in `why`, when it
  // cannot, and the file is abandoned.
  struct Source {
    bool (*fill)(void* context, int64_t offset, uint8_t* buf, size_t len,
                 const char** why);
    void* context;
    int64_t size;
  };
  static constexpr size_t kSourceChunk = size_t{64} << 10;

  // Publish, for the file that `source` makes, to a `name` that may lie in
  // another directory (a path): the file is written under a temporary name
  // in that directory and, when `check` is not null, passes `check` before
  // it is renamed into place.
  bool PublishChecked(const char* name, const Source& source, Check check,
                      void* context, WriteError* error);

  // Test seams. The steps that the system may refuse: opening an unnamed
  // file, linking it by its descriptor, linking it through /proc, closing a
  // written file (it is closed, but the close reports the error).
  enum class Step { kOpenUnnamed, kLinkUnnamed, kLinkThroughProc, kClose };
  // Points where a test may act: after a file's bytes are written, and when
  // a complete file lies under a temporary name, just before the rename.
  enum class Stage { kWritten, kBeforeRename };
  // Before each step, `refuse` is asked; a non-zero result is an errno value
  // that the step fails with, without being tried.
  void SetRefusalForTesting(int (*refuse)(Step step));
  // `hook` is called at each stage with the name being published.
  void SetHookForTesting(void (*hook)(const char* name, Stage stage));

 private:
  enum class Route { kUnnamed, kThroughProc, kTemporaryName };
  enum class Protection { kNone, kFile, kUnknownFile };

  bool PublishUnnamed(int fd, const char* name, const uint8_t* data, size_t len,
                      WriteError* error);
  bool PublishThroughTemporaryName(const char* name, const uint8_t* data,
                                   size_t len, WriteError* error,
                                   Check check = nullptr,
                                   void* context = nullptr,
                                   const Source* source = nullptr);
  int OpenUnnamed();
  int LinkUnnamed(int fd, const char* target);
  int ReplaceWithUnnamed(int fd, const char* name);
  int CheckReplaceable(const char* name, int* mode) const;
  int PrepareToReplace(int fd, const char* name) const;
  int CloseFile(int fd) const;
  bool MoveIntoPlace(const char* temp, const char* name, WriteError* error);
  bool Refused(Step step) const;
  void AtStage(const char* name, Stage stage) const;

  Route route_;
  bool names_exist_;
  Protection protection_;
  d88::FileIdentity protected_;
  int (*refuse_)(Step step);
  void (*hook_)(const char* name, Stage stage);
};

// Installs handlers that remove the temporary file being written, if any,
// and then end the process by the same signal, for every signal that ends a
// process by default and can be caught, except those of a crash (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT): SIGHUP, SIGINT,
// SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF,
// the real-time signals, and on Linux SIGIO, SIGPWR and SIGSTKFLT. A signal
// that is ignored or already handled stays so. Does nothing on Windows.
void RemoveTemporaryFileOnSignals();

}  // namespace common

#endif  // COMMON_OUTPUT_FILE_H_
