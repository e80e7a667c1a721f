#include "info/file_verdict.h"

#include "d88/d88_format.h"
#include "info/text.h"

namespace info {

using d88::kTrackCount;

using d88::D88Image;
using d88::kImageHeaderSize;
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

bool PlausibleSectorHeader(const SectorHeader& h) {
  return h.count >= 1 && h.count <= kMaxPlausibleSectors &&
         h.id.n <= kMaxPlausibleSizeCode &&
         h.data_size <= kMaxPlausibleDataSize;
}

}  // namespace

std::string NotD88Reason(D88Image& image, int64_t file_size) {
  if (file_size < 0) return "";
  if (image.GetImageCount() == 0 || !image.SelectImage(0)) {
    return Format("the file is shorter than the %d-byte image header",
                  static_cast<int>(kImageHeaderSize));
  }
  bool any_track = false;
  bool table_laid_out = false;
  bool any_read = false;
  bool header_found = false;
  for (int32_t t = 0; t < kTrackCount && !header_found; ++t) {
    const TrackState state = image.GetTrackState(t);
    if (state == TrackState::kAbsent) continue;
    any_track = true;
    const int32_t offset = image.GetTrackOffset(t);
    if (offset == kFirstTrackOffset || offset == kShortTableFirstTrackOffset) {
      table_laid_out = true;
    }
    // A header of a track that the reader reads counts.
    SectorHeader first;
    if (state == TrackState::kPresent &&
        image.ReadTrackHeaders(t, &first, 1, nullptr) == 1) {
      any_read = true;
      header_found = PlausibleSectorHeader(first);
    }
  }
  if (header_found || table_laid_out) return "";

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
