// The input file of the reader: positioned reads on the platform's native
// descriptor (a file descriptor on POSIX systems, a HANDLE on Windows).

#ifndef D88_INPUT_FILE_H_
#define D88_INPUT_FILE_H_

#include <cstddef>
#include <cstdint>

namespace d88 {

// Which file a file is: two names or open files with equal identities are
// the same file (the same inode on the same device on POSIX systems, the
// same file index on the same volume on Windows).
struct FileIdentity {
  uint64_t device;
  uint64_t file;
};

inline bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.file == b.file;
}

// A file opened for reading. Reads name their offset, so no file position is
// kept between them. Not thread-safe.
//
// An input that cannot be read at an offset (a pipe, FIFO, socket or
// terminal) is read whole when it is opened, into an anonymous temporary
// file, and then read from there like a regular file holding the same bytes.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { Close(); }

  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading, closing any file open before. On Windows
  // `path` is UTF-8 (bytes that are not valid UTF-8 are taken in the ANSI
  // code page); elsewhere it is the bytes of the name. A stream is
  // stored in a temporary file, at most `max_stream_size` bytes of it.
  // Returns false if `path` cannot be opened or names a directory, and also
  // if a stream is longer than `max_stream_size` or cannot be stored; error()
  // then tells why.
  bool Open(const char* path, int64_t max_stream_size);

  void Close();

  bool is_open() const;

  // Reads up to `len` bytes at `offset` into `buf` (which holds `len`
  // bytes). Returns the number read: fewer at the end of the file, and none
  // for a negative offset. Where a read fails, it returns what arrived
  // before, sets `*failed` when given, and keeps the error for error().
  size_t ReadAt(int64_t offset, uint8_t* buf, size_t len,
                bool* failed = nullptr) const;

  // ReadAt for bytes fetched ahead, which the caller may never need: a
  // failure sets `*failed` but is not kept as the file's error; the caller
  // reads what it needs with ReadAt then.
  size_t ReadAhead(int64_t offset, uint8_t* buf, size_t len,
                   bool* failed) const;

  // Size of the file in bytes; -1 if none is open or the size is unknown.
  int64_t Size() const;

  // The first error met since Open began, as the system words it: a read
  // that failed, or why a stream could not be stored. Null if there was
  // none, and after an Open that failed because the file could not be
  // opened at all.
  const char* error() const { return error_[0] != '\0' ? error_ : nullptr; }

  // How many reads have failed since Open.
  int64_t failed_reads() const { return failed_reads_; }

  // Stores the identity of the file that Open opened: for a stream, the
  // pipe or FIFO itself, not its temporary copy. Returns false if none is
  // open or the system cannot tell it.
  bool GetIdentity(FileIdentity* identity) const;

 private:
  // The reads of ReadAt and ReadAhead; `*code` is 0 or the error that cut
  // them short.
  size_t Read(int64_t offset, uint8_t* buf, size_t len, int* code) const;

  // Keeps `code` as the error, unless an earlier one is kept; `what`, when
  // given, goes before the system's wording.
  void NoteError(int code, const char* what = nullptr) const;

  // Reads the open stream to its end into a new temporary file, which then
  // replaces it. False, with the reason kept, on failure.
  bool StoreStream(int64_t max_size);

  intptr_t file_ = -1;  // a file descriptor, or a HANDLE on Windows
  FileIdentity identity_ = {};
  bool has_identity_ = false;
  mutable char error_[256] = {};
  mutable int64_t failed_reads_ = 0;
};

}  // namespace d88

#endif  // D88_INPUT_FILE_H_
