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

  // Stores the identity of the open file. Returns false if none is open or
  // the system cannot tell it.
  bool GetIdentity(FileIdentity* identity) const;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace d88

#endif  // D88_INPUT_FILE_H_
