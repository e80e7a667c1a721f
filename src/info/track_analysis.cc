#include "info/track_analysis.h"

#include <algorithm>
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
  std::vector<uint32_t> counts;
  for (int32_t i = 0; i < count; ++i) {
    if (headers[i].count == 0) {
      zero_count = true;
    } else {
      counts.push_back(static_cast<uint32_t>(headers[i].count));
    }
  }
  std::sort(counts.begin(), counts.end());
  counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
  if (counts.size() > 1) {
    const uint32_t first = static_cast<uint32_t>(headers[0].count);
    std::string list = Format("%u", first);
    int32_t listed = 1;
    for (const uint32_t c : counts) {
      if (c == first) continue;
      if (listed++ == kMaxListed) {
        list += ", ...";
        break;
      }
      list += Format(", %u", c);
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
  std::vector<uint32_t> odd;
  for (int32_t i = 0; i < count; ++i) {
    const SectorHeader& h = headers[i];
    if (h.id.n > kMaxSizeCode || h.data_size != NominalSectorSize(h.id.n)) {
      odd.push_back(static_cast<uint32_t>(h.id.n) << 16 |
                    static_cast<uint32_t>(h.data_size));
    }
  }
  std::sort(odd.begin(), odd.end());
  odd.erase(std::unique(odd.begin(), odd.end()), odd.end());
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
  // Room for the longest walk; only the part a walk fills is touched.
  const std::unique_ptr<SectorHeader[]> buffer(
      new SectorHeader[kMaxSectorCount]);
  SectorHeader* const headers = buffer.get();
  for (int32_t t = 0; t < kTrackCount; ++t) {
    if (image.GetTrackOffset(t) == 0) continue;
    bool file_ended = false;
    const int32_t count =
        image.ReadTrackHeaders(t, headers, kMaxSectorCount, &file_ended);
    // A track that lists nothing without reaching the end of the file fails
    // the reader's offset test.
    if (count == 0 && !file_ended) {
      anomalies->Add("offset outside the disk size, read as absent", t);
      continue;
    }
    const size_t at = static_cast<size_t>(t);
    scan.present.push_back(t);
    scan.layouts[at] = LayoutOf(headers, count);
    scan.shown[at].assign(headers, headers + std::min(count, kMaxIdsShown));
    for (const std::string& what :
         TrackAnomalies(headers, count, file_ended, bounds)) {
      anomalies->Add(what, t);
    }
    if (t != signature_track) continue;
    scan.signature_track = true;
    for (int32_t i = 0; i < count; ++i) {
      // A lookup never finds a record whose count is 0.
      if (headers[i].count != 0 && headers[i].id == signature) {
        scan.signature_sector = true;
      }
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

}  // namespace d88
