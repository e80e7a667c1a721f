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

// Lists of sector counts and duplicate IDs name this many at most.
constexpr int32_t kMaxListed = 8;

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
// radix sort from the highest byte): no second buffer as large as the
// keys, and the same few passes whatever their order, where a quicksort
// meets crafted runs that make it fall back to a slower heapsort.
void SortKeys(uint32_t* keys, size_t n, int shift = 24) {
  if (n < 32) {
    for (size_t i = 1; i < n; ++i) {
      const uint32_t key = keys[i];
      size_t j = i;
      for (; j > 0 && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
      keys[j] = key;
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
      const uint32_t key = keys[next[b]];
      const size_t d = key >> shift & 0xFF;
      if (d == b) {
        ++next[b];
      } else {
        keys[next[b]] = keys[next[d]];
        keys[next[d]++] = key;
      }
    }
  }
  if (shift == 0) return;
  size_t begin = 0;
  for (size_t b = 0; b < 256; ++b) {
    SortKeys(keys + begin, end[b] - begin, shift - 8);
    begin = end[b];
  }
}

}  // namespace

TrackSurvey::TrackSurvey(const TrackBounds& bounds)
    : bounds_(bounds), count_seen_(kMaxSectorCount + 1) {
  // Room for the longest walk, taken once, is touched only as far as walks
  // reach; growing step by step would hold an old and a new copy at once.
  ids_.reserve(kMaxSectorCount);
}

void TrackSurvey::Clear() {
  layout_ = Layout();
  shown_.clear();
  first_count_ = 0;
  zero_count_ = false;
  for (const int32_t c : counts_) count_seen_[static_cast<size_t>(c)] = false;
  counts_.clear();
  odd_sizes_.clear();
  last_odd_size_ = UINT32_MAX;
  ids_.clear();
  whole_ = 0;
  past_image_ = false;
  data_bytes_ = 0;
  statuses_.reset();
  deleted_ = false;
}

void TrackSurvey::Add(const SectorHeader& h) {
  if (layout_.sectors == 0) {
    first_count_ = h.count;
    layout_.n = h.id.n;
    layout_.data_size = h.data_size;
  } else if (h.id.n != layout_.n || h.data_size != layout_.data_size) {
    layout_.mixed = true;
  }
  ++layout_.sectors;
  if (shown_.size() < static_cast<size_t>(kMaxIdsShown)) {
    shown_.push_back(ShownOf(h));
  }
  data_bytes_ += h.data_size;
  statuses_.set(h.status);
  if (h.deleted == kDeletedMark) deleted_ = true;

  if (h.count == 0) {
    zero_count_ = true;
  } else if (!count_seen_[static_cast<size_t>(h.count)]) {
    count_seen_[static_cast<size_t>(h.count)] = true;
    counts_.push_back(h.count);
  }

  // Data sizes other than 128 << N: only the smallest kMaxListed + 1 pairs
  // of N and data size are kept, which is all the text names.
  const uint32_t key =
      static_cast<uint32_t>(h.id.n) << 16 | static_cast<uint32_t>(h.data_size);
  if ((h.id.n > kMaxSizeCode || h.data_size != NominalSectorSize(h.id.n)) &&
      key != last_odd_size_) {
    last_odd_size_ = key;
    auto at = std::lower_bound(odd_sizes_.begin(), odd_sizes_.end(), key);
    const bool full = odd_sizes_.size() > static_cast<size_t>(kMaxListed);
    if ((at == odd_sizes_.end() || *at != key) &&
        !(full && at == odd_sizes_.end())) {
      if (full) odd_sizes_.pop_back();
      at = std::lower_bound(odd_sizes_.begin(), odd_sizes_.end(), key);
      odd_sizes_.insert(at, key);
    }
  }

  ids_.push_back(IdKey(h.id));

  const int64_t end =
      h.offset + static_cast<int64_t>(kSectorHeaderSize) + h.data_size;
  if (end <= bounds_.file_size) ++whole_;
  if (end > bounds_.image_end) past_image_ = true;
}

std::vector<std::string> TrackSurvey::AnomalyTexts(bool file_ended) {
  std::vector<std::string> out;
  const int32_t count = layout_.sectors;

  // Sector counts that disagree: the first header's count, then the others
  // in ascending order.
  if (counts_.size() > 1) {
    std::sort(counts_.begin(), counts_.end());
    std::string list = Format("%d", first_count_);
    int32_t listed = 1;
    for (const int32_t c : counts_) {
      if (c == first_count_) continue;
      if (listed++ == kMaxListed) {
        list += ", ...";
        break;
      }
      list += Format(", %d", c);
    }
    out.push_back("sector counts disagree (" + list + ")");
  }
  if (zero_count_) {
    out.push_back("a sector count of 0 hides that sector and those after it");
  }

  // Data sizes other than 128 << N: each pair of N and data size once, by
  // N, then size.
  for (size_t i = 0; i < odd_sizes_.size(); ++i) {
    if (i == kMaxListed) {
      out.push_back("more data sizes that differ from 128 << N");
      break;
    }
    const int n = static_cast<int>(odd_sizes_[i] >> 16);
    const int size = static_cast<int>(odd_sizes_[i] & 0xFFFF);
    out.push_back(
        n > kMaxSizeCode
            ? Format("data size %d with N %d (128 << %d is too large)", size, n,
                     n)
            : Format("data size %d with N %d (128 << %d is %lld)", size, n, n,
                     static_cast<long long>(NominalSectorSize(n))));
  }

  // Duplicate IDs, in ascending order.
  SortKeys(ids_.data(), ids_.size());
  std::string duplicates;
  int32_t duplicated = 0;
  for (size_t i = 1; i < ids_.size(); ++i) {
    if (ids_[i] != ids_[i - 1] || (i >= 2 && ids_[i] == ids_[i - 2])) {
      continue;
    }
    if (duplicated++ >= kMaxListed) continue;
    duplicates += (duplicates.empty() ? "" : ", ") + IdText(IdOfKey(ids_[i]));
  }
  if (duplicated > kMaxListed) {
    duplicates += Format(" and %d more", duplicated - kMaxListed);
  }
  if (duplicated > 0) {
    out.push_back(
        (duplicated == 1 ? "duplicate sector ID " : "duplicate sector IDs ") +
        duplicates);
  }

  // Records that run past the end of the file or, inside the file, past
  // the end of the image.
  if (file_ended || whole_ < count) {
    if (count == 0) {
      out.push_back("runs past the end of the file (no whole sector header)");
    } else {
      const int32_t declared = std::max(first_count_, count);
      out.push_back(Format("runs past the end of the file (%d of %s whole)",
                           whole_,
                           Count(declared, "sector", "sectors").c_str()));
    }
  } else if (past_image_) {
    out.push_back("runs past the end of the image's disk size");
  }

  // The drive's marks.
  for (size_t status = 1; status < statuses_.size(); ++status) {
    if (!statuses_.test(status)) continue;
    out.push_back("sectors with status " +
                  StatusText(static_cast<uint8_t>(status)));
  }
  if (deleted_) out.push_back("sectors with a deleted-data mark");
  return out;
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

// What the walk of ScanTracks hands each header to.
struct ScanVisit {
  TrackSurvey* survey;
  SectorId signature;
  bool has_signature;
};

void VisitHeader(void* context, const SectorHeader& header) {
  ScanVisit& visit = *static_cast<ScanVisit*>(context);
  visit.survey->Add(header);
  // A lookup never finds a record whose count is 0.
  if (header.count != 0 && header.id == visit.signature) {
    visit.has_signature = true;
  }
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
                     Anomalies* anomalies) {
  TrackScan scan;
  TrackSurvey survey(
      {file_size, int64_t{image.GetImageBase()} + image.GetDiskSize()});

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
    ScanVisit visit = {&survey, signature, false};
    bool file_ended = false;
    image.VisitTrackHeaders(t, &VisitHeader, &visit, &file_ended);
    Walked& w = walked[offset];
    w.track = t;
    w.anomalies = survey.AnomalyTexts(file_ended);
    w.has_signature = visit.has_signature;
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

TrackScan ScanImage(D88Image& image, int64_t file_size, Anomalies* anomalies) {
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
                 game::kSignatureSector.id, anomalies);
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
