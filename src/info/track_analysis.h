// The analysis behind d88info's account of an image: the sector layout of
// each track, the layout most tracks share, and the anomalies that the walks
// over the tracks show. Nothing here prints.

#ifndef INFO_TRACK_ANALYSIS_H_
#define INFO_TRACK_ANALYSIS_H_

#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "d88/d88_image.h"
#include "info/walk_trail.h"

namespace info {

// Where a track's records may end: the size of the file, and the end of the
// image by its disk size.
struct TrackBounds {
  int64_t file_size;
  int64_t image_end;
};

// Real tracks hold a few dozen sectors; a damaged header can make a walk
// list thousands of records, of which only the first are kept for the
// account.
constexpr int32_t kMaxIdsShown = 256;

// A record as a track's listing shows it, with the marks the dumping drive
// recorded (which the text listing does not compare).
struct ShownSector {
  d88::SectorId id;
  uint16_t data_size = 0;
  uint8_t status = 0;
  uint8_t deleted = 0;
  uint8_t density = 0;

  bool operator==(const ShownSector& other) const {
    return id == other.id && data_size == other.data_size;
  }
};

// A drive's status byte as d88info words it: "ID CRC error" (A0), "data
// CRC error" (B0), "no address mark" (E0), "no data mark" (F0), else
// "status XX" in hex.
std::string StatusMeaning(uint8_t status);

// The status in hex with its meaning where it has one: "B0 (data CRC
// error)", "10".
std::string StatusText(uint8_t status);

// What one walk over a track shows, gathered header by header, so that a
// walk of any length takes little memory: 4 bytes per record and a fixed
// amount besides, kept for the next track after Clear. A walk that follows
// a WalkTrail adds the trail's segments that it passes over instead of
// their records; a walk that goes kMinRecords or more without one is kept
// in the form of a trail (TakeTrail).
class TrackSurvey {
 public:
  // `signature` is the sector whose presence signature_found tells.
  explicit TrackSurvey(const TrackBounds& bounds, d88::SectorId signature = {});

  // Starts over, for another track with the same bounds.
  void Clear();

  void Add(const d88::SectorHeader& header);

  // Adds the records of segment `segment` of `trail` (which outlives the
  // survey's use) that the walk passed over, as Add would add them.
  void AddSkipped(const WalkTrail& trail, int32_t segment);

  // The layout of the headers added, and the first kMaxIdsShown of them.
  const Layout& layout() const { return totals_.layout; }
  const std::vector<ShownSector>& shown() const { return shown_; }
  // The data bytes of the headers added, in all.
  int64_t data_bytes() const { return totals_.data_bytes; }
  // Whether a lookup of the signature sector would find one of them.
  bool signature_found() const { return totals_.found; }

  // The anomalies that the headers added show (the walk ended at the end of
  // the file if `file_ended`), as texts in this order: sector counts that
  // disagree, a count of 0, data sizes other than 128 << N, duplicate IDs,
  // records that run past the end of the file or of the image, then each
  // status other than 00 that records carry, by value, and a deleted-data
  // mark. Long lists within a text are cut.
  std::vector<std::string> AnomalyTexts(bool file_ended);

  // After AnomalyTexts: makes the walk surveyed, which ended before `next`
  // (`file_ended` as for AnomalyTexts), a trail of `trails`, if the walk
  // added kMinRecords or more records and no segments. Returns whether it
  // did.
  bool TakeTrail(int64_t next, bool file_ended, WalkTrails* trails);

 private:
  // Distinct IDs that occur more than once: how many, and the smallest
  // kMaxListed of them, ascending.
  struct Duplicates {
    int32_t count = 0;
    std::vector<uint32_t> first;
  };
  // Those among the records added and the trail's segments skipped; needs
  // ids_ sorted.
  Duplicates FindDuplicates() const;
  // Keeps the keys of the last segment, if they are spread wide.
  void CloseSegment();

  TrackBounds bounds_;
  d88::SectorId signature_;
  RecordSummary totals_;
  std::vector<ShownSector> shown_;
  int32_t first_count_ = 0;
  int32_t last_count_ = 0;
  std::vector<uint32_t> ids_;  // the IDs of the records added, as numbers
  // While no segments are added: the walk in segments, and for sorting its
  // IDs into a trail, the segment of each.
  bool whole_walk_ = true;
  std::vector<WalkTrail::Segment> segments_;
  std::vector<int32_t> segment_keys_;  // of the last segment
  std::vector<uint16_t> wide_keys_;
  std::vector<uint8_t> id_segments_;
  // The trail whose segments were added, and which.
  const WalkTrail* trail_ = nullptr;
  std::bitset<WalkTrail::kMaxSegments> skipped_;
};

// Anomalies gathered by their text, each with the tracks that show it, in
// the order first seen.
class Anomalies {
 public:
  struct Entry {
    std::string what;
    std::vector<int32_t> tracks;  // ascending, none for the image as a whole
  };

  void Add(const std::string& what) { Find(what); }
  void Add(const std::string& what, int32_t track);

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  Entry& Find(const std::string& what);

  std::vector<Entry> entries_;
  std::map<std::string, size_t> index_;  // a damaged track gives thousands
};

// What the walks over the selected image's tracks found.
struct TrackScan {
  std::vector<int32_t> present;  // the tracks the reader reads
  std::vector<Layout> layouts = std::vector<Layout>(d88::kTrackCount);
  // Of each track's first kMaxIdsShown records: their number, and the
  // ShownDigest of them, which tells tracks that list the same records from
  // the others. The records themselves are walked again for the account
  // (ShownSectors), rather than held for every track at once.
  std::vector<int32_t> shown_count = std::vector<int32_t>(d88::kTrackCount);
  std::vector<std::string> shown_digest =
      std::vector<std::string>(d88::kTrackCount);
  // Each track's data bytes, all its records' data sizes summed.
  std::vector<int64_t> data_bytes = std::vector<int64_t>(d88::kTrackCount);
  bool signature_track = false;   // the track of `signature` is present
  bool signature_sector = false;  // and holds a sector with its ID
};

// A digest of the IDs and data sizes of `shown`, the records that a
// track's listing shows: equal for equal lists, and different for
// different ones as far as SHA-256 tells them apart.
std::string ShownDigest(const std::vector<ShownSector>& shown);

// The first `max` (at most kMaxIdsShown) records of track `track` of the
// image selected in `image`, as ScanTracks listed them: with `max` from the
// scan's shown_count, a walk that reads further now than during the scan
// (a read that failed then) lists no more than the scan counted.
std::vector<ShownSector> ShownSectors(d88::D88Image& image, int32_t track,
                                      int32_t max);

// Walks every track of the image selected in `image` and adds what the
// walks show to `anomalies`: tracks the reader does not read although the
// track table names them, and each track's AnomalyTexts. `signature` is
// the sector whose presence the scan notes. Tracks that start where an
// earlier track of the image starts hold the same records, and are not
// walked again.
//
// `trails`, unless null, are kept across the scans of one file's images: a
// walk that reaches the records of a long walk before it passes over them
// with that walk's trail, whatever the image, and a long walk becomes a
// trail.
TrackScan ScanTracks(d88::D88Image& image, int64_t file_size,
                     int32_t signature_track, d88::SectorId signature,
                     Anomalies* anomalies, WalkTrails* trails = nullptr);

// The scan of the image selected in `image` (in a file of `file_size`
// bytes) for the account, the game's signature sector noted, with the
// anomalies of the image as a whole added first: a disk size smaller than
// the header or running past the end of the file; then those of the tracks,
// then MediaMismatch's.
TrackScan ScanImage(d88::D88Image& image, int64_t file_size,
                    Anomalies* anomalies, WalkTrails* trails = nullptr);

// The name of media type `type`: 2D, 2DD, 2HD, 1D, 1DD; null for others.
const char* MediaName(int32_t type);

// Why the tracks found cannot lie on the medium that media type `media`
// names, and which medium they look like: a 2D disk holds at most 84 tracks,
// 2D and 2DD at most 6,250 data bytes a track; more tracks look like 2DD,
// more bytes like 2HD. Empty when they fit, or for other media types.
std::string MediaMismatch(int32_t media, const TrackScan& scan);

// Caps on the account of one image, which keep that of any file (64 images)
// within 2 MB: the tracks it lists with their IDs, the IDs they list in
// all, and the lines of anomalies.
constexpr int32_t kMaxTracksListed = 8;
constexpr int32_t kMaxIdsListed = 512;
constexpr size_t kMaxAnomalyLines = 16;

// The present tracks whose layout differs from `common` (all of them when
// `common` is null), as the account lists them: in order, each with the
// later tracks whose layout and shown records are the same, while at most
// kMaxTracksListed tracks with at most kMaxIdsListed shown records in all
// are listed; from the first track that does not fit on, the rest are only
// named.
struct TrackListing {
  struct Listed {
    int32_t track;
    std::vector<int32_t> same;  // ascending
  };
  std::vector<Listed> listed;
  std::vector<int32_t> not_listed;  // ascending
};
TrackListing ListDifferingTracks(const TrackScan& scan, const Layout* common);

// The most common layout among the tracks whose records agree, and how many
// tracks have it; the lowest track decides a tie. False if no track's
// records agree.
bool CommonLayout(const TrackScan& scan, Layout* common, int32_t* tracks);

}  // namespace info

#endif  // INFO_TRACK_ANALYSIS_H_
