// The walk over a track's sector records, shared by the reader's lookups and
// listings. Internal to the reader.

#ifndef D88_SECTOR_WALK_H_
#define D88_SECTOR_WALK_H_

#include <cstddef>
#include <cstdint>

#include "d88/d88_image.h"
#include "d88/input_file.h"

namespace d88 {

// The bytes of one track, fetched for one walk: a first part with one read,
// the rest of kTrackFetchSize with a second read once the walk needs it,
// and the next kTrackFetchSize bytes when a header lies beyond them. A read
// that lies inside the fetched bytes is served from memory; any other goes
// to the file. Either way a read returns what the file holds at that offset,
// as long as the file does not change during the walk.
class TrackWindow {
 public:
  // Fetches `first` bytes from `start`, at most kTrackFetchSize.
  TrackWindow(const InputFile& file, int64_t start, size_t first);

  TrackWindow(const TrackWindow&) = delete;
  TrackWindow& operator=(const TrackWindow&) = delete;

  // Reads up to `len` bytes at absolute file offset `offset`; returns the
  // number read.
  size_t ReadAt(int64_t offset, uint8_t* buf, size_t len);

 private:
  // Appends up to `len` bytes that follow the bytes fetched so far.
  void Fetch(size_t len);

  const InputFile& file_;
  int64_t start_;
  size_t size_ = 0;
  bool can_grow_ = false;
  bool ends_file_ = false;
  uint8_t bytes_[D88Image::kTrackFetchSize];
};

// The walk of a sector lookup over one track's records, from the header at
// `start`. It ends after a record whose count is 0, after the last record
// that a header's count names, after the first header's count of records
// (damaged counts may never name the current record), or where a whole
// header cannot be read.
class SectorWalk {
 public:
  // `first_fetch` is how many bytes from `start` the first read fetches.
  SectorWalk(const InputFile& file, int64_t start, size_t first_fetch)
      : window_(file, start, first_fetch), pos_(start) {}

  // Reads the next record's header into `header`; false when the walk has
  // ended.
  bool Next(SectorHeader* header);

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

}  // namespace d88

#endif  // D88_SECTOR_WALK_H_
