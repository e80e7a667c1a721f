// The input file of the reader: positioned reads on the platform's native
// descriptor (a file descriptor on POSIX systems, a HANDLE on Windows).

#ifndef D88_INPUT_FILE_H_
#define D88_INPUT_FILE_H_

#include <cstddef>
#include <cstdint>

namespace d88 {

// A file opened for reading. Reads name their offset, so no file position is
// kept between them. Not thread-safe.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { Close(); }

  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading, closing any file open before. Returns false if
  // it cannot be opened or names a directory.
  bool Open(const char* path);

  void Close();

  bool is_open() const;

  // Reads up to `len` bytes at `offset` into `buf` (which holds `len`
  // bytes). Returns the number read: fewer at the end of the file, and none
  // for a negative offset. Where a read fails, it returns what arrived
  // before and sets `*failed`, when given.
  size_t ReadAt(int64_t offset, uint8_t* buf, size_t len,
                bool* failed = nullptr) const;

  // Size of the file in bytes; -1 if none is open or the size is unknown.
  int64_t Size() const;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace d88

#endif  // D88_INPUT_FILE_H_
