// The analysis of tracks, in-process, on tables of sector headers.

#include "info/track_analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "d88/d88_format.h"
#include "d88/d88_image.h"
#include "d88/file_source.h"
#include "testing/d88_builder.h"
#include "testing/run_process.h"

namespace info {

using d88::NominalSectorSize;

using d88::SectorHeader;
using d88::SectorId;
namespace {

// Headers of a track laid out back to back from file offset 1000: one per
// entry of `ids`, each with `count` and `size` unless `counts` or `sizes`
// give a value for its position.
struct TrackPlan {
  std::vector<SectorId> ids;
  int32_t count;
  int32_t size;
  std::vector<std::pair<size_t, int32_t>> counts = {};
  std::vector<std::pair<size_t, int32_t>> sizes = {};
};

std::vector<SectorHeader> Headers(const TrackPlan& t) {
  std::vector<SectorHeader> out;
  int64_t offset = 1000;
  for (const SectorId& id : t.ids) {
    SectorHeader h = {offset, id, t.count, t.size};
    for (const auto& [at, value] : t.counts) {
      if (at == out.size()) h.count = value;
    }
    for (const auto& [at, value] : t.sizes) {
      if (at == out.size()) h.data_size = value;
    }
    offset += 16 + h.data_size;
    out.push_back(h);
  }
  return out;
}

// The layout and the anomaly texts of `count` headers, surveyed as one
// track.
Layout LayoutOf(const SectorHeader* headers, int32_t count) {
  TrackSurvey survey({0, 0});
  for (int32_t i = 0; i < count; ++i) survey.Add(headers[i]);
  return survey.layout();
}

std::vector<std::string> TrackAnomalies(const SectorHeader* headers,
                                        int32_t count, bool file_ended,
                                        const TrackBounds& bounds) {
  TrackSurvey survey(bounds);
  for (int32_t i = 0; i < count; ++i) survey.Add(headers[i]);
  return survey.AnomalyTexts(file_ended);
}

// R 1 to `n` on cylinder 0, head 0, with size code `code`.
std::vector<SectorId> Numbered(int n, uint8_t code = 3) {
  std::vector<SectorId> ids;
  for (int r = 1; r <= n; ++r)
    ids.push_back({0, 0, static_cast<uint8_t>(r), code});
  return ids;
}

TEST(TrackAnalysisTest, AnomaliesOfOneTrack) {
  const int64_t kEnd = 1000 + 8 * (16 + 1024);  // end of a sound track
  const TrackBounds inside = {1 << 20, 1 << 20};
  struct Case {
    const char* what;
    TrackPlan track;
    bool file_ended;
    TrackBounds bounds;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"sound", {Numbered(8), 8, 1024}, false, inside, {}},
      {"a later header says 3",
       {Numbered(3), 8, 1024, {{2, 3}}},
       false,
       inside,
       {"sector counts disagree (8, 3)"}},
      {"first says 9, others 10 to 20",
       {Numbered(9),
        9,
        1024,
        {{1, 10},
         {2, 11},
         {3, 12},
         {4, 13},
         {5, 14},
         {6, 15},
         {7, 16},
         {8, 17}}},
       false,
       inside,
       {"sector counts disagree (9, 10, 11, 12, 13, 14, 15, 16, ...)"}},
      {"a count of 0",
       {Numbered(3), 8, 1024, {{2, 0}}},
       false,
       inside,
       {"a sector count of 0 hides that sector and those after it"}},
      {"short sectors, each pair once",
       {Numbered(8), 8, 1024, {}, {{1, 512}, {5, 512}, {6, 256}}},
       false,
       inside,
       {"data size 256 with N 3 (128 << 3 is 1024)",
        "data size 512 with N 3 (128 << 3 is 1024)"}},
      {"a size code past 23",
       {{{0, 0, 1, 30}}, 1, 1024},
       false,
       inside,
       {"data size 1024 with N 30 (128 << 30 is too large)"}},
      {"duplicate IDs",
       {{{0, 0, 1, 3}, {0, 0, 2, 3}, {0, 0, 1, 3}, {0, 0, 1, 3}, {0, 0, 2, 3}},
        5,
        1024},
       false,
       inside,
       {"duplicate sector IDs 0/0/1/3, 0/0/2/3"}},
      {"the file ends in the third record",
       {Numbered(8), 8, 1024},
       true,
       {1000 + 2 * (16 + 1024) + 20, 1 << 20},
       {"runs past the end of the file (2 of 8 sectors whole)"}},
      {"no whole header",
       {{}, 0, 0},
       true,
       inside,
       {"runs past the end of the file (no whole sector header)"}},
      {"one byte past the image",
       {Numbered(8), 8, 1024},
       false,
       {1 << 20, kEnd - 1},
       {"runs past the end of the image's disk size"}},
      {"ends exactly at the image's end",
       {Numbered(8), 8, 1024},
       false,
       {kEnd, kEnd},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<SectorHeader> headers = Headers(c.track);
    EXPECT_EQ(
        TrackAnomalies(headers.data(), static_cast<int32_t>(headers.size()),
                       c.file_ended, c.bounds),
        c.expected);
  }
}

// Duplicate IDs of tracks of any length and order: listed in ascending
// order, eight at most, as a count of the distinct IDs seen more than once.
TEST(TrackAnalysisTest, DuplicateIdsAreFoundInAnyOrder) {
  std::mt19937 random(11);
  for (int round = 0; round < 40; ++round) {
    const size_t n = 1 + random() % 3000;
    // IDs from a range that makes repeats likely, with every byte varying.
    const uint32_t spread = 1 + static_cast<uint32_t>(random() % 4000);
    TrackPlan plan = {{}, static_cast<int32_t>(n), 1024};
    std::map<uint32_t, int> seen;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t key =
          static_cast<uint32_t>(random() % spread) * 0x01010101u ^ 0x00FF00FFu;
      plan.ids.push_back(
          {static_cast<uint8_t>(key >> 24), static_cast<uint8_t>(key >> 16),
           static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key)});
      ++seen[key];
    }
    std::string expected;
    int duplicated = 0;
    for (const auto& [key, times] : seen) {
      if (times < 2 || ++duplicated > 8) continue;
      expected += (expected.empty() ? "" : ", ") + std::to_string(key >> 24) +
                  "/" + std::to_string(key >> 16 & 0xFF) + "/" +
                  std::to_string(key >> 8 & 0xFF) + "/" +
                  std::to_string(key & 0xFF);
    }
    if (duplicated > 8)
      expected += " and " + std::to_string(duplicated - 8) + " more";
    const std::vector<SectorHeader> headers = Headers(plan);
    std::string found;
    for (const std::string& text :
         TrackAnomalies(headers.data(), static_cast<int32_t>(headers.size()),
                        false, {1 << 30, 1 << 30})) {
      if (text.rfind("duplicate", 0) == 0) found = text;
    }
    SCOPED_TRACE(round);
    if (duplicated == 0) {
      EXPECT_EQ(found, "");
    } else {
      EXPECT_EQ(found, (duplicated == 1 ? "duplicate sector ID "
                                        : "duplicate sector IDs ") +
                           expected);
    }
  }
}

TEST(TrackAnalysisTest, LayoutIsMixedWhenSizeCodeOrDataSizeDiffers) {
  struct Case {
    const char* what;
    TrackPlan track;
    Layout expected;
  };
  const Case cases[] = {
      {"uniform", {Numbered(8), 8, 1024}, {8, false, 3, 1024}},
      {"one data size differs",
       {Numbered(8), 8, 1024, {}, {{7, 512}}},
       {8, true, 3, 1024}},
      {"one size code differs",
       {{{0, 0, 1, 3}, {0, 0, 2, 2}}, 2, 1024},
       {2, true, 3, 1024}},
      {"empty", {{}, 0, 0}, {0, false, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<SectorHeader> headers = Headers(c.track);
    EXPECT_EQ(LayoutOf(headers.data(), static_cast<int32_t>(headers.size())),
              c.expected);
  }
}

TEST(TrackAnalysisTest,
     CommonLayoutIsTheMostFrequentAndTheLowestTrackBreaksTies) {
  const Layout eight = {8, false, 3, 1024};
  const Layout sixteen = {16, false, 1, 256};
  const Layout mixed = {8, true, 3, 1024};
  TrackScan scan;
  auto put = [&scan](int32_t t, const Layout& layout) {
    scan.present.push_back(t);
    scan.layouts[static_cast<size_t>(t)] = layout;
  };
  // Mixed and empty tracks never count.
  put(0, mixed);
  put(1, {});
  Layout common;
  int32_t tracks = -1;
  EXPECT_FALSE(CommonLayout(scan, &common, &tracks));
  EXPECT_EQ(tracks, 0);

  put(2, sixteen);
  put(3, eight);
  put(4, mixed);
  put(5, mixed);
  ASSERT_TRUE(CommonLayout(scan, &common, &tracks));
  EXPECT_EQ(common, sixteen);  // first seen of two with one track each
  EXPECT_EQ(tracks, 1);

  put(6, eight);
  ASSERT_TRUE(CommonLayout(scan, &common, &tracks));
  EXPECT_EQ(common, eight);
  EXPECT_EQ(tracks, 2);
}

TEST(TrackAnalysisTest,
     AnomaliesGatherTracksUnderTheirTextInTheOrderFirstSeen) {
  Anomalies anomalies;
  anomalies.Add("b", 3);
  anomalies.Add("image-wide");
  anomalies.Add("a", 3);
  anomalies.Add("b", 3);  // the same track again is kept once
  anomalies.Add("b", 7);
  const std::vector<Anomalies::Entry>& entries = anomalies.entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].what, "b");
  EXPECT_EQ(entries[0].tracks, (std::vector<int32_t>{3, 7}));
  EXPECT_EQ(entries[1].what, "image-wide");
  EXPECT_TRUE(entries[1].tracks.empty());
  EXPECT_EQ(entries[2].what, "a");
}

// What a survey reports after Clear depends on the headers added since
// alone, also where the earlier track's counts, sizes and IDs would change
// it; the data sizes it names are the smallest, whatever their order.
TEST(TrackAnalysisTest, SurveyOfATrackForgetsTheTrackBefore) {
  const TrackBounds inside = {1 << 20, 1 << 20};
  std::mt19937 rng(7);
  TrackSurvey reused(inside);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    TrackPlan plan = {{}, 1 + static_cast<int32_t>(rng() % 4), 1024};
    const size_t records = rng() % 40;
    for (size_t i = 0; i < records; ++i) {
      plan.ids.push_back({0, 0, static_cast<uint8_t>(rng() % 6),
                          static_cast<uint8_t>(rng() % 4)});
      if (rng() % 3 == 0) {
        plan.counts.push_back({i, static_cast<int32_t>(rng() % 5)});
      }
      if (rng() % 2 == 0) {
        plan.sizes.push_back({i, static_cast<int32_t>(rng() % 16)});
      }
    }
    const std::vector<SectorHeader> headers = Headers(plan);
    const int32_t count = static_cast<int32_t>(headers.size());
    reused.Clear();
    for (const SectorHeader& h : headers) reused.Add(h);
    const bool file_ended = rng() % 2 == 0;
    TrackSurvey fresh(inside);
    for (const SectorHeader& h : headers) fresh.Add(h);
    EXPECT_EQ(reused.layout(), LayoutOf(headers.data(), count));
    EXPECT_EQ(reused.AnomalyTexts(file_ended), fresh.AnomalyTexts(file_ended));

    // The odd data sizes, sorted by N and size, as the texts name them.
    std::vector<std::pair<int, int>> odd;
    for (const SectorHeader& h : headers) {
      if (h.data_size != NominalSectorSize(h.id.n)) {
        odd.push_back({h.id.n, h.data_size});
      }
    }
    std::sort(odd.begin(), odd.end());
    odd.erase(std::unique(odd.begin(), odd.end()), odd.end());
    std::vector<std::string> named;
    bool more = false;
    for (const std::string& text :
         TrackAnomalies(headers.data(), count, file_ended, inside)) {
      if (text.rfind("data size ", 0) == 0) named.push_back(text);
      if (text.rfind("more data sizes ", 0) == 0) more = true;
    }
    ASSERT_EQ(named.size(), std::min<size_t>(odd.size(), 8));
    EXPECT_EQ(more, odd.size() > 8);
    for (size_t i = 0; i < named.size(); ++i) {
      EXPECT_EQ(named[i].substr(0, named[i].find(" (")),
                "data size " + std::to_string(odd[i].second) + " with N " +
                    std::to_string(odd[i].first));
    }
  }
}

// A file whose tracks lead, through each other, into one long block of
// records with fields drawn at random: IDs from a small pool, sizes, marks,
// counts that end walks by their index here and there (with `narrow_keys`,
// counts that keep each segment's keys within a few hundred values), a
// count of 0, data past the end or a cut header near the end, and disk
// sizes that end inside the block.
std::vector<uint8_t> RandomBlockFile(std::mt19937& rng, bool narrow_keys) {
  const auto pick = [&rng](uint32_t n) {
    return static_cast<uint32_t>(rng() % n);
  };
  const size_t images = 1 + pick(3);
  const size_t starts = 1 + pick(6);
  const size_t image_size = d88::kImageHeaderSize + 16 * starts;
  const size_t block_start = image_size * images;
  // One block, or up to three that end every walk at their last record,
  // of records without data, so that every block lies within reach.
  const uint32_t blocks = pick(3) == 0 ? 2 + pick(2) : 1;
  const uint32_t block = blocks == 1 ? 1100 + pick(2400) : 1100 + pick(300);
  const uint32_t id_pool = pick(2) == 0 ? 1 << 16 : 1 + pick(4000);
  std::vector<uint8_t> out(block_start);
  const auto record = [&](size_t at, uint32_t count, uint16_t data_size) {
    const uint32_t id = pick(id_pool);
    out[at + d88::kSectorCOffset] = static_cast<uint8_t>(id >> 8);
    out[at + d88::kSectorROffset] = static_cast<uint8_t>(id);
    out[at + d88::kSectorNOffset] = static_cast<uint8_t>(pick(4));
    out[at + d88::kSectorCountOffset] = static_cast<uint8_t>(count);
    out[at + d88::kSectorCountOffset + 1] = static_cast<uint8_t>(count >> 8);
    if (pick(50) == 0) out[at + d88::kStatusOffset] = 0xB0;
    if (pick(80) == 0) out[at + d88::kDeletedOffset] = kDeletedMark;
    out[at + d88::kDataSizeOffset] = static_cast<uint8_t>(data_size);
    out[at + d88::kDataSizeOffset + 1] = static_cast<uint8_t>(data_size >> 8);
  };
  // The blocks: each record's offset, for the starts that jump into them.
  std::vector<std::vector<size_t>> offsets(blocks);
  const uint32_t key = 1000 + pick(400);
  for (std::vector<size_t>& block_offsets : offsets) {
    const bool last_block = &block_offsets == &offsets.back();
    for (uint32_t q = 0; q < block; ++q) {
      block_offsets.push_back(out.size());
      uint32_t count = 0xFFFF;
      if (narrow_keys) count = q + key + (pick(16) == 0 ? pick(61) : 30) - 829;
      if (pick(40) == 0) count = q + 1 + pick(140) - 70;  // ends some walks
      if (q + 1 == block && (!last_block || pick(3) == 0)) count = 0;
      uint16_t size =
          pick(4) == 0 && blocks == 1 ? static_cast<uint16_t>(pick(40)) : 0;
      const bool past_end = q + 1 == block && last_block && pick(3) == 0;
      if (past_end) size = 5000;
      out.resize(out.size() + 16 + (past_end ? 100 : size));
      record(block_offsets.back(), count, size);
    }
  }
  if (pick(3) == 0) out.resize(out.size() + 5);  // a cut header
  for (size_t k = 0; k < images; ++k) {
    const size_t base = image_size * k;
    const uint32_t disk_size = static_cast<uint32_t>(
        pick(2) == 0 ? image_size
                     : block_start + pick(static_cast<uint32_t>(out.size() -
                                                                block_start)));
    for (size_t b = 0; b < 4; ++b) {
      out[base + d88::kDiskSizeOffset + b] =
          static_cast<uint8_t>(disk_size >> (8 * b));
    }
    for (size_t j = 0; j < starts; ++j) {
      const size_t here = base + d88::kImageHeaderSize + 16 * j;
      // The next image's record j, or a record early in a block.
      const std::vector<size_t>& into = offsets[pick(blocks)];
      const size_t next =
          k + 1 < images && pick(4) != 0
              ? here + image_size
              : into[pick(4) == 0 ? pick(block) : pick(block / 8)];
      const uint32_t count = pick(3) == 0 ? 300 + pick(3000) : 0xFFFF;
      record(here, count, static_cast<uint16_t>(next - here - 16));
    }
    for (size_t t = 0; t < 20 + pick(30); ++t) {
      const uint32_t entry = static_cast<uint32_t>(
          d88::kImageHeaderSize + 16 * pick(static_cast<uint32_t>(starts)));
      for (size_t b = 0; b < 4; ++b) {
        out[base + d88::kTrackTableOffset + 4 * t + b] =
            static_cast<uint8_t>(entry >> (8 * b));
      }
    }
  }
  return out;
}

// Surveys that skip over a trail of an earlier long walk find exactly what
// walking every record finds, whatever the counts that end the walks.
TEST(TrackAnalysisTest, WalksThatSkipATrailFindWhatWalkingFinds) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE(round);
    const std::vector<uint8_t> file = RandomBlockFile(rng, round % 2 == 1);
    const int64_t size = static_cast<int64_t>(file.size());
    d88::D88Image image;
    ASSERT_TRUE(image.OpenMemory(file.data(), file.size()));
    WalkTrails trails;
    for (int32_t i = 0; i < image.GetImageCount(); ++i) {
      SCOPED_TRACE(i);
      ASSERT_TRUE(image.SelectImage(i));
      Anomalies walked;
      Anomalies skipped;
      const TrackScan plain = ScanImage(image, size, &walked);
      const TrackScan quick = ScanImage(image, size, &skipped, &trails);
      EXPECT_EQ(quick.present, plain.present);
      EXPECT_EQ(quick.layouts, plain.layouts);
      EXPECT_EQ(quick.shown_count, plain.shown_count);
      EXPECT_EQ(quick.shown_digest, plain.shown_digest);
      EXPECT_EQ(quick.data_bytes, plain.data_bytes);
      EXPECT_EQ(quick.signature_sector, plain.signature_sector);
      ASSERT_EQ(skipped.entries().size(), walked.entries().size());
      for (size_t e = 0; e < walked.entries().size(); ++e) {
        EXPECT_EQ(skipped.entries()[e].what, walked.entries()[e].what);
        EXPECT_EQ(skipped.entries()[e].tracks, walked.entries()[e].tracks);
      }
    }
  }
}

// Where a walk that reaches a segment of a trail stops following it: at
// the segment whose records its first count or a record's count ends it
// in, else after the trail.
TEST(TrackAnalysisTest, SkipStopsAtTheSegmentWhereTheWalkMayEnd) {
  // 1,500 records of 16 bytes from offset 1000, in segments 0 to 2: the
  // count of record q ends a walk whose index there is q + 100, but that of
  // record 700 one whose index there is 705 and that of record 1100 one
  // whose index there is 3100.
  const TrackBounds inside = {1 << 20, 1 << 20};
  TrackSurvey survey(inside);
  for (int32_t q = 0; q < 1500; ++q) {
    survey.Add({1000 + 16 * int64_t{q},
                {static_cast<uint8_t>(q >> 8), 0, static_cast<uint8_t>(q), 0},
                q == 700    ? 706
                : q == 1100 ? 3101
                            : q + 101,
                0});
  }
  survey.AnomalyTexts(false);
  WalkTrails trails;
  ASSERT_TRUE(survey.TakeTrail(1000 + 16 * 1500, false, &trails));
  int32_t segment = -1;
  const WalkTrail* found =
      trails.Find({inside.file_size, {}}, 1000 + 16 * 512, &segment);
  ASSERT_NE(found, nullptr);
  const WalkTrail& trail = *found;
  ASSERT_EQ(segment, 1);
  EXPECT_EQ(trail.SegmentAt(1000 + 16 * 513), -1);
  struct Case {
    const char* what;
    int32_t index;  // at the first record of segment 1
    int32_t first_count;
    int32_t through;  // 3: after the trail
  };
  const Case cases[] = {
      {"to the end", 512, 0xFFFF, 3},
      {"first count ends it at segment 1's last record", 512, 1024, 1},
      {"first count ends it at segment 2's first record", 512, 1025, 2},
      {"record 700's count ends it", 517, 0xFFFF, 1},
      {"record 700's count misses it", 516, 0xFFFF, 3},
      {"between the two, no count ends it", 562, 0xFFFF, 3},
      {"another record's count ends it", 612, 0xFFFF, 1},
      {"between segment 2's keys, far apart, none ends it", 662, 0xFFFF, 3},
      {"record 1100's count ends it", 2512, 0xFFFF, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    d88::D88Image::WalkPlace place = {1000 + 16 * 512, c.index, c.first_count};
    int32_t through = -1;
    bool file_ended = true;
    EXPECT_FALSE(trail.Skip(1, &place, &through, &file_ended));
    EXPECT_EQ(through, c.through);
    EXPECT_EQ(
        place.offset,
        1000 + 16 * int64_t{c.through * 512 < 1500 ? c.through * 512 : 1500});
    EXPECT_EQ(place.index, std::min(c.through * 512, 1500) + c.index - 512);
    EXPECT_EQ(place.first_count, c.first_count);
  }
}

// Reads of the 16 bytes at `at` fail while `left` is above 0.
struct FailingHeader {
  int64_t at;
  int left;
};

size_t ReadFailingHeader(void* context, intptr_t file, int64_t offset,
                         uint8_t* buf, size_t len, int* code) {
  FailingHeader& f = *static_cast<FailingHeader*>(context);
  if (f.left > 0 && offset < f.at + 16 &&
      offset + static_cast<int64_t>(len) > f.at) {
    --f.left;
    *code = 5;  // an I/O error
    return 0;
  }
  return d88::ReadFromSystem(file, offset, buf, len, code);
}

// A header that the trail's walk could not read ends that walk alone: the
// next walk reads it again, as a walk without the trail does.
TEST(TrackAnalysisTest, AReadThatFailedOnceIsTriedAgainByLaterWalks) {
  // 2,500 records of 16 bytes, the last with count 0; track 0 starts at
  // the first, track 1 at the second.
  const size_t start = d88::kImageHeaderSize;
  d88test::Bytes file(start + 16 * 2500);
  for (size_t q = 0; q < 2500; ++q) {
    const size_t at = start + 16 * q;
    file[at + d88::kSectorCOffset] = static_cast<uint8_t>(q >> 8);
    file[at + d88::kSectorROffset] = static_cast<uint8_t>(q);
    d88test::StoreU16(file, at + d88::kSectorCountOffset,
                      q == 2499 ? 0 : 0xFFFF);
  }
  d88test::StoreU32(file, d88::kDiskSizeOffset,
                    static_cast<uint32_t>(file.size()));
  d88test::StoreU32(file, d88::kTrackTableOffset, static_cast<uint32_t>(start));
  d88test::StoreU32(file, d88::kTrackTableOffset + 4,
                    static_cast<uint32_t>(start + 16));
  d88test::TempDir dir;
  const std::string path = dir.File("failing.d88");
  ASSERT_TRUE(d88test::WriteFileBytes(path, file));
  FailingHeader failing = {32768, 0};
  const d88::FileSource source = {ReadFailingHeader, &failing};
  d88::SetFileSource(&source);
  std::vector<std::string> texts[2];
  for (int with_trail = 0; with_trail < 2; ++with_trail) {
    failing.left = 3;  // the block, the header, and the read that retries it
    d88::D88Image image;
    ASSERT_TRUE(image.Open(path.c_str()));
    ASSERT_TRUE(image.SelectImage(0));
    WalkTrails trails;
    Anomalies anomalies;
    ScanImage(image, static_cast<int64_t>(file.size()), &anomalies,
              with_trail == 1 ? &trails : nullptr);
    for (const Anomalies::Entry& e : anomalies.entries()) {
      std::string text = e.what + " on";
      for (const int32_t t : e.tracks) text += " " + std::to_string(t);
      texts[with_trail].push_back(text);
    }
  }
  d88::SetFileSource(nullptr);
  EXPECT_EQ(texts[1], texts[0]);
}

// Runs of records that walks lead into by turns each keep their trail
// while they fit: at most four, of at most 65,535 records in all, the
// oldest giving way first; short walks make none.
TEST(TrackAnalysisTest, TrailsKeepTheLatestRunsThatFit) {
  const TrackBounds inside = {int64_t{1} << 30, int64_t{1} << 30};
  WalkTrails trails;
  const auto take = [&](int64_t run, int32_t records) {
    TrackSurvey survey(inside);
    for (int32_t q = 0; q < records; ++q) {
      survey.Add({(run << 20) + 16 * int64_t{q}, {}, 0xFFFF, 0});
    }
    survey.AnomalyTexts(false);
    return survey.TakeTrail((run << 20) + 16 * int64_t{records}, false,
                            &trails);
  };
  const auto kept = [&](int64_t run) {
    int32_t segment = -1;
    return trails.Find({inside.file_size, {}}, run << 20, &segment) != nullptr;
  };
  for (int64_t run = 1; run <= 5; ++run) ASSERT_TRUE(take(run, 2000));
  EXPECT_FALSE(take(9, 1000));
  EXPECT_EQ((std::vector<bool>{kept(1), kept(2), kept(3), kept(4), kept(5)}),
            (std::vector<bool>{false, true, true, true, true}));
  ASSERT_TRUE(take(6, 60000));
  EXPECT_EQ((std::vector<bool>{kept(2), kept(3), kept(4), kept(5), kept(6)}),
            (std::vector<bool>{false, false, true, true, true}));
}

TEST(TrackAnalysisTest, ListingNamesRepeatedTracksWithTheFirstAndCapsTheRest) {
  const Layout common = {16, false, 1, 256};
  const Layout three = {3, false, 1, 256};
  const std::vector<ShownSector> a = {{{9, 9, 1, 1}, 256}};
  const std::vector<ShownSector> b = {{{9, 9, 2, 1}, 256}};
  TrackScan scan;
  auto put = [&scan](int32_t t, const Layout& layout,
                     const std::vector<ShownSector>& shown) {
    scan.present.push_back(t);
    scan.layouts[static_cast<size_t>(t)] = layout;
    scan.shown_count[static_cast<size_t>(t)] =
        static_cast<int32_t>(shown.size());
    scan.shown_digest[static_cast<size_t>(t)] = ShownDigest(shown);
  };
  put(0, common, {});
  put(1, three, a);
  put(2, three, b);
  put(3, common, {});
  put(4, three, a);
  put(5, {3, true, 1, 256}, a);  // the same IDs, a layout of its own
  put(6, three, b);
  put(7, three, a);
  TrackListing listing = ListDifferingTracks(scan, &common);
  ASSERT_EQ(listing.listed.size(), 3u);
  EXPECT_EQ(listing.listed[0].track, 1);
  EXPECT_EQ(listing.listed[0].same, (std::vector<int32_t>{4, 7}));
  EXPECT_EQ(listing.listed[1].track, 2);
  EXPECT_EQ(listing.listed[1].same, (std::vector<int32_t>{6}));
  EXPECT_EQ(listing.listed[2].track, 5);
  EXPECT_TRUE(listing.listed[2].same.empty());
  EXPECT_TRUE(listing.not_listed.empty());
  // Without a common layout every track differs.
  listing = ListDifferingTracks(scan, nullptr);
  EXPECT_EQ(listing.listed.size(), 4u);

  // Tracks of their own past kMaxTracksListed are only named, with the
  // tracks that repeat them; so is each from the first whose IDs no longer
  // fit in kMaxIdsListed.
  TrackScan many;
  for (int32_t t = 0; t < 12; ++t) {
    many.present.push_back(t);
    many.layouts[static_cast<size_t>(t)] = {t + 1, false, 1, 256};
  }
  many.present.push_back(12);
  many.layouts[12] = many.layouts[10];
  listing = ListDifferingTracks(many, nullptr);
  EXPECT_EQ(listing.listed.size(), static_cast<size_t>(kMaxTracksListed));
  EXPECT_EQ(listing.not_listed, (std::vector<int32_t>{8, 9, 10, 11, 12}));

  TrackScan long_tracks;
  for (int32_t t = 0; t < 4; ++t) {
    long_tracks.present.push_back(t);
    long_tracks.layouts[static_cast<size_t>(t)] = {300 + t, false, 0, 1};
    const std::vector<ShownSector> shown(
        static_cast<size_t>(t == 1 ? 100 : kMaxIdsShown),
        {{static_cast<uint8_t>(t), 0, 0, 0}, 1});
    long_tracks.shown_count[static_cast<size_t>(t)] =
        static_cast<int32_t>(shown.size());
    long_tracks.shown_digest[static_cast<size_t>(t)] = ShownDigest(shown);
  }
  listing = ListDifferingTracks(long_tracks, nullptr);
  ASSERT_EQ(listing.listed.size(), 2u);  // 256 + 100 IDs; 256 more do not fit
  EXPECT_EQ(listing.not_listed, (std::vector<int32_t>{2, 3}));
}

}  // namespace
}  // namespace info
