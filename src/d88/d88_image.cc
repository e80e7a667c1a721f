#include "d88/d88_image.h"

#include <cstring>

#include "d88/sector_walk.h"

namespace d88 {

namespace {

// The first fetch for a search for sector R with size code N: the track's
// first R + 1 records if they have the nominal size, which holds sector R
// on tracks numbered in order from 0 or 1.
size_t FirstFetch(int32_t r, int32_t n) {
  if (r < 0 || r > 255 || n < 0 || n > 7) return D88Image::kTrackFetchSize;
  return static_cast<size_t>(r + 1) * (kSectorHeaderSize + (size_t{128} << n));
}

// Whether `id` is (c, h, r, n); values outside 0 to 255 match no byte.
bool IdIs(SectorId id, int32_t c, int32_t h, int32_t r, int32_t n) {
  return id.c == c && id.h == h && id.r == r && id.n == n;
}

}  // namespace

D88Image::D88Image()
    : image_count_(0),
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
  file_.Close();
  image_count_ = 0;
  media_type_ = -1;
}

bool D88Image::Open(const char* path) {
  Close();
  if (path == nullptr) return true;

  if (!file_.Open(path, kMaxReadExtent)) return false;

  // Offsets are kept as signed 32-bit values, so indexing stops at an image
  // that would start outside 0 .. 2^31 - 1 (a negative or huge disk size).
  int64_t total = 0;
  uint8_t header[kImageHeaderSize];
  while (image_count_ < kMaxImages) {
    if (total < 0 || total > INT32_MAX) break;
    if (file_.ReadAt(total, header, sizeof(header)) != sizeof(header)) {
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
  if (!file_.is_open()) return false;
  ResetSelection();
  if (index < 0 || index >= image_count_) return false;

  uint8_t header[kImageHeaderSize];
  const int32_t base = image_offsets_[index];
  // The file may have shrunk since Open; a partial header selects nothing.
  if (file_.ReadAt(base, header, sizeof(header)) != sizeof(header)) {
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
  if (!file_.is_open()) return false;
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
  SectorWalk walk(file_, int64_t{image_base_} + track_table_[track],
                  FirstFetch(r, n));
  SectorHeader header;
  while (walk.Next(&header)) {
    // A record with a count of 0 ends the track before it is looked at.
    if (header.count == 0) return 0;
    if (IdIs(header.id, c, h, r, n)) {
      const int32_t want =
          header.data_size < max_len ? header.data_size : max_len;
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

int32_t D88Image::ReadTrackHeaders(int32_t track, SectorHeader* headers,
                                   int32_t max_headers, bool* file_ended) {
  if (file_ended != nullptr) *file_ended = false;
  if (!TrackIsValid(track)) return 0;
  // The walk of ReadSector, so that the list holds exactly the records a
  // sector lookup can reach, and the record that stopped it.
  SectorWalk walk(file_, int64_t{image_base_} + track_table_[track],
                  kTrackFetchSize);
  int32_t stored = 0;
  while (stored < max_headers && walk.Next(&headers[stored])) ++stored;
  if (file_ended != nullptr) *file_ended = walk.file_ended();
  return stored;
}

int64_t D88Image::GetFileSize() const { return file_.Size(); }

bool D88Image::GetFileIdentity(FileIdentity* identity) const {
  return file_.GetIdentity(identity);
}

}  // namespace d88
