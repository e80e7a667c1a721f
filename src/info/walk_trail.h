// What runs of a walk's records show, in a form that joins run by run, and
// the trail of one long walk kept in that form, so that later walks that
// reach its records can pass over them without visiting each one.

#ifndef INFO_WALK_TRAIL_H_
#define INFO_WALK_TRAIL_H_

#include <bitset>
#include <cstdint>
#include <vector>

#include "d88/d88_image.h"

namespace info {

// The sector layout of a track: how many records, and their N and data
// size when all records agree on both.
struct Layout {
  int32_t sectors = 0;
  bool mixed = false;
  int n = 0;
  int32_t data_size = 0;

  bool operator==(const Layout& other) const {
    return sectors == other.sectors && mixed == other.mixed && n == other.n &&
           data_size == other.data_size;
  }
};

// The value of the deleted-mark byte that marks deleted data.
constexpr uint8_t kDeletedMark = 0x10;

// Lists of sector counts, data sizes and duplicate IDs in the anomaly texts
// name this many at most.
constexpr int32_t kMaxListed = 8;

// What consecutive records of a walk show, but for their IDs: their layout
// (N and data size of the first), the sector counts and odd data sizes
// that the anomaly texts can name, where they end, and their marks.
// Append joins the summary of the records that follow, so that a summary
// of a walk's records in pieces equals that of the records added one by
// one.
struct RecordSummary {
  // A list of distinct values, ascending, of which only the smallest
  // kKept are kept: all that a text names, and whether there are more.
  static constexpr int kKept = kMaxListed + 1;
  struct Smallest {
    uint32_t values[kKept];
    int size = 0;
    void Insert(uint32_t value);
  };

  Layout layout;
  bool zero_count = false;
  Smallest counts;     // the counts other than 0
  Smallest odd_sizes;  // N << 16 | data size, where that is not 128 << N
  int32_t whole = 0;   // records that end inside the file
  int64_t end = 0;     // where the record that reaches furthest ends
  int64_t data_bytes = 0;
  std::bitset<256> statuses;
  bool deleted = false;
  bool found = false;  // a record with a count other than 0 has the ID sought

  // Adds the record of `header`, in a file of `file_size` bytes, where a
  // lookup of the sector `signature` would find it if it matches.
  void Add(const d88::SectorHeader& header, int64_t file_size,
           d88::SectorId signature);
  void Append(const RecordSummary& later);
};

// The records of one walk that went at least kMinRecords without help, in
// segments of kSegmentRecords: each segment's RecordSummary, where its
// first record lies, and which index a walk must not have at which of its
// records (where the record's count would end it). Its IDs are kept sorted,
// each with its segment, which a later walk's duplicate IDs are found in.
//
// A later walk that reaches the first record of a segment follows the
// trail's records from there on exactly: their headers are the same, only
// its index differs by some delta. Until a record's count or its own first
// count ends it, it visits what the trail's walk visited, and Skip adds up
// whole segments without visiting them; past the trail's end it goes on by
// itself, unless the trail's walk ended for every walk there.
//
// Memory: the IDs take 5 bytes a record, the segments about 300 bytes
// each, and the keys of segments whose keys are spread wide 2 bytes a
// record; at most 65,535 records, kept for the scans of one file.
class WalkTrail {
 public:
  static constexpr int32_t kSegmentRecords = 512;
  static constexpr int32_t kMinRecords = 2 * kSegmentRecords;
  // Segment numbers fit a byte, and a walk's segments 128 bits.
  static constexpr int32_t kMaxSegments = 128;
  static_assert(d88::kMaxSectorCount / kSegmentRecords < kMaxSegments,
                "a walk's segments fit");

  struct Segment {
    int64_t offset = 0;  // of the segment's first record
    RecordSummary records;
    // The keys count - 1 - position of its records whose count is not 0:
    // a walk whose index at a record is the trail's position plus delta
    // ends there if the key is delta. Their range, and which values of it
    // occur: in `keys` while the range spans fewer than kKeyBits, else as
    // `wide_count` values less key_min from `wide_at` on in the trail's
    // wide keys, ascending (none while the range spans 65,536 or more).
    int32_t key_min = INT32_MAX;
    int32_t key_max = INT32_MIN;
    static constexpr int32_t kKeyBits = 512;
    std::bitset<kKeyBits> keys;
    uint32_t wide_at = 0;
    uint32_t wide_count = 0;

    void Add(const d88::SectorHeader& header, int64_t file_size,
             d88::SectorId signature, int32_t position);
    // Whether its keys span kKeyBits or more, but fewer than 65,536.
    bool wide() const {
      const int64_t span = int64_t{key_max} - key_min;
      return span >= kKeyBits && span <= 0xFFFF;
    }
    // False if no record's count ends a walk with this delta; `wide_keys`
    // holds the trail's wide keys.
    bool MayEnd(int64_t delta, const std::vector<uint16_t>& wide_keys) const;
  };

  // What the trail was gathered under: summaries hold for these alone.
  struct Terms {
    int64_t file_size;
    d88::SectorId signature;
    bool operator==(const Terms& other) const {
      return file_size == other.file_size && signature == other.signature;
    }
  };

  // How the trail's walk ended: after its last record, at `next`; for every
  // walk that gets there if `for_all` (the header at `next` cannot be read
  // whole, `file_ended`, or the last record's count is 0).
  struct End {
    int64_t next;
    bool for_all;
    bool file_ended;
  };

  WalkTrail() = default;
  WalkTrail(const WalkTrail&) = delete;
  WalkTrail& operator=(const WalkTrail&) = delete;

  bool empty() const { return segments_.empty(); }
  // The records of the trail's walk.
  int32_t records() const { return records_; }

  // Empties the trail and frees its memory.
  void Release();
  const Terms& terms() const { return terms_; }

  // The segment whose first record lies at `offset`; -1 if none does.
  int32_t SegmentAt(int64_t offset) const;

  // For a walk stopped at `*place`, the first record of segment `segment`,
  // with kMaxIdsShown or more records visited: stores into `*through` the
  // segment up to which (not included) the walk visits each record exactly
  // as the trail's walk did, and moves `*place` past those segments.
  // Returns true if the walk ends with them, as the trail's walk ended
  // (`*file_ended` as it did, `*place` after the trail's last record);
  // else `*place` is where the walk goes on: the first record of segment
  // `*through`, or the record after the trail's last.
  bool Skip(int32_t segment, d88::D88Image::WalkPlace* place, int32_t* through,
            bool* file_ended) const;

  const Segment& segment(int32_t index) const {
    return segments_[static_cast<size_t>(index)];
  }

  // The trail's IDs as numbers (see TrackSurvey), ascending, and the
  // segment of each.
  const std::vector<uint32_t>& ids() const { return ids_; }
  const std::vector<uint8_t>& id_segments() const { return id_segments_; }

  // The IDs that more than one of the trail's records from segment
  // `segment` on have: how many, and the smallest kMaxListed, ascending.
  struct Repeats {
    int32_t count = 0;
    int size = 0;
    uint32_t first[kMaxListed];
  };
  const Repeats& RepeatsFrom(int32_t segment) const {
    return repeats_[static_cast<size_t>(segment)];
  }

  // The number of the trail's records from segment `segment` on whose ID
  // is `id`.
  int32_t CountFrom(uint32_t id, int32_t segment) const;

  int32_t segment_count() const {
    return static_cast<int32_t>(segments_.size());
  }

  // Makes this the trail of a walk under `terms` that ended as `end`: takes
  // its segments, the wide keys of them and its IDs sorted with their
  // segments, leaving in their place the buffers this trail held.
  void Take(const Terms& terms, const End& end, std::vector<Segment>* segments,
            std::vector<uint16_t>* wide_keys, std::vector<uint32_t>* ids,
            std::vector<uint8_t>* id_segments);

 private:
  Terms terms_ = {};
  End end_ = {};
  int32_t records_ = 0;
  std::vector<Segment> segments_;
  std::vector<uint16_t> wide_keys_;
  std::vector<uint32_t> ids_;
  std::vector<uint8_t> id_segments_;
  std::vector<Repeats> repeats_;  // by segment
};

// The trails of the scans of one file: up to kMaxTrails, of at most
// kMaxSectorCount records in all (as many as one walk visits), so that
// walks that lead into a few long runs of records by turns each find
// theirs. A new trail takes the place of the oldest ones as far as it needs
// room.
class WalkTrails {
 public:
  static constexpr int kMaxTrails = 4;

  WalkTrails() = default;
  WalkTrails(const WalkTrails&) = delete;
  WalkTrails& operator=(const WalkTrails&) = delete;

  // The trail gathered under `terms` one of whose segments begins at
  // `offset`, with that segment in `*segment`; null if there is none.
  const WalkTrail* Find(const WalkTrail::Terms& terms, int64_t offset,
                        int32_t* segment) const;

  // An empty trail for a walk of `records` records (at most
  // kMaxSectorCount), made room for by releasing the oldest trails first;
  // null for more records.
  WalkTrail* Room(int32_t records);

 private:
  WalkTrail trails_[kMaxTrails];
  uint64_t taken_[kMaxTrails] = {};  // when each was given out; 0: never
  uint64_t clock_ = 0;
};

}  // namespace info

#endif  // INFO_WALK_TRAIL_H_
