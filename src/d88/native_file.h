// The platform's files as the reader uses them, and the pieces the output
// files share with it: writing all of a buffer and telling which file a file
// is. Internal to the project: not part of the installed library.
//
// A native file is a file descriptor on POSIX systems and a HANDLE on
// Windows. Calls that can fail return 0 or the system's error code (an errno
// value; a Windows error code on Windows).

#ifndef D88_NATIVE_FILE_H_
#define D88_NATIVE_FILE_H_

#include <cstddef>
#include <cstdint>

#include "d88/input_file.h"

#ifndef _WIN32
struct stat;
#endif

namespace d88 {

constexpr intptr_t kNoFile = -1;

// The system's error code for memory that cannot be allocated.
extern const int kOutOfMemoryCode;

// Opens `path` (UTF-8 on Windows) for reading. `*stream` tells whether it
// can be read only in order, not at an offset: a pipe, FIFO, socket,
// terminal or other character device. Fails for a directory. On POSIX
// systems a socket that this process holds opens by its descriptor's name
// (/dev/stdin, /dev/fd/N), which the system itself refuses.
int OpenForReading(const char* path, intptr_t* file, bool* stream);

void CloseFile(intptr_t file);

// A new file that no name refers to, for reading and writing, in the user's
// temporary directory, whose name goes into `dir` (`dir_size` bytes) also
// when this fails. Where it has to be made under a name and then unnamed,
// signals that would end the process wait until the name is gone.
int OpenAnonymousFile(intptr_t* file, char* dir, size_t dir_size);

// Reads the next bytes of a stream; `*got` is 0 at its end.
int ReadStream(intptr_t stream, uint8_t* buf, size_t len, size_t* got);

// Reads up to `len` bytes at `offset` with one call; `*got` is 0 at the end
// of the file.
int ReadSomeAt(intptr_t file, int64_t offset, uint8_t* buf, size_t len,
               size_t* got);

// Writes all of `len` bytes at the file's position, or at `offset` for
// WriteAllAt (which leaves the position alone).
int WriteAll(intptr_t file, const uint8_t* data, size_t len);
int WriteAllAt(intptr_t file, int64_t offset, const uint8_t* data, size_t len);

// Size of the file in bytes; -1 if the system cannot tell it.
int64_t FileSize(intptr_t file);

// The identity of an open file; false if the system cannot tell it.
bool IdentityOf(intptr_t file, FileIdentity* identity);

#ifdef _WIN32
// `path` as UTF-16 in `wide` (room for `size` characters, its terminating
// null included), for the wide file interface, which reaches every name:
// read as UTF-8, or, when it is not valid UTF-8, in the ANSI code page, as a
// caller of the narrow Windows interface would give it. False if it does not
// fit. It never takes more characters than `path` has bytes.
bool WidePath(const char* path, wchar_t* wide, int size);
#else
// The identity of the file that `st` describes, as fstat or lstat gave it.
FileIdentity IdentityOfStat(const struct stat& st);
#endif

}  // namespace d88

#endif  // D88_NATIVE_FILE_H_
