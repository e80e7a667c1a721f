#include "info/file_verdict.h"

#include <cstring>

#include "d88/d88_format.h"
#include "info/text.h"

namespace info {

using d88::kTrackCount;

using d88::D88Image;
using d88::DecodeU16;
using d88::kDataSizeOffset;
using d88::kDeletedOffset;
using d88::kDensityOffset;
using d88::kImageHeaderSize;
using d88::kSectorCountOffset;
using d88::kSectorHeaderSize;
using d88::kStatusOffset;
using d88::kTrackEntrySize;
using d88::kTrackTableOffset;
using d88::SectorHeader;
using d88::TrackState;

namespace {

// Where a D88 file's first track starts: right after the header, or after a
// table of 160 entries, which some programs write instead of 164.
constexpr int32_t kFirstTrackOffset = static_cast<int32_t>(kImageHeaderSize);
constexpr int32_t kShortTableFirstTrackOffset =
    static_cast<int32_t>(kTrackTableOffset + 160 * kTrackEntrySize);

// Bounds of what a real floppy track holds, with room for copy protection
// (many tiny sectors, or one sector as long as the track). Random bytes
// pass all three about once in 15,000 tries.
constexpr int32_t kMaxPlausibleSectors = 255;
constexpr int kMaxPlausibleSizeCode = 8;
constexpr int32_t kMaxPlausibleDataSize = 128 << kMaxPlausibleSizeCode;

// Density: double, single or high; status: a drive's code, in the high
// nibble.
bool PlausibleMarks(uint8_t density, uint8_t deleted, uint8_t status) {
  return (density == 0x00 || density == 0x40 || density == 0x01) &&
         (deleted == 0x00 || deleted == 0x10) && (status & 0x0F) == 0;
}

bool PlausibleSectorHeader(const SectorHeader& h) {
  return h.count >= 1 && h.count <= kMaxPlausibleSectors &&
         h.id.n <= kMaxPlausibleSizeCode &&
         h.data_size <= kMaxPlausibleDataSize &&
         PlausibleMarks(h.density, h.deleted, h.status);
}

// Whether the first record of a track at `offset` of the first image, where
// D88 files put the first track, can begin a track: cut by the end of the
// file (of `file_size` bytes), or a count of sectors and marks that a drive
// records. The count may be damaged, up to 65,535; an archive that stores a
// D88 file holds zeros or track offsets there. Read straight from the
// file: the disk size may be damaged.
bool LaidOutTrackStarts(D88Image& image, int32_t offset, int64_t file_size) {
  uint8_t b[kSectorHeaderSize];
  if (image.ReadFileBytes(offset, b, sizeof(b)) != sizeof(b)) return true;
  const int32_t data_size = DecodeU16(b + kDataSizeOffset);
  if (int64_t{offset} + static_cast<int64_t>(sizeof(b)) + data_size >
      file_size) {
    return true;
  }
  return DecodeU16(b + kSectorCountOffset) >= 1 &&
         PlausibleMarks(b[kDensityOffset], b[kDeletedOffset], b[kStatusOffset]);
}

// Whether `bytes` (`len` of them) hold `magic`, without its closing NUL, at
// `at`.
template <size_t kSize>
bool Matches(const uint8_t* bytes, size_t len, size_t at,
             const char (&magic)[kSize]) {
  return kSize - 1 <= len && at <= len - (kSize - 1) &&
         std::memcmp(bytes + at, magic, kSize - 1) == 0;
}

// LZH: a method such as "-lh5-" or "-lzs-" after the header's size and
// checksum bytes.
bool IsLzh(const uint8_t* b, size_t len) {
  if (len < 7 || b[2] != '-' || b[3] != 'l' || b[6] != '-') return false;
  if (b[4] == 'h') {
    return (b[5] >= '0' && b[5] <= '7') || b[5] == 'd';
  }
  return b[4] == 'z' && (b[5] == 's' || b[5] == '4' || b[5] == '5');
}

const ArchiveKind kZip = {"a zip archive", "unzip -p FILE NAME.d88"};
const ArchiveKind kGzip = {"a gzip file", "gzip -dc FILE"};
const ArchiveKind kLzh = {"an LZH archive", "lha pq FILE NAME.d88"};
const ArchiveKind k7z = {"a 7z archive", "7z e -so FILE NAME.d88"};
const ArchiveKind kRar = {"a rar archive", "unrar p -inul FILE NAME.d88"};
const ArchiveKind kXz = {"an xz file", "xz -dc FILE"};
const ArchiveKind kBzip2 = {"a bzip2 file", "bzip2 -dc FILE"};
const ArchiveKind kZstd = {"a zstd file", "zstd -dc FILE"};
const ArchiveKind kCab = {"a cab archive", "cabextract -p -F NAME.d88 FILE"};

}  // namespace

const ArchiveKind* FindArchive(const uint8_t* b, size_t len) {
  // Local file header, end of an empty archive's directory, spanned.
  if (Matches(b, len, 0, "PK\x03\x04") || Matches(b, len, 0, "PK\x05\x06") ||
      Matches(b, len, 0, "PK\x07\x08")) {
    return &kZip;
  }
  if (Matches(b, len, 0, "\x1F\x8B\x08")) return &kGzip;
  if (IsLzh(b, len)) return &kLzh;
  if (Matches(b, len, 0, "7z\xBC\xAF\x27\x1C")) return &k7z;
  if (Matches(b, len, 0, "Rar!\x1A\x07\x00") ||
      Matches(b, len, 0, "Rar!\x1A\x07\x01\x00")) {
    return &kRar;
  }
  if (Matches(b, len, 0, "\xFD\x37zXZ\x00")) return &kXz;
  // "BZh", the block size, then a block's or the end's magic number.
  if (Matches(b, len, 0, "BZh") && len >= 10 && b[3] >= '1' && b[3] <= '9' &&
      (Matches(b, len, 4, "\x31\x41\x59\x26\x53\x59") ||
       Matches(b, len, 4, "\x17\x72\x45\x38\x50\x90"))) {
    return &kBzip2;
  }
  if (Matches(b, len, 0, "\x28\xB5\x2F\xFD")) return &kZstd;
  // "MSCF", a reserved zero field, and format version 1.3 at byte 24.
  if (Matches(b, len, 0, "MSCF\0\0\0\0") && Matches(b, len, 24, "\x03\x01")) {
    return &kCab;
  }
  return nullptr;
}

const ArchiveKind* ArchiveOf(D88Image& image) {
  uint8_t bytes[kArchiveMagicSize];
  const int32_t got =
      image.ReadFileBytes(0, bytes, static_cast<int32_t>(sizeof(bytes)));
  return FindArchive(bytes, static_cast<size_t>(got));
}

std::string NotD88Reason(D88Image& image, int64_t file_size) {
  if (file_size < 0) return "";
  if (image.GetImageCount() == 0 || !image.SelectImage(0)) {
    return Format("the file is shorter than the %d-byte image header",
                  static_cast<int>(kImageHeaderSize));
  }
  bool any_track = false;
  bool any_read = false;
  bool header_found = false;
  for (int32_t t = 0; t < kTrackCount && !header_found; ++t) {
    const TrackState state = image.GetTrackState(t);
    if (state == TrackState::kAbsent) continue;
    any_track = true;
    const int32_t offset = image.GetTrackOffset(t);
    if ((offset == kFirstTrackOffset ||
         offset == kShortTableFirstTrackOffset) &&
        LaidOutTrackStarts(image, offset, file_size)) {
      header_found = true;
      break;
    }
    // A header of a track that the reader reads counts.
    SectorHeader first;
    if (state == TrackState::kPresent &&
        image.ReadTrackHeaders(t, &first, 1, nullptr) == 1) {
      any_read = true;
      header_found = PlausibleSectorHeader(first);
    }
  }
  if (header_found) return "";

  const int32_t disk_size = image.GetDiskSize();
  const bool size_fits = disk_size >= static_cast<int64_t>(kImageHeaderSize) &&
                         disk_size <= file_size;
  // An unformatted disk: a header and no track.
  if (!any_track && size_fits) return "";
  if (disk_size < static_cast<int64_t>(kImageHeaderSize)) {
    return Format(
        "the first image's disk size, %d bytes, is smaller than the %d-byte "
        "image header",
        disk_size, static_cast<int>(kImageHeaderSize));
  }
  if (disk_size > file_size) {
    return Format(
        "the first image's disk size, %d bytes, is beyond the end of the "
        "file (%lld bytes)",
        disk_size, static_cast<long long>(file_size));
  }
  if (!any_read) {
    return "the first image's track table names no track that the file holds";
  }
  return "no track of the first image starts with a plausible sector header";
}

}  // namespace info
