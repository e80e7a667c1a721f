#include "d88/sector_walk.h"

#include <cstring>

#include "d88/d88_format.h"

namespace d88 {

namespace {

// Whether `len` bytes at `rel` lie within the first `size` bytes.
bool Holds(uint64_t rel, size_t len, size_t size) {
  return rel <= size && len <= size - rel;
}

}  // namespace

TrackWindow::TrackWindow(const InputFile& file, int64_t start, size_t first)
    : file_(file), start_(start) {
  if (start < 0) return;
  Fetch(first < sizeof(bytes_) ? first : sizeof(bytes_));
}

size_t TrackWindow::ReadAt(int64_t offset, uint8_t* buf, size_t len) {
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
  return file_.ReadAt(offset, buf, len);
}

void TrackWindow::Fetch(size_t len) {
  bool failed = false;
  const size_t got = file_.ReadAt(start_ + static_cast<int64_t>(size_),
                                  bytes_ + size_, len, &failed);
  size_ += got;
  // A short fetch ends at the end of the file, unless an error cut it.
  ends_file_ = got < len && !failed;
  can_grow_ = got == len && size_ < sizeof(bytes_);
}

bool SectorWalk::Next(SectorHeader* header) {
  if (done_) return false;
  uint8_t bytes[kSectorHeaderSize];
  if (window_.ReadAt(pos_, bytes, sizeof(bytes)) != sizeof(bytes)) {
    done_ = true;
    file_ended_ = true;
    return false;
  }
  header->offset = pos_;
  header->id = {bytes[kSectorCOffset], bytes[kSectorHOffset],
                bytes[kSectorROffset], bytes[kSectorNOffset]};
  header->count = DecodeU16(bytes + kSectorCountOffset);
  header->data_size = DecodeU16(bytes + kDataSizeOffset);
  data_pos_ = pos_ + static_cast<int64_t>(sizeof(bytes));
  pos_ = data_pos_ + header->data_size;
  const int32_t i = index_++;
  if (i == 0) first_count_ = header->count;
  done_ = header->count == 0 || i == header->count - 1 || i + 1 >= first_count_;
  return true;
}

}  // namespace d88
