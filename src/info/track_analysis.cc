#include "info/track_analysis.h"

#include <algorithm>

#include "d88/d88_format.h"
#include "game/game_layout.h"
#include "info/sha256.h"
#include "info/text.h"

namespace info {

using d88::D88Image;
using d88::kImageHeaderSize;
using d88::kMaxSectorCount;
using d88::kMaxSizeCode;
using d88::kSectorHeaderSize;
using d88::kTrackCount;
using d88::NominalSectorSize;
using d88::SectorHeader;
using d88::SectorId;
using d88::TrackState;

namespace {

uint32_t IdKey(SectorId id) {
  return static_cast<uint32_t>(id.c) << 24 | static_cast<uint32_t>(id.h) << 16 |
         static_cast<uint32_t>(id.r) << 8 | id.n;
}

ShownSector ShownOf(const SectorHeader& h) {
  return {h.id, static_cast<uint16_t>(h.data_size), h.status, h.deleted,
          h.density};
}

SectorId IdOfKey(uint32_t k) {
  return {static_cast<uint8_t>(k >> 24), static_cast<uint8_t>(k >> 16 & 0xFF),
          static_cast<uint8_t>(k >> 8 & 0xFF), static_cast<uint8_t>(k & 0xFF)};
}

// Sorts `keys` in place by their bytes from the one at `shift` down (a
// radix sort from the highest byte), and `tags`, unless null, along with
// them: no second buffer as large as the keys, and the same few passes
// whatever their order, where a quicksort meets crafted runs that make it
// fall back to a slower heapsort.
void SortKeys(uint32_t* keys, uint8_t* tags, size_t n, int shift = 24) {
  if (n < 32) {
    for (size_t i = 1; i < n; ++i) {
      const uint32_t key = keys[i];
      const uint8_t tag = tags != nullptr ? tags[i] : 0;
      size_t j = i;
      for (; j > 0 && keys[j - 1] > key; --j) {
        keys[j] = keys[j - 1];
        if (tags != nullptr) tags[j] = tags[j - 1];
      }
      keys[j] = key;
      if (tags != nullptr) tags[j] = tag;
    }
    return;
  }
  size_t end[256] = {};
  for (size_t i = 0; i < n; ++i) ++end[keys[i] >> shift & 0xFF];
  size_t next[256];
  size_t at = 0;
  for (size_t b = 0; b < 256; ++b) {
    next[b] = at;
    at += end[b];
    end[b] = at;
  }
  // Each key goes straight to its byte's bucket, swapping out the key
  // there, until the bucket being filled holds only its own.
  for (size_t b = 0; b < 256; ++b) {
    while (next[b] < end[b]) {
      const size_t here = next[b];
      const size_t d = keys[here] >> shift & 0xFF;
      if (d == b) {
        ++next[b];
      } else {
        const size_t there = next[d]++;
        std::swap(keys[here], keys[there]);
        if (tags != nullptr) std::swap(tags[here], tags[there]);
      }
    }
  }
  if (shift == 0) return;
  size_t begin = 0;
  for (size_t b = 0; b < 256; ++b) {
    SortKeys(keys + begin, tags != nullptr ? tags + begin : nullptr,
             end[b] - begin, shift - 8);
    begin = end[b];
  }
}

}  // namespace

TrackSurvey::TrackSurvey(const TrackBounds& bounds, SectorId signature)
    : bounds_(bounds), signature_(signature) {
  // Room for the longest walk, taken once, is touched only as far as walks
  // reach; growing step by step would hold an old and a new copy at once.
  ids_.reserve(kMaxSectorCount);
  segments_.reserve(kMaxSectorCount / WalkTrail::kSegmentRecords + 1);
  segment_keys_.reserve(WalkTrail::kSegmentRecords);
}

void TrackSurvey::Clear() {
  totals_ = RecordSummary();
  shown_.clear();
  first_count_ = 0;
  last_count_ = 0;
  ids_.clear();
  whole_walk_ = true;
  segments_.clear();
  segment_keys_.clear();
  wide_keys_.clear();
  trail_ = nullptr;
  skipped_.reset();
}

void TrackSurvey::Add(const SectorHeader& h) {
  const int32_t position = totals_.layout.sectors;
  if (position == 0) first_count_ = h.count;
  last_count_ = h.count;
  totals_.Add(h, bounds_.file_size, signature_);
  if (shown_.size() < static_cast<size_t>(kMaxIdsShown)) {
    shown_.push_back(ShownOf(h));
  }
  ids_.push_back(IdKey(h.id));
  if (whole_walk_) {
    if (position % WalkTrail::kSegmentRecords == 0) {
      CloseSegment();
      segments_.emplace_back();
    }
    segments_.back().Add(h, bounds_.file_size, signature_, position);
    if (h.count != 0) segment_keys_.push_back(h.count - 1 - position);
  }
}

void TrackSurvey::AddSkipped(const WalkTrail& trail, int32_t segment) {
  const WalkTrail::Segment& skipped = trail.segment(segment);
  totals_.Append(skipped.records);
  whole_walk_ = false;
  trail_ = &trail;
  skipped_.set(static_cast<size_t>(segment));
}

TrackSurvey::Duplicates TrackSurvey::FindDuplicates() const {
  Duplicates found;
  const size_t n = ids_.size();
  // A walk that followed the trail from some segment to its end: the
  // trail knows the IDs that repeat there, and the records added need
  // looking up alone.
  const int32_t segments = trail_ != nullptr ? trail_->segment_count() : 0;
  int32_t from = segments;
  while (from > 0 && skipped_.test(static_cast<size_t>(from - 1))) --from;
  if (trail_ == nullptr ||
      skipped_.count() == static_cast<size_t>(segments - from)) {
    const WalkTrail::Repeats* repeats =
        from < segments ? &trail_->RepeatsFrom(from) : nullptr;
    std::vector<uint32_t> more;
    int32_t more_count = 0;
    for (size_t i = 0; i < n;) {
      const uint32_t id = ids_[i];
      int32_t times = 0;
      for (; i < n && ids_[i] == id; ++i) ++times;
      const int32_t in_trail =
          repeats != nullptr ? trail_->CountFrom(id, from) : 0;
      // The trail counts an ID it repeats itself.
      if (in_trail >= 2 || times + in_trail < 2) continue;
      if (more_count++ < kMaxListed) more.push_back(id);
    }
    found.count = more_count + (repeats != nullptr ? repeats->count : 0);
    if (repeats != nullptr) {
      more.insert(more.end(), repeats->first, repeats->first + repeats->size);
      std::sort(more.begin(), more.end());
    }
    if (more.size() > static_cast<size_t>(kMaxListed)) {
      more.resize(static_cast<size_t>(kMaxListed));
    }
    found.first = std::move(more);
    return found;
  }
  // Any other segments: every ID of the trail is counted where its
  // segment was skipped.
  const size_t trail_n = trail_->ids().size();
  const uint32_t* trail_ids = trail_->ids().data();
  const uint8_t* trail_segments = trail_->id_segments().data();
  size_t i = 0;
  size_t j = 0;
  while (i < n || j < trail_n) {
    const uint32_t id = i == n         ? trail_ids[j]
                        : j == trail_n ? ids_[i]
                                       : std::min(ids_[i], trail_ids[j]);
    int32_t times = 0;
    for (; i < n && ids_[i] == id; ++i) ++times;
    for (; j < trail_n && trail_ids[j] == id; ++j) {
      if (skipped_.test(trail_segments[j])) ++times;
    }
    if (times >= 2 && found.count++ < kMaxListed) found.first.push_back(id);
  }
  return found;
}

std::vector<std::string> TrackSurvey::AnomalyTexts(bool file_ended) {
  std::vector<std::string> out;
  const int32_t count = totals_.layout.sectors;

  // Sector counts that disagree: the first header's count, then the others
  // in ascending order.
  const RecordSummary::Smallest& counts = totals_.counts;
  if (counts.size > 1) {
    std::string list = Format("%d", first_count_);
    int32_t listed = 1;
    for (int i = 0; i < counts.size; ++i) {
      const uint32_t c = counts.values[i];
      if (c == static_cast<uint32_t>(first_count_)) continue;
      if (listed++ == kMaxListed) {
        list += ", ...";
        break;
      }
      list += Format(", %u", c);
    }
    out.push_back("sector counts disagree (" + list + ")");
  }
  if (totals_.zero_count) {
    out.push_back("a sector count of 0 hides that sector and those after it");
  }

  // Data sizes other than 128 << N: each pair of N and data size once, by
  // N, then size.
  const RecordSummary::Smallest& odd = totals_.odd_sizes;
  for (int i = 0; i < odd.size; ++i) {
    if (i == kMaxListed) {
      out.push_back("more data sizes that differ from 128 << N");
      break;
    }
    const int n = static_cast<int>(odd.values[i] >> 16);
    const int size = static_cast<int>(odd.values[i] & 0xFFFF);
    out.push_back(
        n > kMaxSizeCode
            ? Format("data size %d with N %d (128 << %d is too large)", size, n,
                     n)
            : Format("data size %d with N %d (128 << %d is %lld)", size, n, n,
                     static_cast<long long>(NominalSectorSize(n))));
  }

  // Duplicate IDs, in ascending order: those of the records added, and of
  // the trail's records in the segments skipped.
  // A walk that may become a trail sorts its IDs with their segments.
  const bool tagged = whole_walk_ && count >= WalkTrail::kMinRecords;
  if (tagged) {
    id_segments_.resize(ids_.size());
    for (size_t i = 0; i < ids_.size(); ++i) {
      id_segments_[i] = static_cast<uint8_t>(i / WalkTrail::kSegmentRecords);
    }
  }
  SortKeys(ids_.data(), tagged ? id_segments_.data() : nullptr, ids_.size());
  const Duplicates duplicates = FindDuplicates();
  std::string list;
  for (const uint32_t id : duplicates.first) {
    list += (list.empty() ? "" : ", ") + IdText(IdOfKey(id));
  }
  if (duplicates.count > kMaxListed) {
    list += Format(" and %d more", duplicates.count - kMaxListed);
  }
  if (duplicates.count > 0) {
    out.push_back((duplicates.count == 1 ? "duplicate sector ID "
                                         : "duplicate sector IDs ") +
                  list);
  }

  // Records that run past the end of the file or, inside the file, past
  // the end of the image.
  if (file_ended || totals_.whole < count) {
    if (count == 0) {
      out.push_back("runs past the end of the file (no whole sector header)");
    } else {
      const int32_t declared = std::max(first_count_, count);
      out.push_back(Format("runs past the end of the file (%d of %s whole)",
                           totals_.whole,
                           Count(declared, "sector", "sectors").c_str()));
    }
  } else if (totals_.end > bounds_.image_end) {
    out.push_back("runs past the end of the image's disk size");
  }

  // The drive's marks.
  for (size_t status = 1; status < totals_.statuses.size(); ++status) {
    if (!totals_.statuses.test(status)) continue;
    out.push_back("sectors with status " +
                  StatusText(static_cast<uint8_t>(status)));
  }
  if (totals_.deleted) out.push_back("sectors with a deleted-data mark");
  return out;
}

void TrackSurvey::CloseSegment() {
  if (!segments_.empty() && segments_.back().wide()) {
    // Each key once, ascending, less the lowest.
    WalkTrail::Segment& last = segments_.back();
    std::sort(segment_keys_.begin(), segment_keys_.end());
    segment_keys_.erase(std::unique(segment_keys_.begin(), segment_keys_.end()),
                        segment_keys_.end());
    last.wide_at = static_cast<uint32_t>(wide_keys_.size());
    last.wide_count = static_cast<uint32_t>(segment_keys_.size());
    for (const int32_t key : segment_keys_) {
      wide_keys_.push_back(static_cast<uint16_t>(key - last.key_min));
    }
  }
  segment_keys_.clear();
}

bool TrackSurvey::TakeTrail(int64_t next, bool file_ended, WalkTrails* trails) {
  if (!whole_walk_ || totals_.layout.sectors < WalkTrail::kMinRecords) {
    return false;
  }
  // A header that lies inside the file but could not be read ends only
  // this walk: a read that failed is tried again by the next.
  const bool past_end =
      file_ended &&
      next > bounds_.file_size - static_cast<int64_t>(kSectorHeaderSize);
  CloseSegment();
  WalkTrail* trail = trails->Room(totals_.layout.sectors);
  if (trail == nullptr) return false;
  trail->Take({bounds_.file_size, signature_},
              {next, last_count_ == 0 || past_end, file_ended}, &segments_,
              &wide_keys_, &ids_, &id_segments_);
  ids_.reserve(kMaxSectorCount);
  segments_.reserve(kMaxSectorCount / WalkTrail::kSegmentRecords + 1);
  return true;
}

std::string StatusText(uint8_t status) {
  const std::string hex = Format("%02X", static_cast<unsigned>(status));
  const std::string meaning = StatusMeaning(status);
  return meaning == "status " + hex ? hex : hex + " (" + meaning + ")";
}

std::string StatusMeaning(uint8_t status) {
  switch (status) {
    case 0xA0:
      return "ID CRC error";
    case 0xB0:
      return "data CRC error";
    case 0xE0:
      return "no address mark";
    case 0xF0:
      return "no data mark";
    default:
      return Format("status %02X", static_cast<unsigned>(status));
  }
}

void Anomalies::Add(const std::string& what, int32_t track) {
  std::vector<int32_t>& tracks = Find(what).tracks;
  if (tracks.empty() || tracks.back() != track) tracks.push_back(track);
}

Anomalies::Entry& Anomalies::Find(const std::string& what) {
  const auto [it, added] = index_.emplace(what, entries_.size());
  if (added) entries_.push_back({what, {}});
  return entries_[it->second];
}

namespace {

// What the walk of ScanTracks hands each header to: the survey, and the
// trails whose segments it may skip (once it skipped some of one, that
// one alone), from where the walk last went on.
struct ScanVisit {
  TrackSurvey* survey;
  const WalkTrails* trails;
  WalkTrail::Terms terms;
  const WalkTrail* trail;  // the one followed, or null
  int64_t resumed_at;
  const WalkTrail* stopped_at;  // where the walk stopped: a trail's segment
  int32_t segment;
};

bool VisitHeader(void* context, const SectorHeader& header) {
  ScanVisit& visit = *static_cast<ScanVisit*>(context);
  // A segment of a trail is skipped only once the records the listing
  // shows are all added.
  if (visit.trails != nullptr && header.offset != visit.resumed_at &&
      visit.survey->layout().sectors >= kMaxIdsShown) {
    if (visit.trail != nullptr) {
      visit.segment = visit.trail->SegmentAt(header.offset);
      visit.stopped_at = visit.trail;
    } else {
      visit.stopped_at =
          visit.trails->Find(visit.terms, header.offset, &visit.segment);
    }
    if (visit.stopped_at != nullptr && visit.segment >= 0) return false;
  }
  visit.survey->Add(header);
  return true;
}

// Walks track `track` of the image selected in `image` into `survey`,
// skipping the segments of `trails` (unless null) that the walk follows;
// returns whether the walk ended at the end of the file, with `*next`
// after its last record.
bool WalkTrack(D88Image& image, int32_t track, TrackSurvey* survey,
               const WalkTrails* trails, const WalkTrail::Terms& terms,
               int64_t* next) {
  D88Image::WalkPlace place;
  *next = 0;
  if (!image.GetTrackStart(track, &place)) return false;
  ScanVisit visit = {survey, trails, terms, nullptr, -1, nullptr, -1};
  bool file_ended = false;
  for (;;) {
    visit.resumed_at = place.offset;
    if (image.WalkRecords(&place, &VisitHeader, &visit, &file_ended)) break;
    const WalkTrail& trail = *visit.stopped_at;
    int32_t through = visit.segment;
    const bool ended = trail.Skip(visit.segment, &place, &through, &file_ended);
    for (int32_t s = visit.segment; s < through; ++s) {
      survey->AddSkipped(trail, s);
      visit.trail = &trail;
    }
    if (ended) break;
  }
  *next = place.offset;
  return file_ended;
}

}  // namespace

std::string ShownDigest(const std::vector<ShownSector>& shown) {
  // What the listing compares: each record's ID and data size.
  std::vector<uint8_t> bytes;
  bytes.reserve(shown.size() * 6);
  for (const ShownSector& s : shown) {
    bytes.insert(bytes.end(), {s.id.c, s.id.h, s.id.r, s.id.n,
                               static_cast<uint8_t>(s.data_size & 0xFF),
                               static_cast<uint8_t>(s.data_size >> 8)});
  }
  return Sha256Hex(bytes.data(), bytes.size());
}

std::vector<ShownSector> ShownSectors(D88Image& image, int32_t track,
                                      int32_t max) {
  if (max > kMaxIdsShown) max = kMaxIdsShown;
  if (max <= 0) return {};
  std::vector<SectorHeader> headers(static_cast<size_t>(max));
  const int32_t n = image.ReadTrackHeaders(track, headers.data(), max, nullptr);
  std::vector<ShownSector> shown;
  for (int32_t i = 0; i < n; ++i) {
    const SectorHeader& h = headers[static_cast<size_t>(i)];
    shown.push_back(ShownOf(h));
  }
  return shown;
}

TrackScan ScanTracks(D88Image& image, int64_t file_size,
                     int32_t signature_track, SectorId signature,
                     Anomalies* anomalies, WalkTrails* trails) {
  TrackScan scan;
  TrackSurvey survey(
      {file_size, int64_t{image.GetImageBase()} + image.GetDiskSize()},
      signature);
  const WalkTrail::Terms terms = {file_size, signature};

  // What the walk from each track start found, for the tracks that start
  // there too.
  struct Walked {
    int32_t track;  // the first track that starts there
    std::vector<std::string> anomalies;
    bool has_signature;
  };
  std::map<int32_t, Walked> walked;
  for (int32_t t = 0; t < kTrackCount; ++t) {
    const TrackState state = image.GetTrackState(t);
    if (state == TrackState::kAbsent) continue;
    if (state == TrackState::kOutside) {
      anomalies->Add("offset outside the disk size, read as absent", t);
      continue;
    }
    const int32_t offset = image.GetTrackOffset(t);
    const size_t at = static_cast<size_t>(t);
    const auto same = walked.find(offset);
    if (same != walked.end()) {
      const Walked& w = same->second;
      const size_t first = static_cast<size_t>(w.track);
      scan.present.push_back(t);
      scan.layouts[at] = scan.layouts[first];
      scan.shown_count[at] = scan.shown_count[first];
      scan.shown_digest[at] = scan.shown_digest[first];
      scan.data_bytes[at] = scan.data_bytes[first];
      for (const std::string& what : w.anomalies) anomalies->Add(what, t);
      if (t == signature_track) {
        scan.signature_track = true;
        scan.signature_sector = w.has_signature;
      }
      continue;
    }
    survey.Clear();
    int64_t next = 0;
    const bool file_ended = WalkTrack(image, t, &survey, trails, terms, &next);
    Walked& w = walked[offset];
    w.track = t;
    w.anomalies = survey.AnomalyTexts(file_ended);
    w.has_signature = survey.signature_found();
    if (trails != nullptr) survey.TakeTrail(next, file_ended, trails);
    scan.present.push_back(t);
    scan.layouts[at] = survey.layout();
    scan.shown_count[at] = static_cast<int32_t>(survey.shown().size());
    scan.shown_digest[at] = ShownDigest(survey.shown());
    scan.data_bytes[at] = survey.data_bytes();
    for (const std::string& what : w.anomalies) anomalies->Add(what, t);
    if (t == signature_track) {
      scan.signature_track = true;
      scan.signature_sector = w.has_signature;
    }
  }
  return scan;
}

TrackScan ScanImage(D88Image& image, int64_t file_size, Anomalies* anomalies,
                    WalkTrails* trails) {
  const int32_t base = image.GetImageBase();
  const int32_t disk_size = image.GetDiskSize();
  if (disk_size < static_cast<int64_t>(kImageHeaderSize)) {
    anomalies->Add(Format("disk size %d is smaller than the %d-byte header",
                          disk_size, static_cast<int>(kImageHeaderSize)));
  } else if (disk_size > file_size - base) {
    anomalies->Add(
        Format("disk size runs %lld bytes past the end of the file",
               static_cast<long long>(int64_t{base} + disk_size - file_size)));
  }
  const TrackScan scan =
      ScanTracks(image, file_size, game::kSignatureSector.track,
                 game::kSignatureSector.id, anomalies, trails);
  const std::string media = MediaMismatch(image.GetMediaType(), scan);
  if (!media.empty()) anomalies->Add(media);
  return scan;
}

const char* MediaName(int32_t type) {
  switch (type) {
    case 0x00:
      return "2D";
    case 0x10:
      return "2DD";
    case 0x20:
      return "2HD";
    case 0x30:
      return "1D";
    case 0x40:
      return "1DD";
    default:
      return nullptr;
  }
}

std::string MediaMismatch(int32_t media, const TrackScan& scan) {
  // Unformatted capacity at 250 kbit/s and 300 rpm, FM or MFM alike.
  constexpr int64_t kMaxDoubleDensityTrackBytes = 6250;
  constexpr size_t kMax2DTracks = 84;
  const char* named = media == 0x00 ? "2D" : media == 0x10 ? "2DD" : nullptr;
  if (named == nullptr) return "";
  int64_t most = 0;
  for (const int32_t t : scan.present) {
    most = std::max(most, scan.data_bytes[static_cast<size_t>(t)]);
  }
  const bool too_many_tracks =
      media == 0x00 && scan.present.size() > kMax2DTracks;
  const bool too_many_bytes = most > kMaxDoubleDensityTrackBytes;
  if (!too_many_tracks && !too_many_bytes) return "";
  std::string why;
  if (too_many_tracks) {
    why =
        Format("%d tracks (%d at most)", static_cast<int>(scan.present.size()),
               static_cast<int>(kMax2DTracks));
  }
  if (too_many_bytes) {
    why += (why.empty() ? "" : " and ") +
           Format("%lld data bytes on a track (%lld at most)",
                  static_cast<long long>(most),
                  static_cast<long long>(kMaxDoubleDensityTrackBytes));
  }
  return Format("media type %s cannot hold ", named) + why + ": looks like " +
         (too_many_bytes ? "2HD" : "2DD");
}

bool CommonLayout(const TrackScan& scan, Layout* common, int32_t* tracks) {
  std::vector<std::pair<Layout, int32_t>> seen;
  for (int32_t t : scan.present) {
    const Layout& layout = scan.layouts[static_cast<size_t>(t)];
    if (layout.sectors == 0 || layout.mixed) continue;
    auto it = std::find_if(seen.begin(), seen.end(),
                           [&](const auto& s) { return s.first == layout; });
    if (it == seen.end()) {
      seen.push_back({layout, 1});
    } else {
      ++it->second;
    }
  }
  *tracks = 0;
  for (const auto& [layout, count] : seen) {
    if (count > *tracks) {
      *common = layout;
      *tracks = count;
    }
  }
  return *tracks > 0;
}

TrackListing ListDifferingTracks(const TrackScan& scan, const Layout* common) {
  std::vector<int32_t> differ;
  for (int32_t t : scan.present) {
    if (common == nullptr ||
        !(scan.layouts[static_cast<size_t>(t)] == *common)) {
      differ.push_back(t);
    }
  }
  TrackListing listing;
  std::vector<bool> named(kTrackCount);
  int32_t ids_left = kMaxIdsListed;
  for (size_t i = 0; i < differ.size(); ++i) {
    const size_t t = static_cast<size_t>(differ[i]);
    if (named[t]) continue;
    std::vector<int32_t> same;
    for (size_t j = i + 1; j < differ.size(); ++j) {
      const size_t u = static_cast<size_t>(differ[j]);
      if (!named[u] && scan.layouts[u] == scan.layouts[t] &&
          scan.shown_count[u] == scan.shown_count[t] &&
          scan.shown_digest[u] == scan.shown_digest[t]) {
        named[u] = true;
        same.push_back(differ[j]);
      }
    }
    const int32_t ids = scan.shown_count[t];
    if (!listing.not_listed.empty() ||
        listing.listed.size() == static_cast<size_t>(kMaxTracksListed) ||
        ids > ids_left) {
      listing.not_listed.push_back(differ[i]);
      listing.not_listed.insert(listing.not_listed.end(), same.begin(),
                                same.end());
      continue;
    }
    ids_left -= ids;
    listing.listed.push_back({differ[i], same});
  }
  std::sort(listing.not_listed.begin(), listing.not_listed.end());
  return listing;
}

}  // namespace info
