#include "info/track_analysis.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "d88/d88_format.h"
#include "info/text.h"

namespace d88 {

namespace {

// Lists of sector counts and duplicate IDs name this many at most.
constexpr int32_t kMaxListed = 8;

// Sector counts that disagree: the first header's count, then the others in
// ascending order.
void NoteCounts(const SectorHeader* headers, int32_t count,
                std::vector<std::string>* out) {
  bool zero_count = false;
  // Which counts occur, as a bit set: a walk can hold 65,535 records.
  std::vector<bool> seen(kMaxSectorCount + 1);
  int32_t distinct = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t c = headers[i].count;
    if (c == 0) {
      zero_count = true;
    } else if (!seen[static_cast<size_t>(c)]) {
      seen[static_cast<size_t>(c)] = true;
      ++distinct;
    }
  }
  if (distinct > 1) {
    const int32_t first = headers[0].count;
    std::string list = Format("%d", first);
    int32_t listed = 1;
    for (int32_t c = 1; c <= kMaxSectorCount; ++c) {
      if (!seen[static_cast<size_t>(c)] || c == first) continue;
      if (listed++ == kMaxListed) {
        list += ", ...";
        break;
      }
      list += Format(", %d", c);
    }
    out->push_back("sector counts disagree (" + list + ")");
  }
  if (zero_count) {
    out->push_back("a sector count of 0 hides that sector and those after it");
  }
}

// Data sizes other than 128 << N: each pair of N and data size once, by N,
// then size.
void NoteDataSizes(const SectorHeader* headers, int32_t count,
                   std::vector<std::string>* out) {
  // The smallest kMaxListed + 1 pairs, which is all the text names, kept
  // sorted and distinct.
  std::vector<uint32_t> odd;
  for (int32_t i = 0; i < count; ++i) {
    const SectorHeader& h = headers[i];
    if (h.id.n <= kMaxSizeCode && h.data_size == NominalSectorSize(h.id.n)) {
      continue;
    }
    const uint32_t key = static_cast<uint32_t>(h.id.n) << 16 |
                         static_cast<uint32_t>(h.data_size);
    const auto at = std::lower_bound(odd.begin(), odd.end(), key);
    if (at != odd.end() && *at == key) continue;
    if (odd.size() > static_cast<size_t>(kMaxListed)) {
      if (at == odd.end()) continue;
      odd.pop_back();
    }
    odd.insert(std::lower_bound(odd.begin(), odd.end(), key), key);
  }
  for (size_t i = 0; i < odd.size(); ++i) {
    if (i == kMaxListed) {
      out->push_back("more data sizes that differ from 128 << N");
      break;
    }
    const int n = static_cast<int>(odd[i] >> 16);
    const int size = static_cast<int>(odd[i] & 0xFFFF);
    out->push_back(
        n > kMaxSizeCode
            ? Format("data size %d with N %d (128 << %d is too large)", size, n,
                     n)
            : Format("data size %d with N %d (128 << %d is %lld)", size, n, n,
                     static_cast<long long>(NominalSectorSize(n))));
  }
}

uint32_t IdKey(SectorId id) {
  return static_cast<uint32_t>(id.c) << 24 | static_cast<uint32_t>(id.h) << 16 |
         static_cast<uint32_t>(id.r) << 8 | id.n;
}

void NoteDuplicates(const SectorHeader* headers, int32_t count,
                    std::vector<std::string>* out) {
  std::vector<uint32_t> keys(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    keys[static_cast<size_t>(i)] = IdKey(headers[i].id);
  }
  std::sort(keys.begin(), keys.end());
  std::string duplicates;
  int32_t duplicated = 0;
  for (size_t i = 1; i < keys.size(); ++i) {
    if (keys[i] != keys[i - 1] || (i >= 2 && keys[i] == keys[i - 2])) {
      continue;
    }
    if (duplicated++ >= kMaxListed) continue;
    const uint32_t k = keys[i];
    duplicates += (duplicates.empty() ? "" : ", ") +
                  IdText({static_cast<uint8_t>(k >> 24),
                          static_cast<uint8_t>(k >> 16 & 0xFF),
                          static_cast<uint8_t>(k >> 8 & 0xFF),
                          static_cast<uint8_t>(k & 0xFF)});
  }
  if (duplicated > kMaxListed) {
    duplicates += Format(" and %d more", duplicated - kMaxListed);
  }
  if (duplicated > 0) {
    out->push_back(
        (duplicated == 1 ? "duplicate sector ID " : "duplicate sector IDs ") +
        duplicates);
  }
}

// A track whose records run past the end of the file or, inside the file,
// past the end of the image.
void NoteEnds(const SectorHeader* headers, int32_t count, bool file_ended,
              const TrackBounds& bounds, std::vector<std::string>* out) {
  int32_t whole = 0;
  bool past_image = false;
  for (int32_t i = 0; i < count; ++i) {
    const int64_t end = headers[i].offset +
                        static_cast<int64_t>(kSectorHeaderSize) +
                        headers[i].data_size;
    if (end <= bounds.file_size) ++whole;
    if (end > bounds.image_end) past_image = true;
  }
  if (file_ended || whole < count) {
    if (count == 0) {
      out->push_back("runs past the end of the file (no whole sector header)");
    } else {
      const int32_t declared = std::max(headers[0].count, count);
      out->push_back(Format("runs past the end of the file (%d of %s whole)",
                            whole,
                            Count(declared, "sector", "sectors").c_str()));
    }
  } else if (past_image) {
    out->push_back("runs past the end of the image's disk size");
  }
}

}  // namespace

Layout LayoutOf(const SectorHeader* headers, int32_t count) {
  Layout layout;
  layout.sectors = count;
  if (count == 0) return layout;
  layout.n = headers[0].id.n;
  layout.data_size = headers[0].data_size;
  for (int32_t i = 1; i < count; ++i) {
    if (headers[i].id.n != layout.n ||
        headers[i].data_size != layout.data_size) {
      layout.mixed = true;
    }
  }
  return layout;
}

std::vector<std::string> TrackAnomalies(const SectorHeader* headers,
                                        int32_t count, bool file_ended,
                                        const TrackBounds& bounds) {
  std::vector<std::string> out;
  NoteCounts(headers, count, &out);
  NoteDataSizes(headers, count, &out);
  NoteDuplicates(headers, count, &out);
  NoteEnds(headers, count, file_ended, bounds, &out);
  return out;
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

TrackScan ScanTracks(D88Image& image, int64_t file_size,
                     int32_t signature_track, SectorId signature,
                     Anomalies* anomalies) {
  TrackScan scan;
  const TrackBounds bounds = {
      file_size, int64_t{image.GetImageBase()} + image.GetDiskSize()};
  // Room for the longest walk. The memory is left untouched beyond what
  // the walks fill, so a short walk costs a short walk's memory.
  const std::unique_ptr<SectorHeader[], decltype(&std::free)> buffer(
      static_cast<SectorHeader*>(
          std::malloc(sizeof(SectorHeader) * kMaxSectorCount)),
      &std::free);
  SectorHeader* const headers = buffer.get();
  if (headers == nullptr) return scan;

  // What the walk from each track start found, for the tracks that start
  // there too.
  struct Walked {
    int32_t track;  // the first track that starts there
    std::vector<std::string> anomalies;
    bool has_signature;
  };
  std::map<int32_t, Walked> walked;
  for (int32_t t = 0; t < kTrackCount; ++t) {
    const int32_t offset = image.GetTrackOffset(t);
    if (offset == 0) continue;
    const size_t at = static_cast<size_t>(t);
    const auto same = walked.find(offset);
    if (same != walked.end()) {
      const Walked& w = same->second;
      const size_t first = static_cast<size_t>(w.track);
      scan.present.push_back(t);
      scan.layouts[at] = scan.layouts[first];
      scan.shown[at] = scan.shown[first];
      for (const std::string& what : w.anomalies) anomalies->Add(what, t);
      if (t == signature_track) {
        scan.signature_track = true;
        scan.signature_sector = w.has_signature;
      }
      continue;
    }
    bool file_ended = false;
    const int32_t count =
        image.ReadTrackHeaders(t, headers, kMaxSectorCount, &file_ended);
    // A track that lists nothing without reaching the end of the file fails
    // the reader's offset test, as does every track that starts there.
    if (count == 0 && !file_ended) {
      anomalies->Add("offset outside the disk size, read as absent", t);
      continue;
    }
    Walked& w = walked[offset];
    w.track = t;
    scan.present.push_back(t);
    scan.layouts[at] = LayoutOf(headers, count);
    for (int32_t i = 0; i < std::min(count, kMaxIdsShown); ++i) {
      scan.shown[at].push_back(
          {headers[i].id, static_cast<uint16_t>(headers[i].data_size)});
    }
    w.anomalies = TrackAnomalies(headers, count, file_ended, bounds);
    for (const std::string& what : w.anomalies) anomalies->Add(what, t);
    w.has_signature = false;
    for (int32_t i = 0; i < count; ++i) {
      // A lookup never finds a record whose count is 0.
      if (headers[i].count != 0 && headers[i].id == signature) {
        w.has_signature = true;
      }
    }
    if (t == signature_track) {
      scan.signature_track = true;
      scan.signature_sector = w.has_signature;
    }
  }
  return scan;
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
          scan.shown[u] == scan.shown[t]) {
        named[u] = true;
        same.push_back(differ[j]);
      }
    }
    const int32_t ids = static_cast<int32_t>(scan.shown[t].size());
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

}  // namespace d88
