#include "d88/d88_image.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace d88 {

namespace {

int64_t SizeOf(std::FILE* file) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
  return _ftelli64(file);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  return static_cast<int64_t>(ftello(file));
#endif
}

// Reads up to `len` bytes at absolute file offset `offset` with positioned
// reads, one system call for a whole read, and no file position to move.
// Returns the number read: short at the end of the file, or where a read
// fails, which sets `*failed` when it is given.
size_t ReadFileAt(std::FILE* file, int64_t offset, uint8_t* buf, size_t len,
                  bool* failed = nullptr) {
  if (offset < 0) return 0;
  size_t done = 0;
#ifdef _WIN32
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  while (done < len) {
    const uint64_t at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED place = {};
    place.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    const size_t rest = len - done;
    const DWORD want =
        rest > 0x40000000u ? 0x40000000u : static_cast<DWORD>(rest);
    DWORD got = 0;
    if (!ReadFile(handle, buf + done, want, &got, &place)) {
      if (GetLastError() != ERROR_HANDLE_EOF && failed != nullptr) {
        *failed = true;
      }
      break;
    }
    if (got == 0) break;
    done += got;
  }
#else
  const int fd = fileno(file);
  while (done < len) {
    const ssize_t got =
        pread(fd, buf + done, len - done,
              static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      if (failed != nullptr) *failed = true;
      break;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
#endif
  return done;
}

// The bytes of one track, fetched for one walk: a first part with one read,
// the rest of kTrackFetchSize with a second read once the walk needs it,
// and the next kTrackFetchSize bytes when a header lies beyond them. A read
// that lies inside the fetched bytes is served from memory; any other goes
// to the file. Either way a read returns what the file holds at that offset, as
// long as the file does not change during the walk.
class TrackWindow {
 public:
  // Fetches `first` bytes from `start`, at most kTrackFetchSize.
  TrackWindow(std::FILE* file, int64_t start, size_t first)
      : file_(file),
        start_(start),
        size_(0),
        can_grow_(false),
        ends_file_(false) {
    if (start < 0) return;
    Fetch(first < sizeof(bytes_) ? first : sizeof(bytes_));
  }

  TrackWindow(const TrackWindow&) = delete;
  TrackWindow& operator=(const TrackWindow&) = delete;

  // Reads up to `len` bytes at absolute file offset `offset`; returns the
  // number read.
  size_t ReadAt(int64_t offset, uint8_t* buf, size_t len) {
    if (offset >= start_) {
      const uint64_t rel = static_cast<uint64_t>(offset - start_);
      if (!Holds(rel, len, size_) && can_grow_ &&
          Holds(rel, len, sizeof(bytes_))) {
        Fetch(sizeof(bytes_) - size_);
      }
      if (Holds(rel, len, size_)) {
        std::memcpy(buf, bytes_ + rel, len);
        return len;
      }
      // Nothing lies beyond the end of the file.
      if (ends_file_) {
        if (rel >= size_) return 0;
        const size_t n = size_ - static_cast<size_t>(rel);
        std::memcpy(buf, bytes_ + rel, n);
        return n;
      }
      // A walk past the window moves it on, so that a long track costs one
      // read per window rather than one per record header.
      if (rel >= size_ && len <= kSectorHeaderSize) {
        start_ = offset;
        size_ = 0;
        Fetch(sizeof(bytes_));
        if (size_ >= len || ends_file_) {
          const size_t n = size_ < len ? size_ : len;
          std::memcpy(buf, bytes_, n);
          return n;
        }
      }
    }
    return ReadFileAt(file_, offset, buf, len);
  }

 private:
  // Whether `len` bytes at `rel` lie within the first `size` bytes.
  static bool Holds(uint64_t rel, size_t len, size_t size) {
    return rel <= size && len <= size - rel;
  }

  // Appends up to `len` bytes that follow the bytes fetched so far.
  void Fetch(size_t len) {
    bool failed = false;
    const size_t got = ReadFileAt(file_, start_ + static_cast<int64_t>(size_),
                                  bytes_ + size_, len, &failed);
    size_ += got;
    // A short fetch ends at the end of the file, unless an error cut it.
    ends_file_ = got < len && !failed;
    can_grow_ = got == len && size_ < sizeof(bytes_);
  }

  std::FILE* file_;
  int64_t start_;
  size_t size_;
  bool can_grow_;
  bool ends_file_;
  uint8_t bytes_[D88Image::kTrackFetchSize];
};

// The first fetch for a search for sector R with size code N: the track's
// first R + 1 records if they have the nominal size, which holds sector R
// on tracks numbered in order from 0 or 1.
size_t FirstFetch(int32_t r, int32_t n) {
  if (r < 0 || r > 255 || n < 0 || n > 7) return D88Image::kTrackFetchSize;
  return static_cast<size_t>(r + 1) * (kSectorHeaderSize + (size_t{128} << n));
}

// The walk of a sector lookup over one track's records. It ends after a
// record whose count is 0, after the last record that a header's count
// names, after the first header's count of records (damaged counts may never
// name the current record), or where a whole header cannot be read.
class RecordWalk {
 public:
  RecordWalk(std::FILE* file, int64_t start, size_t first_fetch)
      : window_(file, start, first_fetch), pos_(start) {}

  // Reads the next record's header into `record`; false when the walk has
  // ended.
  bool Next(RecordHeader* record) {
    if (done_) return false;
    uint8_t header[kSectorHeaderSize];
    if (window_.ReadAt(pos_, header, sizeof(header)) != sizeof(header)) {
      done_ = true;
      file_ended_ = true;
      return false;
    }
    record->offset = pos_;
    record->c = header[kSectorCOffset];
    record->h = header[kSectorHOffset];
    record->r = header[kSectorROffset];
    record->n = header[kSectorNOffset];
    record->count = DecodeU16(header + kSectorCountOffset);
    record->data_size = DecodeU16(header + kDataSizeOffset);
    data_pos_ = pos_ + static_cast<int64_t>(sizeof(header));
    pos_ = data_pos_ + record->data_size;
    const int32_t i = index_++;
    if (i == 0) first_count_ = record->count;
    done_ =
        record->count == 0 || i == record->count - 1 || i + 1 >= first_count_;
    return true;
  }

  // Reads up to `len` bytes of the data of the record read last.
  size_t ReadData(uint8_t* buf, size_t len) {
    return window_.ReadAt(data_pos_, buf, len);
  }

  // Whether the walk ended because a header could not be read whole.
  bool file_ended() const { return file_ended_; }

 private:
  TrackWindow window_;
  int64_t pos_;
  int64_t data_pos_ = 0;
  int32_t index_ = 0;
  int32_t first_count_ = 0;
  bool done_ = false;
  bool file_ended_ = false;
};

bool IsDirectory(std::FILE* file) {
#ifdef _WIN32
  struct _stat64 st;
  return _fstat64(_fileno(file), &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
#else
  struct stat st;
  return fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

}  // namespace

D88Image::D88Image()
    : file_(nullptr),
      image_count_(0),
      first_sector_(1),
      last_sector_(16),
      image_offsets_(),
      disk_size_(0),
      image_base_(0),
      track_table_(),
      media_type_(-1),
      disk_name_() {}

D88Image::~D88Image() { Close(); }

void D88Image::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  image_count_ = 0;
  media_type_ = -1;
}

bool D88Image::Open(const char* path) {
  Close();
  if (path == nullptr) return true;

  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  // Some platforms open a directory for reading; it is not an image file.
  if (IsDirectory(file)) {
    std::fclose(file);
    return false;
  }
  file_ = file;

  // Offsets are kept as signed 32-bit values, so indexing stops at an image
  // that would start outside 0 .. 2^31 - 1 (a negative or huge disk size).
  int64_t total = 0;
  uint8_t header[kImageHeaderSize];
  while (image_count_ < kMaxImages) {
    if (total < 0 || total > INT32_MAX) break;
    if (ReadFileAt(file_, total, header, sizeof(header)) != sizeof(header)) {
      break;
    }
    image_offsets_[image_count_] = static_cast<int32_t>(total);
    total += DecodeI32(header + kDiskSizeOffset);
    ++image_count_;
  }
  return true;
}

void D88Image::ResetSelection() {
  image_base_ = -1;
  media_type_ = -1;
  disk_size_ = 0;
  disk_name_[0] = '\0';
}

bool D88Image::SelectImage(int32_t index) {
  if (file_ == nullptr) return false;
  ResetSelection();
  if (index < 0 || index >= image_count_) return false;

  uint8_t header[kImageHeaderSize];
  const int32_t base = image_offsets_[index];
  // The file may have shrunk since Open; a partial header selects nothing.
  if (ReadFileAt(file_, base, header, sizeof(header)) != sizeof(header)) {
    return false;
  }

  image_base_ = base;
  for (int i = 0; i < kTrackCount; ++i) {
    track_table_[i] = DecodeI32(header + kTrackTableOffset +
                                kTrackEntrySize * static_cast<size_t>(i));
  }
  media_type_ = header[kMediaTypeOffset];
  disk_size_ = DecodeI32(header + kDiskSizeOffset);
  size_t len = 0;
  while (len < kDiskNameSize && header[kDiskNameOffset + len] != 0) ++len;
  std::memset(disk_name_, 0, kDiskNameSize);
  std::memcpy(disk_name_, header + kDiskNameOffset, len);
  return true;
}

int32_t D88Image::GetTrackOffset(int32_t track) const {
  if (track < 0 || track >= kTrackCount) return 0;
  return track_table_[track];
}

bool D88Image::TrackIsValid(int32_t track) const {
  if (file_ == nullptr) return false;
  if (track < 0 || track >= kTrackCount) return false;
  const int32_t offset = track_table_[track];
  // A negative offset would point before the image; with no image selected
  // the disk size is 0 and rejects every positive offset.
  if (offset <= 0) return false;
  if (offset > disk_size_) return false;
  return image_base_ >= 0;
}

int32_t D88Image::ReadSector(int32_t track, int32_t c, int32_t h, int32_t r,
                             int32_t n, uint8_t* buf, int32_t max_len) {
  if (!TrackIsValid(track)) return 0;
  RecordWalk walk(file_, int64_t{image_base_} + track_table_[track],
                  FirstFetch(r, n));
  RecordHeader record;
  while (walk.Next(&record)) {
    // A record with a count of 0 ends the track before it is looked at.
    if (record.count == 0) return 0;
    if (record.c == c && record.h == h && record.r == r && record.n == n) {
      const int32_t want =
          record.data_size < max_len ? record.data_size : max_len;
      if (want <= 0) return 0;
      return static_cast<int32_t>(
          walk.ReadData(buf, static_cast<size_t>(want)));
    }
  }
  return 0;
}

int32_t D88Image::ReadSectors(int32_t track, int32_t c, int32_t h, int32_t r,
                              int32_t n, uint8_t* buf, int32_t len) {
  if (n < 0 || n > kMaxSizeCode) return 0;
  int32_t chunk = int32_t{128} << n;
  int32_t done = 0;
  while (done < len) {
    if (len - done < chunk) chunk = len - done;
    if (ReadSector(track, c, h, r, n, buf + done, chunk) < chunk) return done;
    done += chunk;
    if (r == last_sector_) {
      ++track;
      if (h == 0) {
        h = 1;
      } else {
        h = 0;
        ++c;
      }
      r = first_sector_;
    } else {
      ++r;
    }
  }
  return done;
}

int32_t D88Image::ReadTrackIds(int32_t track, uint8_t* buf, int32_t len) {
  if (!TrackIsValid(track) || len < 4) return 0;
  int64_t pos = int64_t{image_base_} + track_table_[track];
  TrackWindow window(file_, pos, kTrackFetchSize);
  int32_t stored = 0;
  for (int32_t i = 0; len - stored >= 4; ++i) {
    uint8_t header[kSectorHeaderSize];
    // Past the end of the file there are no more records to list.
    if (window.ReadAt(pos, header, sizeof(header)) != sizeof(header)) break;
    std::memcpy(buf + stored, header + kSectorCOffset, 4);
    stored += 4;
    pos += static_cast<int64_t>(sizeof(header)) +
           DecodeU16(header + kDataSizeOffset);
    if (i == DecodeU16(header + kSectorCountOffset) - 1) break;
  }
  return stored;
}

int32_t D88Image::ReadTrackRecords(int32_t track, RecordHeader* records,
                                   int32_t max_records, bool* file_ended) {
  if (file_ended != nullptr) *file_ended = false;
  if (!TrackIsValid(track)) return 0;
  // The walk of ReadSector, so that the list holds exactly the records a
  // sector lookup can reach, and the record that stopped it.
  RecordWalk walk(file_, int64_t{image_base_} + track_table_[track],
                  kTrackFetchSize);
  int32_t stored = 0;
  while (stored < max_records && walk.Next(&records[stored])) ++stored;
  if (file_ended != nullptr) *file_ended = walk.file_ended();
  return stored;
}

int64_t D88Image::GetFileSize() {
  if (file_ == nullptr) return -1;
  return SizeOf(file_);
}

}  // namespace d88
