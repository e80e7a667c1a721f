// Where the reader's files are read from. Internal to the project: not part
// of the installed library.

#ifndef D88_FILE_SOURCE_H_
#define D88_FILE_SOURCE_H_

#include <cstddef>
#include <cstdint>

namespace d88 {

// The positioned reads of every InputFile that reads a native file (see
// native_file.h), also the temporary copy of a stream. By default they read
// the system's files; a source put in their place with SetFileSource sees
// and may change every read (tests use one whose reads fail on purpose).
// A plain function, not a virtual one: the tools keep clear of the C++
// runtime library.
struct FileSource {
  // Reads up to `len` bytes at `offset` of `file` into `buf`: as many as
  // the file holds there, fewer at its end or where a read fails. Returns
  // the number read; `*code` is 0 or the system's error code that cut the
  // read short.
  size_t (*read_at)(void* context, intptr_t file, int64_t offset, uint8_t* buf,
                    size_t len, int* code);
  void* context;
};

// The system's reads, as read_at gives them.
size_t ReadFromSystem(intptr_t file, int64_t offset, uint8_t* buf, size_t len,
                      int* code);

// Makes `source` the one every InputFile reads through from now on, until
// the next call; null puts the system's back. `source` stays alive until
// then. Not thread-safe.
void SetFileSource(const FileSource* source);

}  // namespace d88

#endif  // D88_FILE_SOURCE_H_
