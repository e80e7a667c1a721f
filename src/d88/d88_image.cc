#include "d88/d88_image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "d88/native_file.h"
#include "d88/sector_walk.h"
#include "d88/system_error.h"

namespace d88 {

namespace {

bool IsByte(int32_t v) { return v >= 0 && v <= 255; }

// A note of where a record's data lies and how long it is: the data's file
// offset shifted left by 16 bits, with the data size in the low 16 bits.
// Offsets stay far below 2^47 (a track starts below 2^32 and its walk runs
// at most 65,535 records of 65,551 bytes), and are never 0, which marks
// "no such record".
uint64_t Note(int64_t data_offset, int32_t data_size) {
  return static_cast<uint64_t>(data_offset) << 16 |
         static_cast<uint64_t>(data_size);
}

}  // namespace

// What one walk over a track found for one C, H and N: for each R with a
// record of ID (c, h, R, n), the Note of the first such record that the walk
// reaches. The notes lie in Kept::notes, in the order of R from
// first_note on, so that the few that a track has take little memory next
// to the other tracks' rather than 256 entries each.
struct D88Image::TrackNotes {
  uint64_t selection;  // the selection count the notes were made under
  int32_t c;
  int32_t h;
  int32_t n;
  uint32_t first_note;
  uint64_t found[4];  // bit R % 64 of found[R / 64]: R has a note

  // The Note for R, 0 if there is none.
  uint64_t NoteFor(const uint64_t* notes, int32_t r) const;
};

struct D88Image::Kept {
  BlockCache blocks;
  HeaderMemo headers;
  TrackNotes tracks[kTrackCount];
  // The tracks' notes, for the selection count notes_selection; room for
  // 256 notes of every track.
  uint64_t notes_selection;
  uint32_t notes_used;
  uint64_t notes[kTrackCount * 256];
};

namespace {

int BitCount(uint64_t bits) {
#if defined(__GNUC__)
  return __builtin_popcountll(bits);
#else
  int n = 0;
  for (; bits != 0; bits &= bits - 1) ++n;
  return n;
#endif
}

// The number of the lowest bit set in `bits` (not 0).
int32_t LowestBit(uint64_t bits) {
#if defined(__GNUC__)
  return __builtin_ctzll(bits);
#else
  int32_t n = 0;
  for (; (bits & 1) == 0; bits >>= 1) ++n;
  return n;
#endif
}

}  // namespace

uint64_t D88Image::TrackNotes::NoteFor(const uint64_t* notes, int32_t r) const {
  const uint64_t bit = uint64_t{1} << (r % 64);
  if ((found[r / 64] & bit) == 0) return 0;
  // Notes come in the order of R: those of lower R go first.
  uint32_t at = first_note;
  for (int32_t word = 0; word < r / 64; ++word) {
    at += static_cast<uint32_t>(BitCount(found[word]));
  }
  at += static_cast<uint32_t>(BitCount(found[r / 64] & (bit - 1)));
  return notes[at];
}

static_assert(D88Image::kFetchSize == BlockCache::kFetchSize,
              "the reader's blocks are those it documents");

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

D88Image::~D88Image() {
  Close();
  // Kept was made by calloc, not constructed: what it holds is freed here.
  if (kept_ != nullptr) kept_->headers.Release();
  std::free(kept_);
}

void D88Image::Close() {
  file_.Close();
  open_failure_ = OpenFailure::kNone;
  image_count_ = 0;
  media_type_ = -1;
  ++selection_;
}

bool D88Image::Prepare() {
  if (kept_ == nullptr) {
    // Zero pages from calloc are not touched until used. Notes made under
    // selection count 0 are stale, since the count starts at 1.
    kept_ = static_cast<Kept*>(std::calloc(1, sizeof(Kept)));
    if (kept_ == nullptr) {
      open_failure_ = OpenFailure::kMemory;
      SystemErrorText(kOutOfMemoryCode, memory_error_, sizeof(memory_error_));
      return false;
    }
  }
  kept_->blocks.Clear();
  kept_->headers.Clear();
  return true;
}

bool D88Image::Open(const char* path) {
  Close();
  if (path == nullptr) return true;
  if (!Prepare()) return false;
  if (!file_.Open(path, kMaxStreamSize)) {
    open_failure_ =
        file_.error() != nullptr ? OpenFailure::kStream : OpenFailure::kFile;
    return false;
  }
  IndexImages();
  return true;
}

bool D88Image::OpenMemory(const void* data, size_t size) {
  Close();
  if (!Prepare()) return false;
  file_.OpenMemory(static_cast<const uint8_t*>(data), size);
  IndexImages();
  return true;
}

const char* D88Image::GetError() const {
  switch (open_failure_) {
    case OpenFailure::kNone:
      return file_.error();
    case OpenFailure::kMemory:
      return memory_error_;
    case OpenFailure::kFile:
    case OpenFailure::kStream:
      break;
  }
  return file_.open_error();
}

void D88Image::IndexImages() {
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
  ++selection_;
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

TrackState D88Image::GetTrackState(int32_t track) const {
  if (!file_.is_open() || image_base_ < 0) return TrackState::kAbsent;
  if (track < 0 || track >= kTrackCount) return TrackState::kAbsent;
  const int32_t offset = track_table_[track];
  if (offset == 0) return TrackState::kAbsent;
  // A negative offset would point before the image.
  if (offset < 0 || offset > disk_size_) return TrackState::kOutside;
  return TrackState::kPresent;
}

bool D88Image::TrackIsValid(int32_t track) const {
  return GetTrackState(track) == TrackState::kPresent;
}

const D88Image::TrackNotes& D88Image::NotesFor(int32_t track, int32_t c,
                                               int32_t h, int32_t n) {
  TrackNotes& notes = kept_->tracks[track];
  if (notes.selection == selection_ && notes.c == c && notes.h == h &&
      notes.n == n) {
    return notes;
  }
  // By R, valid where `found` has its bit: the walk's notes, gathered here
  // and then kept in the order of R.
  uint64_t first[256];
  uint64_t found[4] = {};
  const int64_t failed_before = file_.failed_reads();
  SectorWalk walk(file_, kept_->blocks, kept_->headers,
                  int64_t{image_base_} + track_table_[track]);
  SectorHeader header;
  while (walk.Next(&header)) {
    // A record with a count of 0 ends the track before it is looked at.
    if (header.count == 0) break;
    if (header.id.c != c || header.id.h != h || header.id.n != n) continue;
    // The first match wins.
    const int32_t r = header.id.r;
    const uint64_t bit = uint64_t{1} << (r % 64);
    if ((found[r / 64] & bit) == 0) {
      found[r / 64] |= bit;
      first[r] = Note(header.offset + static_cast<int64_t>(kSectorHeaderSize),
                      header.data_size);
    }
  }
  uint32_t count = 0;
  for (const uint64_t bits : found)
    count += static_cast<uint32_t>(BitCount(bits));
  Kept& kept = *kept_;
  // Notes of another selection are stale; so are all when a selection's
  // walks of tracks again and again for other C, H or N fill the room, which
  // then starts over under a new selection count.
  if (kept.notes_selection != selection_ ||
      count > sizeof(kept.notes) / sizeof(kept.notes[0]) - kept.notes_used) {
    if (kept.notes_selection == selection_) ++selection_;
    kept.notes_selection = selection_;
    kept.notes_used = 0;
  }
  notes.selection = selection_;
  notes.c = c;
  notes.h = h;
  notes.n = n;
  notes.first_note = kept.notes_used;
  std::memcpy(notes.found, found, sizeof(found));
  for (int32_t word = 0; word < 4; ++word) {
    for (uint64_t bits = found[word]; bits != 0; bits &= bits - 1) {
      kept.notes[kept.notes_used++] = first[word * 64 + LowestBit(bits)];
    }
  }
  // A walk that a failed read cut short answers this lookup only; the next
  // one walks again, as the file may read whole then.
  if (file_.failed_reads() != failed_before) notes.selection = 0;
  return notes;
}

int32_t D88Image::ReadSector(int32_t track, int32_t c, int32_t h, int32_t r,
                             int32_t n, uint8_t* buf, int32_t max_len) {
  if (!TrackIsValid(track)) return 0;
  // Values outside 0 to 255 match no record.
  if (!IsByte(c) || !IsByte(h) || !IsByte(r) || !IsByte(n)) return 0;
  const uint64_t note = NotesFor(track, c, h, n).NoteFor(kept_->notes, r);
  if (note == 0) return 0;
  const int32_t data_size = static_cast<int32_t>(note & 0xFFFF);
  const int32_t want = data_size < max_len ? data_size : max_len;
  if (want <= 0) return 0;
  return static_cast<int32_t>(kept_->blocks.ReadAt(
      file_, static_cast<int64_t>(note >> 16), buf, static_cast<size_t>(want)));
}

bool D88Image::LocateSector(int32_t track, int32_t c, int32_t h, int32_t r,
                            int32_t n, SectorLocation* where) {
  if (!TrackIsValid(track)) return false;
  if (!IsByte(c) || !IsByte(h) || !IsByte(r) || !IsByte(n)) return false;
  const uint64_t note = NotesFor(track, c, h, n).NoteFor(kept_->notes, r);
  if (note == 0) return false;
  where->offset = static_cast<int64_t>(note >> 16);
  where->data_size = static_cast<int32_t>(note & 0xFFFF);
  return true;
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
  int32_t stored = 0;
  for (int32_t i = 0; len - stored >= 4; ++i) {
    uint8_t header[kSectorHeaderSize];
    // Past the end of the file there are no more records to list.
    if (kept_->blocks.ReadAt(file_, pos, header, sizeof(header)) !=
        sizeof(header)) {
      break;
    }
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
  SectorWalk walk(file_, kept_->blocks, kept_->headers,
                  int64_t{image_base_} + track_table_[track]);
  int32_t stored = 0;
  while (stored < max_headers && walk.Next(&headers[stored])) ++stored;
  if (file_ended != nullptr) *file_ended = walk.file_ended();
  return stored;
}

int32_t D88Image::VisitTrackHeaders(int32_t track, HeaderVisitor visit,
                                    void* context, bool* file_ended) {
  if (file_ended != nullptr) *file_ended = false;
  if (!TrackIsValid(track)) return 0;
  SectorWalk walk(file_, kept_->blocks, kept_->headers,
                  int64_t{image_base_} + track_table_[track]);
  int32_t visited = 0;
  SectorHeader header;
  while (walk.Next(&header)) {
    visit(context, header);
    ++visited;
  }
  if (file_ended != nullptr) *file_ended = walk.file_ended();
  return visited;
}

bool D88Image::GetTrackStart(int32_t track, WalkPlace* place) const {
  if (!TrackIsValid(track)) return false;
  *place = {int64_t{image_base_} + track_table_[track], 0, 0};
  return true;
}

bool D88Image::WalkRecords(WalkPlace* place, HeaderFilter visit, void* context,
                           bool* file_ended) {
  if (file_ended != nullptr) *file_ended = false;
  if (!file_.is_open()) return true;
  const int32_t index =
      place->index < 0 ? 0 : std::min(place->index, kMaxSectorCount);
  const int32_t first_count =
      place->first_count < 0 ? 0 : std::min(place->first_count, 0xFFFF);
  SectorWalk walk(file_, kept_->blocks, kept_->headers, place->offset, index,
                  first_count);
  SectorHeader header;
  for (;;) {
    const WalkPlace before = {walk.pos(), walk.index(), walk.first_count()};
    if (!walk.Next(&header)) break;
    if (!visit(context, header)) {
      *place = before;
      return false;
    }
  }
  *place = {walk.pos(), walk.index(), walk.first_count()};
  if (file_ended != nullptr) *file_ended = walk.file_ended();
  return true;
}

int32_t D88Image::ReadFileBytes(int64_t offset, uint8_t* buf, int32_t len) {
  if (!file_.is_open() || len <= 0) return 0;
  return static_cast<int32_t>(
      kept_->blocks.ReadAt(file_, offset, buf, static_cast<size_t>(len)));
}

int64_t D88Image::GetFileSize() const { return file_.Size(); }

bool D88Image::GetFileIdentity(FileIdentity* identity) const {
  return file_.GetIdentity(identity);
}

}  // namespace d88
