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

// A file opened for reading, or bytes in memory read as one. Reads name
// their offset, so no file position is kept between them. Not thread-safe.
//
// An input that cannot be read at an offset (a pipe, FIFO, socket, terminal
// or other character device: a stream) is copied into an anonymous
// temporary file as far as reads need its bytes, and read from there like
// a regular file holding the same bytes. Its size is known only once it has
// been read to its end, which Size does.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { Close(); }

  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading, closing any file open before. On Windows
  // `path` is UTF-8 (bytes that are not valid UTF-8 are taken in the ANSI
  // code page); elsewhere it is the bytes of the name. Of a stream, at most
  // `max_stream_size` bytes are read: a read that needs more fails, with
  // error() telling why. Returns false if `path` cannot be opened or names
  // a directory, or if there is nowhere to copy a stream to; open_error()
  // then tells why.
  bool Open(const char* path, int64_t max_stream_size);

  // Opens the `size` bytes at `data` as a file holding them, closing any
  // file open before. The bytes are not copied: the caller keeps them alive
  // and unchanged until Close or the next Open. Has no identity.
  void OpenMemory(const uint8_t* data, size_t size);

  // Closes the file and forgets its errors.
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

  // For bytes opened by OpenMemory: those from `offset` on, and their number
  // in `*size` (0 at or past the end). Null for a file, or a negative
  // offset.
  const uint8_t* MemoryAt(int64_t offset, size_t* size) const;

  // Size of the file in bytes; -1 if none is open or the size is unknown.
  // A stream is read to its end for it, and a stream that fails before its
  // end or is longer than the most that can be read of it has no known
  // size (its failure is kept as for a read that fails).
  int64_t Size() const;

  // The first error met since Open began, as the system words it: a read
  // that failed, or why a stream could not be read. Null if there was
  // none, and after an Open that failed because the file could not be
  // opened at all.
  const char* error() const { return error_[0] != '\0' ? error_ : nullptr; }

  // Why the last Open failed, as the system words it; null if it did not.
  const char* open_error() const {
    return open_error_[0] != '\0' ? open_error_ : nullptr;
  }

  // How many reads have failed since Open.
  int64_t failed_reads() const { return failed_reads_; }

  // Stores the identity of the file that Open opened: for a stream, the
  // pipe or FIFO itself, not its temporary copy. Returns false if none is
  // open, for bytes in memory, or if the system cannot tell it.
  bool GetIdentity(FileIdentity* identity) const;

 private:
  // The reads of ReadAt and ReadAhead; `*code` is 0, the system's error
  // code that cut them short, or kStreamFailed.
  size_t Read(int64_t offset, uint8_t* buf, size_t len, int* code) const;

  // Copies the stream into its temporary file until it holds `end` bytes
  // or the stream ends or fails.
  void CopyStream(int64_t end) const;

  // Ends the copying of the stream; `text`, unless null, is why it failed.
  void EndStream(const char* text) const;

  // Keeps `code` as the error, unless an earlier one is kept; `what`, when
  // given, goes before the system's wording.
  void NoteError(int code, const char* what = nullptr) const;

  // Reads that failed because the stream did: stream_error_ tells why.
  static constexpr int kStreamFailed = -1;

  intptr_t file_ = -1;  // a file descriptor, or a HANDLE on Windows
  const uint8_t* memory_ = nullptr;  // bytes opened by OpenMemory
  int64_t memory_size_ = 0;
  // A stream being copied into file_, until its end or failure.
  mutable intptr_t stream_ = -1;
  mutable int64_t copied_ = 0;  // bytes of the stream in file_
  bool is_stream_ = false;
  int64_t max_stream_size_ = 0;
  FileIdentity identity_ = {};
  bool has_identity_ = false;
  mutable char error_[256] = {};
  mutable char stream_error_[256] = {};
  char open_error_[256] = {};
  // How a failure to keep a copy of the stream begins, naming where.
  char copy_place_[256] = {};
  mutable int64_t failed_reads_ = 0;
};

}  // namespace d88

#endif  // D88_INPUT_FILE_H_
