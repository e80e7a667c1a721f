#include "d88/input_file.h"

#include <cstdio>
#include <cstring>

#include "d88/file_source.h"
#include "d88/native_file.h"
#include "d88/system_error.h"

namespace d88 {

namespace {

const FileSource* g_source = nullptr;  // null: the system's reads

// Streams are copied in pieces of this size, through the stack: readers in
// different threads share nothing.
constexpr size_t kCopySize = 16384;

// Writes `first`, then ": " and `second` unless it is null, into `out` of
// `size` bytes, cut short where they do not fit.
void Join(char* out, size_t size, const char* first, const char* second) {
  const int n = second != nullptr
                    ? std::snprintf(out, size, "%s: %s", first, second)
                    : std::snprintf(out, size, "%s", first);
  if (n < 0) out[0] = '\0';
}

}  // namespace

size_t ReadFromSystem(intptr_t file, int64_t offset, uint8_t* buf, size_t len,
                      int* code) {
  size_t done = 0;
  while (done < len) {
    size_t got = 0;
    *code = ReadSomeAt(file, offset + static_cast<int64_t>(done), buf + done,
                       len - done, &got);
    if (*code != 0 || got == 0) break;
    done += got;
  }
  return done;
}

void SetFileSource(const FileSource* source) { g_source = source; }

namespace {

size_t ReadThroughSource(intptr_t file, int64_t offset, uint8_t* buf,
                         size_t len, int* code) {
  return g_source == nullptr ? ReadFromSystem(file, offset, buf, len, code)
                             : g_source->read_at(g_source->context, file,
                                                 offset, buf, len, code);
}

}  // namespace

void InputFile::NoteError(int code, const char* what) const {
  ++failed_reads_;
  if (error_[0] != '\0') return;
  if (code == kStreamFailed) {
    Join(error_, sizeof(error_), stream_error_, nullptr);
    return;
  }
  char text[200];
  SystemErrorText(code, text, sizeof(text));
  if (what != nullptr) {
    Join(error_, sizeof(error_), what, text);
  } else {
    Join(error_, sizeof(error_), text, nullptr);
  }
}

bool InputFile::Open(const char* path, int64_t max_stream_size) {
  Close();
  bool stream = false;
  intptr_t opened = kNoFile;
  int code = OpenForReading(path, &opened, &stream);
  if (code != 0) {
    SystemErrorText(code, open_error_, sizeof(open_error_));
    return false;
  }
  // Taken of a stream, not its copy: an output name may be the FIFO itself.
  has_identity_ = IdentityOf(opened, &identity_);
  if (!stream) {
    file_ = opened;
    return true;
  }
  char dir[200];
  code = OpenAnonymousFile(&file_, dir, sizeof(dir));
  if (std::snprintf(copy_place_, sizeof(copy_place_),
                    "cannot keep the piped input in a temporary file in %s",
                    dir) < 0) {
    copy_place_[0] = '\0';
  }
  if (code != 0) {
    file_ = kNoFile;
    CloseFile(opened);
    NoteError(code, copy_place_);
    Join(open_error_, sizeof(open_error_), error_, nullptr);
    return false;
  }
  stream_ = opened;
  is_stream_ = true;
  max_stream_size_ = max_stream_size;
  return true;
}

void InputFile::OpenMemory(const uint8_t* data, size_t size) {
  Close();
  // An empty buffer may come as a null pointer; it is still an open file.
  static const uint8_t kNothing = 0;
  memory_ = data != nullptr ? data : &kNothing;
  memory_size_ = data != nullptr ? static_cast<int64_t>(size) : 0;
}

void InputFile::Close() {
  if (file_ != kNoFile) CloseFile(file_);
  if (stream_ != kNoFile) CloseFile(stream_);
  file_ = kNoFile;
  stream_ = kNoFile;
  memory_ = nullptr;
  memory_size_ = 0;
  copied_ = 0;
  is_stream_ = false;
  has_identity_ = false;
  error_[0] = '\0';
  stream_error_[0] = '\0';
  open_error_[0] = '\0';
  failed_reads_ = 0;
}

bool InputFile::is_open() const {
  return file_ != kNoFile || memory_ != nullptr;
}

void InputFile::EndStream(const char* text) const {
  if (text != nullptr)
    Join(stream_error_, sizeof(stream_error_), text, nullptr);
  CloseFile(stream_);
  stream_ = kNoFile;
}

void InputFile::CopyStream(int64_t end) const {
  uint8_t buf[kCopySize];
  while (stream_ != kNoFile && copied_ < end) {
    size_t got = 0;
    int code = ReadStream(stream_, buf, sizeof(buf), &got);
    char text[512];
    if (code != 0) {
      SystemErrorText(code, text, sizeof(text));
      EndStream(text);
      return;
    }
    if (got == 0) {
      EndStream(nullptr);
      return;
    }
    // Bytes up to the limit are kept, for reads that need no more.
    const size_t room = static_cast<size_t>(max_stream_size_ - copied_);
    const size_t keep = got < room ? got : room;
    code = WriteAllAt(file_, copied_, buf, keep);
    if (code != 0) {
      char reason[200];
      SystemErrorText(code, reason, sizeof(reason));
      Join(text, sizeof(text), copy_place_, reason);
      EndStream(text);
      return;
    }
    copied_ += static_cast<int64_t>(keep);
    if (keep < got) {
      std::snprintf(text, sizeof(text),
                    "the piped input is longer than the %lld bytes that can "
                    "be read from it",
                    static_cast<long long>(max_stream_size_));
      EndStream(text);
      return;
    }
  }
}

size_t InputFile::ReadAt(int64_t offset, uint8_t* buf, size_t len,
                         bool* failed) const {
  int code = 0;
  const size_t done = Read(offset, buf, len, &code);
  if (code != 0) {
    NoteError(code);
    if (failed != nullptr) *failed = true;
  }
  return done;
}

size_t InputFile::ReadAhead(int64_t offset, uint8_t* buf, size_t len,
                            bool* failed) const {
  int code = 0;
  const size_t done = Read(offset, buf, len, &code);
  *failed = code != 0;
  return done;
}

size_t InputFile::Read(int64_t offset, uint8_t* buf, size_t len,
                       int* code) const {
  *code = 0;
  if (!is_open() || offset < 0) return 0;
  if (memory_ != nullptr) {
    if (offset >= memory_size_) return 0;
    const uint64_t left = static_cast<uint64_t>(memory_size_ - offset);
    const size_t n = left < len ? static_cast<size_t>(left) : len;
    std::memcpy(buf, memory_ + offset, n);
    return n;
  }
  if (!is_stream_) return ReadThroughSource(file_, offset, buf, len, code);
  // Without overflow: a read that reaches past INT64_MAX needs all there is.
  const int64_t end = len > static_cast<size_t>(INT64_MAX - offset)
                          ? INT64_MAX
                          : offset + static_cast<int64_t>(len);
  CopyStream(end);
  // Only the bytes copied so far: the copy may hold more, written before
  // a failure cut the stream short.
  const size_t have = offset >= copied_ ? 0
                      : end <= copied_  ? len
                                        : static_cast<size_t>(copied_ - offset);
  const size_t done = ReadThroughSource(file_, offset, buf, have, code);
  if (*code == 0 && done == have && have < len && stream_error_[0] != '\0') {
    *code = kStreamFailed;
  }
  return done;
}

const uint8_t* InputFile::MemoryAt(int64_t offset, size_t* size) const {
  if (memory_ == nullptr || offset < 0) return nullptr;
  *size =
      offset >= memory_size_ ? 0 : static_cast<size_t>(memory_size_ - offset);
  return offset >= memory_size_ ? memory_ : memory_ + offset;
}

int64_t InputFile::Size() const {
  if (memory_ != nullptr) return memory_size_;
  if (file_ == kNoFile) return -1;
  if (!is_stream_) return FileSize(file_);
  CopyStream(INT64_MAX);
  if (stream_error_[0] != '\0') {
    NoteError(kStreamFailed);
    return -1;
  }
  return copied_;
}

bool InputFile::GetIdentity(FileIdentity* identity) const {
  if (file_ == kNoFile || !has_identity_) return false;
  *identity = identity_;
  return true;
}

}  // namespace d88
