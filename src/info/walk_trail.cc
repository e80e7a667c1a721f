#include "info/walk_trail.h"

#include <algorithm>

#include "d88/d88_format.h"

namespace info {

using d88::kMaxSizeCode;
using d88::kSectorHeaderSize;
using d88::NominalSectorSize;
using d88::SectorHeader;
using d88::SectorId;

void RecordSummary::Smallest::Insert(uint32_t value) {
  int at = size;
  while (at > 0 && values[at - 1] > value) --at;
  if (at > 0 && values[at - 1] == value) return;
  if (at == kKept) return;
  const int last = size < kKept ? size : kKept - 1;
  for (int i = last; i > at; --i) values[i] = values[i - 1];
  values[at] = value;
  if (size < kKept) ++size;
}

void RecordSummary::Add(const SectorHeader& h, int64_t file_size,
                        SectorId signature) {
  if (layout.sectors == 0) {
    layout.n = h.id.n;
    layout.data_size = h.data_size;
  } else if (h.id.n != layout.n || h.data_size != layout.data_size) {
    layout.mixed = true;
  }
  ++layout.sectors;
  data_bytes += h.data_size;
  statuses.set(h.status);
  if (h.deleted == kDeletedMark) deleted = true;
  if (h.count == 0) {
    zero_count = true;
  } else {
    counts.Insert(static_cast<uint32_t>(h.count));
    // A lookup never finds a record whose count is 0.
    if (h.id == signature) found = true;
  }
  if (h.id.n > kMaxSizeCode || h.data_size != NominalSectorSize(h.id.n)) {
    odd_sizes.Insert(static_cast<uint32_t>(h.id.n) << 16 |
                     static_cast<uint32_t>(h.data_size));
  }
  const int64_t record_end =
      h.offset + static_cast<int64_t>(kSectorHeaderSize) + h.data_size;
  if (record_end <= file_size) ++whole;
  end = std::max(end, record_end);
}

void RecordSummary::Append(const RecordSummary& later) {
  if (later.layout.sectors == 0) return;
  if (layout.sectors == 0) {
    layout = later.layout;
  } else {
    if (later.layout.mixed || later.layout.n != layout.n ||
        later.layout.data_size != layout.data_size) {
      layout.mixed = true;
    }
    layout.sectors += later.layout.sectors;
  }
  zero_count = zero_count || later.zero_count;
  for (int i = 0; i < later.counts.size; ++i) {
    counts.Insert(later.counts.values[i]);
  }
  for (int i = 0; i < later.odd_sizes.size; ++i) {
    odd_sizes.Insert(later.odd_sizes.values[i]);
  }
  whole += later.whole;
  end = std::max(end, later.end);
  data_bytes += later.data_bytes;
  statuses |= later.statuses;
  deleted = deleted || later.deleted;
  found = found || later.found;
}

void WalkTrail::Segment::Add(const SectorHeader& header, int64_t file_size,
                             SectorId signature, int32_t position) {
  if (records.layout.sectors == 0) offset = header.offset;
  records.Add(header, file_size, signature);
  if (header.count == 0) return;
  const int32_t key = header.count - 1 - position;
  const int32_t old_min = key_min;
  key_min = std::min(key_min, key);
  key_max = std::max(key_max, key);
  if (int64_t{key_max} - key_min >= kKeyBits) return;
  // Keep the set relative to the lowest key.
  if (key_min < old_min && old_min != INT32_MAX) {
    keys <<= static_cast<size_t>(old_min - key_min);
  }
  keys.set(static_cast<size_t>(key - key_min));
}

bool WalkTrail::Segment::MayEnd(int64_t delta,
                                const std::vector<uint16_t>& wide_keys) const {
  if (delta < key_min || delta > key_max) return false;
  if (int64_t{key_max} - key_min < kKeyBits) {
    return keys.test(static_cast<size_t>(delta - key_min));
  }
  if (!wide()) return true;
  const auto first = wide_keys.begin() + wide_at;
  return std::binary_search(first, first + wide_count,
                            static_cast<uint16_t>(delta - key_min));
}

int32_t WalkTrail::SegmentAt(int64_t offset) const {
  // A walk's offsets ascend, so the segments' first records do.
  const auto it = std::lower_bound(
      segments_.begin(), segments_.end(), offset,
      [](const Segment& s, int64_t value) { return s.offset < value; });
  if (it == segments_.end() || it->offset != offset) return -1;
  return static_cast<int32_t>(it - segments_.begin());
}

bool WalkTrail::Skip(int32_t segment, d88::D88Image::WalkPlace* place,
                     int32_t* through, bool* file_ended) const {
  const int64_t delta =
      int64_t{place->index} - int64_t{segment} * kSegmentRecords;
  // The trail's position of the record at which the walk's first count
  // ends it.
  const int64_t last = int64_t{place->first_count} - 1 - delta;
  int32_t s = segment;
  for (; s < static_cast<int32_t>(segments_.size()); ++s) {
    const Segment& seg = segments_[static_cast<size_t>(s)];
    const int64_t begin = int64_t{s} * kSegmentRecords;
    if (last < begin + seg.records.layout.sectors ||
        seg.MayEnd(delta, wide_keys_)) {
      // The walk may end inside: it visits this segment's records itself.
      *through = s;
      place->offset = seg.offset;
      place->index = static_cast<int32_t>(begin + delta);
      return false;
    }
  }
  *through = s;
  place->offset = end_.next;
  place->index = static_cast<int32_t>(records_ + delta);
  if (!end_.for_all) return false;
  *file_ended = end_.file_ended;
  return true;
}

void WalkTrail::Take(const Terms& terms, const End& end,
                     std::vector<Segment>* segments,
                     std::vector<uint16_t>* wide_keys,
                     std::vector<uint32_t>* ids,
                     std::vector<uint8_t>* id_segments) {
  terms_ = terms;
  end_ = end;
  records_ = static_cast<int32_t>(ids->size());
  segments_.swap(*segments);
  wide_keys_.swap(*wide_keys);
  ids_.swap(*ids);
  id_segments_.swap(*id_segments);
  segments->clear();
  wide_keys->clear();
  ids->clear();
  id_segments->clear();

  // An ID repeats among the records from segment s on while s is at most
  // the second highest segment of its records.
  repeats_.assign(segments_.size(), Repeats());
  std::vector<int32_t> last_repeating(segments_.size() + 1);
  for (size_t i = 0; i < ids_.size();) {
    size_t group_end = i + 1;
    int32_t highest = id_segments_[i];
    int32_t second = -1;
    for (; group_end < ids_.size() && ids_[group_end] == ids_[i]; ++group_end) {
      const int32_t seg = id_segments_[group_end];
      if (seg > highest) {
        second = highest;
        highest = seg;
      } else if (seg > second) {
        second = seg;
      }
    }
    if (second >= 0) {
      ++last_repeating[static_cast<size_t>(second)];
      for (int32_t s = 0; s <= second; ++s) {
        Repeats& r = repeats_[static_cast<size_t>(s)];
        if (r.size < kMaxListed) r.first[r.size++] = ids_[i];
      }
    }
    i = group_end;
  }
  int32_t from_here = 0;
  for (size_t s = segments_.size(); s-- > 0;) {
    from_here += last_repeating[s];
    repeats_[s].count = from_here;
  }
}

void WalkTrail::Release() {
  terms_ = {};
  end_ = {};
  records_ = 0;
  std::vector<Segment>().swap(segments_);
  std::vector<uint16_t>().swap(wide_keys_);
  std::vector<uint32_t>().swap(ids_);
  std::vector<uint8_t>().swap(id_segments_);
  std::vector<Repeats>().swap(repeats_);
}

const WalkTrail* WalkTrails::Find(const WalkTrail::Terms& terms, int64_t offset,
                                  int32_t* segment) const {
  for (const WalkTrail& trail : trails_) {
    if (trail.empty() || !(trail.terms() == terms)) continue;
    *segment = trail.SegmentAt(offset);
    if (*segment >= 0) return &trail;
  }
  return nullptr;
}

WalkTrail* WalkTrails::Room(int32_t records) {
  for (;;) {
    int32_t kept = 0;
    int oldest = -1;
    int free = -1;
    for (int i = 0; i < kMaxTrails; ++i) {
      if (trails_[i].empty()) {
        free = i;
        continue;
      }
      kept += trails_[i].records();
      if (oldest < 0 || taken_[i] < taken_[oldest]) oldest = i;
    }
    if (free >= 0 && records <= d88::kMaxSectorCount - kept) {
      taken_[free] = ++clock_;
      return &trails_[free];
    }
    // With every trail released there is room for a walk's records.
    if (oldest < 0) return nullptr;
    trails_[oldest].Release();
  }
}

int32_t WalkTrail::CountFrom(uint32_t id, int32_t segment) const {
  int32_t count = 0;
  for (auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
       it != ids_.end() && *it == id; ++it) {
    if (id_segments_[static_cast<size_t>(it - ids_.begin())] >= segment) {
      ++count;
    }
  }
  return count;
}

}  // namespace info
