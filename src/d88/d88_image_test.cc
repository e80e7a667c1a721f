#include "d88/d88_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "d88/sector_walk.h"
#include "testing/d88_builder.h"
#include "testing/failing_reads.h"
#include "testing/run_process.h"

namespace d88 {

using d88test::Append;
using d88test::Bytes;
using d88test::ImageBuilder;
using d88test::Pattern;
using d88test::TempDir;
using d88test::TrackBuilder;
using d88test::TrackSector;
using d88test::WriteFileBytes;
namespace {

uint32_t Seed(int track, int r) {
  return static_cast<uint32_t>(track * 16 + r);
}

// Track `track` with sectors R 1..`count` of `size` bytes, ID (c, h, r, n).
TrackBuilder& AddStandardTrack(ImageBuilder& image, int track, int c, int h,
                               int count = 8, int n = 3, size_t size = 1024) {
  TrackBuilder& t = image.AddTrack(track);
  for (int r = 1; r <= count; ++r) {
    t.AddSector({static_cast<uint8_t>(c), static_cast<uint8_t>(h),
                 static_cast<uint8_t>(r), static_cast<uint8_t>(n)},
                Pattern(size, Seed(track, r)));
  }
  return t;
}

class ReaderTest : public ::testing::Test {
 protected:
  // Writes `bytes` to a file and opens it.
  bool OpenBytes(const Bytes& bytes) {
    path_ = dir_.File("image.d88");
    EXPECT_TRUE(WriteFileBytes(path_, bytes));
    return image_.Open(path_.c_str());
  }

  // Opens a file with the one image `builder` describes and selects it.
  void OpenImage(const ImageBuilder& builder) {
    ASSERT_TRUE(OpenBytes(builder.Build()));
    ASSERT_TRUE(image_.SelectImage(0));
  }

  Bytes Read(int32_t track, int c, int h, int r, int n, int32_t len) {
    Bytes buf(static_cast<size_t>(len), 0xEE);
    const int32_t got = image_.ReadSector(track, c, h, r, n, buf.data(), len);
    buf.resize(static_cast<size_t>(got));
    return buf;
  }

  TempDir dir_;
  std::string path_;
  D88Image image_;
};

// --- Opening and indexing -------------------------------------------------

TEST_F(ReaderTest, FilesWithoutAWholeHeaderHoldNoImage) {
  for (size_t size : {size_t{0}, size_t{1}, kImageHeaderSize - 1}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(OpenBytes(Bytes(size, 0x41)));
    EXPECT_EQ(image_.GetImageCount(), 0);
    EXPECT_FALSE(image_.SelectImage(0));
  }
}

TEST_F(ReaderTest, ImagesFollowEachOtherByDiskSize) {
  ImageBuilder first;
  first.SetName("FIRST");
  AddStandardTrack(first, 0, 0, 0, 2);
  ImageBuilder second;
  second.SetName("SECOND");
  AddStandardTrack(second, 3, 1, 1, 2);
  Bytes file = first.Build();
  const size_t s = file.size();
  Append(file, second.Build());
  ASSERT_TRUE(OpenBytes(file));
  ASSERT_EQ(image_.GetImageCount(), 2);

  ASSERT_TRUE(image_.SelectImage(1));
  EXPECT_STREQ(image_.GetDiskName(), "SECOND");
  EXPECT_EQ(image_.GetImageBase(), static_cast<int32_t>(s));
  // Track offsets count from the second image's start.
  EXPECT_EQ(Read(3, 1, 1, 2, 3, 1024), Pattern(1024, Seed(3, 2)));
  EXPECT_TRUE(Read(0, 0, 0, 1, 3, 1024).empty());

  ASSERT_TRUE(image_.SelectImage(0));
  EXPECT_EQ(Read(0, 0, 0, 1, 3, 1024), Pattern(1024, Seed(0, 1)));
}

TEST_F(ReaderTest, IndexesAtMost64Images) {
  Bytes file;
  for (int i = 0; i < 70; ++i) Append(file, ImageBuilder().Build());
  ASSERT_TRUE(OpenBytes(file));
  EXPECT_EQ(image_.GetImageCount(), kMaxImages);
  ASSERT_TRUE(image_.SelectImage(63));
  EXPECT_EQ(image_.GetImageBase(), static_cast<int32_t>(63 * kImageHeaderSize));
}

TEST_F(ReaderTest, DiskSizeZeroIndexesTheSameImageAgain) {
  ASSERT_TRUE(OpenBytes(Bytes(1000, 0)));
  EXPECT_EQ(image_.GetImageCount(), kMaxImages);
  ASSERT_TRUE(image_.SelectImage(kMaxImages - 1));
  EXPECT_EQ(image_.GetImageBase(), 0);
  EXPECT_EQ(Read(0, 0, 0, 6, 3, 512).size(), 0u);
}

TEST_F(ReaderTest, IndexingStopsWhereAnOffsetLeavesTheSignedRange) {
  // Each first image is followed by a whole second one that its disk size
  // does not lead to.
  for (int64_t disk_size : {int64_t{-1}, int64_t{-688}, int64_t{0x7FFFFFFF},
                            int64_t{0x80000000LL}, int64_t{0xFFFFFD50LL}}) {
    SCOPED_TRACE(disk_size);
    Bytes file = ImageBuilder().SetDiskSize(disk_size).Build();
    Append(file, ImageBuilder().Build());
    ASSERT_TRUE(OpenBytes(file));
    EXPECT_EQ(image_.GetImageCount(), 1);
  }
}

TEST_F(ReaderTest, UnopenablePathsFail) {
  EXPECT_FALSE(image_.Open(dir_.File("missing.d88").c_str()));
  // A directory opens for reading on some systems but is no image file.
  EXPECT_FALSE(image_.Open(dir_.path().c_str()));
  EXPECT_EQ(image_.GetImageCount(), 0);
  EXPECT_FALSE(image_.SelectImage(0));
}

TEST_F(ReaderTest, OpenReplacesAnOpenFileAndNullCloses) {
  ImageBuilder a;
  AddStandardTrack(a, 0, 0, 0, 1);
  Bytes two = a.Build();
  Append(two, a.Build());
  ASSERT_TRUE(OpenBytes(two));
  ASSERT_EQ(image_.GetImageCount(), 2);

  const std::string other = dir_.File("other.d88");
  ASSERT_TRUE(WriteFileBytes(other, a.Build()));
  ASSERT_TRUE(image_.Open(other.c_str()));
  EXPECT_EQ(image_.GetImageCount(), 1);
  ASSERT_TRUE(image_.SelectImage(0));
  EXPECT_EQ(Read(0, 0, 0, 1, 3, 1024).size(), 1024u);

  EXPECT_TRUE(image_.Open(nullptr));
  EXPECT_EQ(image_.GetImageCount(), 0);
  EXPECT_EQ(image_.GetMediaType(), -1);
  EXPECT_FALSE(image_.SelectImage(0));
  EXPECT_EQ(Read(0, 0, 0, 1, 3, 1024).size(), 0u);
  Bytes buf(1024);
  EXPECT_EQ(image_.ReadSectors(0, 0, 0, 1, 3, buf.data(), 1024), 0);
  EXPECT_EQ(image_.ReadTrackIds(0, buf.data(), 1024), 0);
}

// --- Selecting an image ---------------------------------------------------

TEST_F(ReaderTest, SelectLoadsNameAndMediaType) {
  struct Case {
    std::string name;
    uint8_t reserved_fill;
    std::string expected;
  };
  const Case cases[] = {
      {"DISK", 0x00, "DISK"},
      {"", 0xFF, ""},
      // No NUL within 16 bytes: the name runs to 16 bytes, whatever follows.
      {"ABCDEFGHIJKLMNOP", 0x41, "ABCDEFGHIJKLMNOP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenImage(ImageBuilder().SetName(c.name).SetMediaType(0x20).SetReservedFill(
        c.reserved_fill));
    EXPECT_STREQ(image_.GetDiskName(), c.expected.c_str());
    EXPECT_EQ(image_.GetMediaType(), 0x20);
  }
}

TEST_F(ReaderTest, BytesAfterANulInTheNameAreDropped) {
  Bytes file = ImageBuilder().Build();
  std::memcpy(file.data(), "AB\0CD", 5);
  ASSERT_TRUE(OpenBytes(file));
  ASSERT_TRUE(image_.SelectImage(0));
  EXPECT_STREQ(image_.GetDiskName(), "AB");
  EXPECT_EQ(image_.GetDiskName()[3], '\0');
}

TEST_F(ReaderTest, FailedSelectLeavesNothingSelected) {
  ImageBuilder b;
  b.SetName("NAMED").SetMediaType(0x10);
  AddStandardTrack(b, 0, 0, 0);
  OpenImage(b);
  for (int32_t index : {1, -1, 1000}) {
    SCOPED_TRACE(index);
    ASSERT_TRUE(image_.SelectImage(0));
    EXPECT_FALSE(image_.SelectImage(index));
    EXPECT_STREQ(image_.GetDiskName(), "");
    EXPECT_EQ(image_.GetMediaType(), -1);
    EXPECT_EQ(image_.GetImageBase(), -1);
    EXPECT_EQ(Read(0, 0, 0, 1, 3, 1024).size(), 0u);
  }
}

// --- Track validity -------------------------------------------------------

TEST_F(ReaderTest, InvalidTracksDeliverNothing) {
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 1);
  AddStandardTrack(b, 163, 81, 1, 1);
  const int64_t size = static_cast<int64_t>(b.Build().size());
  b.SetTrackOffset(5, -16);           // negative
  b.SetTrackOffset(6, size + 1);      // beyond the disk size
  b.SetTrackOffset(7, 0x80000000LL);  // 2^31: negative when read
  OpenImage(b);
  uint8_t buf[1024];
  for (int32_t track : {-1, 164, 1, 5, 6, 7, 100000, INT32_MIN}) {
    SCOPED_TRACE(track);
    EXPECT_EQ(image_.ReadSector(track, 0, 0, 1, 3, buf, 1024), 0);
    EXPECT_EQ(image_.ReadTrackIds(track, buf, 1024), 0);
  }
  EXPECT_EQ(Read(163, 81, 1, 1, 3, 1024), Pattern(1024, Seed(163, 1)));
}

TEST_F(ReaderTest, TrackOffsetEqualToDiskSizeIsAccepted) {
  ImageBuilder b;
  AddStandardTrack(b, 2, 1, 0, 1);
  const int64_t offset = static_cast<int64_t>(kImageHeaderSize);
  b.SetDiskSize(offset);
  OpenImage(b);
  EXPECT_EQ(Read(2, 1, 0, 1, 3, 1024).size(), 1024u);
  ImageBuilder smaller = b;
  smaller.SetDiskSize(offset - 1);
  OpenImage(smaller);
  EXPECT_EQ(Read(2, 1, 0, 1, 3, 1024).size(), 0u);
}

TEST_F(ReaderTest, NegativeDiskSizeRejectsEveryTrack) {
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 1);
  b.SetDiskSize(-1);
  OpenImage(b);
  EXPECT_EQ(Read(0, 0, 0, 1, 3, 1024).size(), 0u);
}

// --- ReadSector -----------------------------------------------------------

TEST_F(ReaderTest, FindsASectorByItsExactId) {
  ImageBuilder b;
  AddStandardTrack(b, 4, 2, 0);
  OpenImage(b);
  EXPECT_EQ(Read(4, 2, 0, 8, 3, 1024), Pattern(1024, Seed(4, 8)));
  // Each of C, H, R and N must match; bytes above 255 never do.
  EXPECT_TRUE(Read(4, 3, 0, 8, 3, 1024).empty());
  EXPECT_TRUE(Read(4, 2, 1, 8, 3, 1024).empty());
  EXPECT_TRUE(Read(4, 2, 0, 9, 3, 1024).empty());
  EXPECT_TRUE(Read(4, 2, 0, 8, 2, 1024).empty());
  EXPECT_TRUE(Read(4, 2 + 256, 0, 8, 3, 1024).empty());
}

TEST_F(ReaderTest, FirstMatchWins) {
  ImageBuilder b;
  TrackBuilder& t = b.AddTrack(0);
  t.AddSector({0, 0, 1, 3}, Bytes(1024, 0xAA));
  t.AddSector({0, 0, 1, 3}, Bytes(1024, 0xBB));
  OpenImage(b);
  EXPECT_EQ(Read(0, 0, 0, 1, 3, 1024), Bytes(1024, 0xAA));
}

TEST_F(ReaderTest, DataSizeNotSizeCodeTellsTheLength) {
  ImageBuilder b;
  b.AddTrack(0).AddSector({0, 0, 1, 3}, Pattern(256, 1));
  b.Track(0).AddSector({0, 0, 2, 3}, Pattern(1024, 2));
  OpenImage(b);
  EXPECT_EQ(Read(0, 0, 0, 1, 3, 1024), Pattern(256, 1));
  EXPECT_EQ(Read(0, 0, 0, 1, 3, 100), Pattern(100, 1));
  EXPECT_EQ(Read(0, 0, 0, 2, 3, 1024), Pattern(1024, 2));
  EXPECT_EQ(Read(0, 0, 0, 2, 3, 0).size(), 0u);
}

TEST_F(ReaderTest, SectorCountZeroEndsTheTrack) {
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 2);
  b.Track(0).records()[0].count = 0;
  OpenImage(b);
  EXPECT_TRUE(Read(0, 0, 0, 1, 3, 1024).empty());
  EXPECT_TRUE(Read(0, 0, 0, 2, 3, 1024).empty());
}

TEST_F(ReaderTest, WalkStopsAtTheCountOfTheHeaderJustRead) {
  // Track 0 has 8 records but the third says the track has 3, so the
  // records after it are not part of the track.
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 8);
  b.Track(0).records()[2].count = 3;
  OpenImage(b);
  EXPECT_EQ(Read(0, 0, 0, 3, 3, 1024).size(), 1024u);
  EXPECT_TRUE(Read(0, 0, 0, 4, 3, 1024).empty());
}

TEST_F(ReaderTest, DisagreeingCountsEndAfterTheFirstHeadersCount) {
  // Later headers claim counts that are never reached; the walk trusts
  // the first header's count of 3 and stops.
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 6);
  for (TrackSector& s : b.Track(0).records()) s.count = 1000;
  b.Track(0).records()[0].count = 3;
  b.Track(0).records()[1].count = 1;  // count <= position: never equals
  OpenImage(b);
  EXPECT_EQ(Read(0, 0, 0, 3, 3, 1024).size(), 1024u);
  EXPECT_TRUE(Read(0, 0, 0, 4, 3, 1024).empty());
}

TEST_F(ReaderTest, WalkEndsAtTheEndOfTheFile) {
  // Every header claims 65535 sectors; the file ends after the third.
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 3);
  for (TrackSector& s : b.Track(0).records()) s.count = 0xFFFF;
  OpenImage(b);
  EXPECT_EQ(Read(0, 0, 0, 3, 3, 1024).size(), 1024u);
  EXPECT_TRUE(Read(0, 0, 0, 9, 3, 1024).empty());
  uint8_t ids[4 * 64];
  EXPECT_EQ(image_.ReadTrackIds(0, ids, sizeof(ids)), 12);
}

TEST_F(ReaderTest, TruncatedFilesNeverDeliverBytesTheyDoNotHold) {
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 2, 1, 256);
  const Bytes whole = b.Build();
  const size_t second_data = whole.size() - 256;
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    ASSERT_TRUE(OpenBytes(Bytes(
        whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut))));
    if (cut < kImageHeaderSize) {
      EXPECT_EQ(image_.GetImageCount(), 0);
      continue;
    }
    ASSERT_TRUE(image_.SelectImage(0));
    const Bytes got = Read(0, 0, 0, 2, 1, 256);
    const size_t expected = cut < second_data ? 0 : cut - second_data;
    ASSERT_EQ(got.size(), expected);
    EXPECT_EQ(got,
              Bytes(whole.begin() + static_cast<std::ptrdiff_t>(second_data),
                    whole.begin() +
                        static_cast<std::ptrdiff_t>(second_data + expected)));
    Bytes buf(512);
    const int32_t run = image_.ReadSectors(0, 0, 0, 1, 1, buf.data(), 512);
    EXPECT_EQ(run,
              cut == whole.size() ? 512 : (cut >= second_data - 16 ? 256 : 0));
  }
}

// --- Tracks longer than one fetch -----------------------------------------

// Where the first block that the reader fetches ends, from the start of
// track 0 of a file's first image.
constexpr int64_t kFetch = static_cast<int64_t>(D88Image::kFetchSize) -
                           static_cast<int64_t>(kImageHeaderSize);
constexpr int64_t kRecord = 16 + 1024;

TEST_F(ReaderTest, RecordsAcrossTheEndOfTheFetchReadWhole) {
  // Record 1's size places record 2's header (and so record 3's) at each
  // position around the end of what one fetch holds.
  for (int64_t second :
       {kFetch - 16, kFetch - 15, kFetch - 8, kFetch - 1, kFetch, kFetch + 8,
        kFetch - 16 - 1024, kFetch - 16 - 1023, kFetch - 16 - 512,
        kFetch - kRecord - 8, kFetch - kRecord - 16}) {
    SCOPED_TRACE(second);
    const size_t first_size = static_cast<size_t>(second - 16);
    ImageBuilder b;
    TrackBuilder& t = b.AddTrack(0);
    t.AddSector({0, 0, 1, 3}, Pattern(first_size, 1));
    t.AddSector({0, 0, 2, 3}, Pattern(1024, 2));
    t.AddSector({0, 0, 3, 3}, Pattern(1024, 3));
    t.AddSector({0, 0, 4, 1}, Pattern(256, 4));
    OpenImage(b);
    EXPECT_EQ(Read(0, 0, 0, 1, 3, 0xFFFF), Pattern(first_size, 1));
    EXPECT_EQ(Read(0, 0, 0, 2, 3, 1024), Pattern(1024, 2));
    EXPECT_EQ(Read(0, 0, 0, 3, 3, 1024), Pattern(1024, 3));
    EXPECT_EQ(Read(0, 0, 0, 4, 1, 256), Pattern(256, 4));
    EXPECT_EQ(Read(0, 0, 0, 3, 3, 100), Pattern(100, 3));
    EXPECT_TRUE(Read(0, 0, 0, 5, 3, 1024).empty());
    uint8_t ids[64];
    ASSERT_EQ(image_.ReadTrackIds(0, ids, sizeof(ids)), 16);
    const uint8_t expected[] = {0, 0, 1, 3, 0, 0, 2, 3, 0, 0, 3, 3, 0, 0, 4, 1};
    EXPECT_EQ(std::memcmp(ids, expected, sizeof(expected)), 0);
  }
}

TEST_F(ReaderTest, SectorsOutOfOrderOrLargerThanTheirCodeAreFound) {
  // An interleaved track, and one whose records hold more than their size
  // code says: the sought record lies further along than its number and
  // code suggest.
  ImageBuilder b;
  TrackBuilder& interleaved = b.AddTrack(0);
  for (int r : {1, 5, 2, 6, 3, 7, 4, 8}) {
    interleaved.AddSector({0, 0, static_cast<uint8_t>(r), 3},
                          Pattern(1024, Seed(0, r)));
  }
  AddStandardTrack(b, 1, 0, 1, 12, 1, 1024);
  OpenImage(b);
  for (int r = 1; r <= 8; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(Read(0, 0, 0, r, 3, 1024), Pattern(1024, Seed(0, r)));
  }
  for (int r = 1; r <= 12; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(Read(1, 0, 1, r, 1, 1024), Pattern(1024, Seed(1, r)));
  }
}

TEST_F(ReaderTest, WalkPastTheFetchEndsAtTheEndOfTheFile) {
  // Twenty records that each claim 65535 sectors, the file cut at points
  // around the end of one fetch: every record whose header is whole is
  // found with the data the file still holds, and a search for an absent
  // sector ends.
  constexpr int kRecords = 20;
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, kRecords);
  for (TrackSector& s : b.Track(0).records()) s.count = 0xFFFF;
  const Bytes whole = b.Build();
  const int64_t track = static_cast<int64_t>(kImageHeaderSize);
  ASSERT_GT(kRecords * kRecord, kFetch + kRecord);
  for (int64_t cut :
       {kFetch - 17, kFetch - 16, kFetch - 1, kFetch, kFetch + 1, kFetch + 8,
        kFetch + 16, kFetch + 1000, kFetch + kRecord, kRecords * kRecord}) {
    SCOPED_TRACE(cut);
    ASSERT_TRUE(OpenBytes(Bytes(whole.begin(), whole.begin() + track + cut)));
    ASSERT_TRUE(image_.SelectImage(0));
    int whole_headers = 0;
    for (int r = 1; r <= kRecords; ++r) {
      const int64_t data = (r - 1) * kRecord + 16;
      const Bytes got = Read(0, 0, 0, r, 3, 1024);
      if (data > cut) {
        EXPECT_TRUE(got.empty()) << r;
        continue;
      }
      ++whole_headers;
      const size_t held =
          static_cast<size_t>(std::min<int64_t>(cut - data, 1024));
      EXPECT_EQ(got, Pattern(held, Seed(0, r))) << r;
    }
    EXPECT_TRUE(Read(0, 0, 0, kRecords + 1, 3, 1024).empty());
    uint8_t ids[4 * 64];
    EXPECT_EQ(image_.ReadTrackIds(0, ids, sizeof(ids)), 4 * whole_headers);
  }
}

// What a walk through the file's bytes, header by header, delivers: the
// reference for the reader on damaged tracks. `out` receives the bytes.
int32_t PlainReadSector(const Bytes& file, int64_t pos, int c, int h, int r,
                        int n, int32_t max_len, Bytes* out) {
  const int64_t size = static_cast<int64_t>(file.size());
  out->clear();
  int32_t first_count = 0;
  for (int32_t i = 0;; ++i) {
    if (size - pos < 16) return 0;
    const uint8_t* header = file.data() + pos;
    pos += 16;
    const int32_t count = DecodeU16(header + kSectorCountOffset);
    const int32_t data_size = DecodeU16(header + kDataSizeOffset);
    if (count == 0) return 0;
    if (i == 0) first_count = count;
    if (header[0] == c && header[1] == h && header[2] == r && header[3] == n) {
      const int32_t want = std::min(data_size, max_len);
      if (want <= 0) return 0;
      const int64_t held =
          std::max<int64_t>(0, std::min<int64_t>(want, size - pos));
      out->assign(file.begin() + pos, file.begin() + pos + held);
      return static_cast<int32_t>(held);
    }
    pos += data_size;
    if (i == count - 1 || i + 1 >= first_count) return 0;
  }
}

Bytes PlainReadTrackIds(const Bytes& file, int64_t pos, int32_t len) {
  const int64_t size = static_cast<int64_t>(file.size());
  Bytes ids;
  for (int32_t i = 0; len - static_cast<int32_t>(ids.size()) >= 4; ++i) {
    if (size - pos < 16) break;
    ids.insert(ids.end(), file.begin() + pos, file.begin() + pos + 4);
    const uint8_t* header = file.data() + pos;
    pos += 16 + DecodeU16(header + kDataSizeOffset);
    if (i == DecodeU16(header + kSectorCountOffset) - 1) break;
  }
  return ids;
}

TEST_F(ReaderTest, DamagedTracksReadAsAPlainWalkReadsThem) {
  // Random tracks, many longer than one fetch: sizes that disagree with the
  // data, counts of 0, too small or too large, repeated IDs, files cut
  // anywhere. A fixed seed keeps the cases the same on every run.
  std::mt19937 rng(20240611);
  auto below = [&rng](uint32_t n) { return static_cast<int>(rng() % n); };
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    ImageBuilder b;
    TrackBuilder& t = b.AddTrack(0);
    const int records = 1 + below(40);
    for (int i = 0; i < records; ++i) {
      const size_t size = static_cast<size_t>(
          below(8) == 0 ? below(5000) : 1024 + below(3) * 8 - 8);
      t.AddSector({0, static_cast<uint8_t>(below(2)),
                   static_cast<uint8_t>(1 + below(6)),
                   static_cast<uint8_t>(2 + below(2))},
                  Pattern(size, static_cast<uint32_t>(i)));
      const int damage = below(20);
      if (damage == 0) t.Last().count = 0;
      if (damage == 1) {
        t.Last().count =
            static_cast<uint16_t>(below(static_cast<uint32_t>(records)));
      }
      if (damage == 2) t.Last().count = 0xFFFF;
      if (damage == 3) t.Last().data_size = static_cast<uint16_t>(rng());
    }
    Bytes file = b.Build();
    if (below(2) == 0) {
      file.resize(kImageHeaderSize +
                  static_cast<size_t>(below(static_cast<uint32_t>(
                      file.size() - kImageHeaderSize + 1))));
    }
    ASSERT_TRUE(OpenBytes(file));
    ASSERT_TRUE(image_.SelectImage(0));
    const int64_t track = static_cast<int64_t>(kImageHeaderSize);

    for (int query = 0; query < 8; ++query) {
      const int h = below(2), r = 1 + below(7), n = 2 + below(2);
      const int32_t lengths[] = {0, 1, 100, 1024, 70000};
      const int32_t max_len = lengths[below(5)];
      SCOPED_TRACE(testing::Message() << "H " << h << " R " << r << " N " << n
                                      << " max " << max_len);
      Bytes expected;
      const int32_t expected_got =
          PlainReadSector(file, track, 0, h, r, n, max_len, &expected);
      Bytes buf(static_cast<size_t>(max_len) + 1, 0xEE);
      ASSERT_EQ(image_.ReadSector(0, 0, h, r, n, buf.data(), max_len),
                expected_got);
      expected.resize(buf.size(), 0xEE);
      EXPECT_EQ(buf, expected);

      // LocateSector names the bytes that ReadSector delivered: its data
      // size lowered to the read and to the end of the file.
      SectorLocation where = {-1, -1};
      if (image_.LocateSector(0, 0, h, r, n, &where)) {
        ASSERT_GE(where.offset, track);
        const int64_t held = std::max<int64_t>(
            0, static_cast<int64_t>(file.size()) - where.offset);
        const int64_t want =
            std::min<int64_t>({where.data_size, max_len, held});
        ASSERT_EQ(expected_got, want);
        const auto at = file.begin() + where.offset;
        EXPECT_TRUE(std::equal(at, at + want, buf.begin()));
      } else {
        EXPECT_EQ(expected_got, 0);
        EXPECT_EQ(where.offset, -1);
      }
    }
    const int32_t len = below(4 * 45);
    Bytes ids(static_cast<size_t>(len));
    const int32_t stored = image_.ReadTrackIds(0, ids.data(), len);
    ids.resize(static_cast<size_t>(std::max(stored, 0)));
    EXPECT_EQ(ids, PlainReadTrackIds(file, track, len));
  }
}

TEST_F(ReaderTest, LongTracksAreWalkedWindowByWindow) {
  // 5000 records of 0 to 16 bytes before the sought ones: the walk crosses
  // many fetches, with headers straddling their ends.
  ImageBuilder b;
  TrackBuilder& t = b.AddTrack(0);
  for (int i = 0; i < 5000; ++i) {
    t.AddSector({1, 1, 1, 1}, Pattern(static_cast<size_t>(i % 17), 1));
  }
  t.AddSector({0, 0, 7, 3}, Pattern(1024, 7));
  t.AddSector({0, 0, 8, 3}, Pattern(300, 8));
  OpenImage(b);
  EXPECT_EQ(Read(0, 0, 0, 7, 3, 1024), Pattern(1024, 7));
  EXPECT_EQ(Read(0, 0, 0, 8, 3, 1024), Pattern(300, 8));
  EXPECT_TRUE(Read(0, 0, 0, 9, 3, 1024).empty());
  Bytes ids(4 * 5002);
  ASSERT_EQ(image_.ReadTrackIds(0, ids.data(), 4 * 5002), 4 * 5002);
  EXPECT_EQ(Bytes(ids.end() - 4, ids.end()), (Bytes{0, 0, 8, 3}));
}

// --- What the reader keeps between lookups --------------------------------

TEST_F(ReaderTest, LookupsWithAnotherCylinderHeadOrSizeCodeFindTheirOwn) {
  // Records that differ from (0, 0, R, 3) in one of C, H and N only, and a
  // later record with an ID seen before: lookups that alternate between
  // them each find their own first record.
  ImageBuilder b;
  TrackBuilder& t = b.AddTrack(0);
  const SectorId ids[] = {{0, 0, 1, 3}, {0, 0, 1, 2}, {1, 0, 1, 3},
                          {0, 1, 1, 3}, {0, 0, 2, 3}, {0, 0, 1, 3}};
  for (size_t i = 0; i < 6; ++i) {
    t.AddSector(ids[i], Pattern(100 + i, static_cast<uint32_t>(i)));
  }
  OpenImage(b);
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < 5; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(Read(0, ids[i].c, ids[i].h, ids[i].r, ids[i].n, 1024),
                Pattern(100 + i, static_cast<uint32_t>(i)));
      EXPECT_TRUE(Read(0, ids[i].c, ids[i].h, 3, ids[i].n, 1024).empty());
    }
  }
  // Values that no byte holds match nothing, whatever was noted before.
  for (const auto& [c, h, r, n] : {std::array<int, 4>{256, 0, 1, 3},
                                   {0, 256, 1, 3},
                                   {0, 0, 257, 3},
                                   {0, 0, 1, 259},
                                   {-256, 0, 1, 3},
                                   {0, 0, -255, 3}}) {
    EXPECT_TRUE(Read(0, c, h, r, n, 1024).empty()) << c << h << r << n;
  }
}

TEST_F(ReaderTest, SelectAndOpenDropWhatWasNoted) {
  // Three images laid out alike, so that their tracks lie at the same
  // offsets from their starts, with different bytes: a lookup after
  // SelectImage must not give what an earlier image's walk found.
  auto disk = [](uint32_t seed) {
    ImageBuilder b;
    TrackBuilder& t = b.AddTrack(0);
    for (int r = 1; r <= 4; ++r) {
      t.AddSector({0, 0, static_cast<uint8_t>(r), 1},
                  Pattern(256, seed + static_cast<uint32_t>(r)));
    }
    return b;
  };
  ImageBuilder shifted = disk(20);
  std::swap(shifted.Track(0).records()[0], shifted.Track(0).records()[3]);
  Bytes file = disk(10).Build();
  Append(file, shifted.Build());
  Append(file, disk(30).Build());
  ASSERT_TRUE(OpenBytes(file));
  for (int32_t i : {0, 1, 2, 1, 0}) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(image_.SelectImage(i));
    for (int r = 1; r <= 4; ++r) {
      const uint32_t seed = static_cast<uint32_t>(10 * (i + 1) + r);
      EXPECT_EQ(Read(0, 0, 0, r, 1, 256), Pattern(256, seed)) << r;
    }
    EXPECT_FALSE(image_.SelectImage(3));
    EXPECT_TRUE(Read(0, 0, 0, 1, 1, 256).empty());
  }

  // Another file opened keeps the selection until SelectImage, and reads
  // go to the new file's bytes and records, not to what was kept of the
  // old one.
  ASSERT_TRUE(image_.SelectImage(0));
  EXPECT_EQ(Read(0, 0, 0, 1, 1, 256), Pattern(256, 11));
  ImageBuilder reordered = disk(40);
  std::swap(reordered.Track(0).records()[0], reordered.Track(0).records()[3]);
  const std::string other = dir_.File("other.d88");
  ASSERT_TRUE(WriteFileBytes(other, reordered.Build()));
  ASSERT_TRUE(image_.Open(other.c_str()));
  for (int r = 1; r <= 4; ++r) {
    EXPECT_EQ(Read(0, 0, 0, r, 1, 256),
              Pattern(256, 40 + static_cast<uint32_t>(r)))
        << r;
  }
}

TEST_F(ReaderTest, BlocksThatShareAPlaceInMemoryReadTheirOwnBytes) {
  // Tracks as far apart as the blocks kept in memory reach, and a track
  // that straddles that distance: each block of the file evicts the other
  // on every lookup, and reads must still give the file's bytes.
  constexpr size_t kSpan = BlockCache::kCacheBlocks * BlockCache::kFetchSize;
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 2, 3, 1024);
  b.AddTrack(1).AddSector({9, 9, 9, 0}, Pattern(kSpan - 2 * 1040 - 16, 9));
  AddStandardTrack(b, 2, 1, 0, 2, 3, 1024);
  b.AddTrack(3).AddSector({9, 9, 9, 0},
                          Pattern(kSpan - 2 * 1040 - 16 - 500, 9));
  AddStandardTrack(b, 4, 2, 0, 2, 3, 1024);
  OpenImage(b);
  for (int round = 0; round < 3; ++round) {
    for (int track : {0, 2, 4, 2, 0, 4}) {
      for (int r : {2, 1}) {
        SCOPED_TRACE(testing::Message() << track << " " << r);
        EXPECT_EQ(Read(track, track / 2, 0, r, 3, 1024),
                  Pattern(1024, Seed(track, r)));
      }
    }
  }
}

TEST_F(ReaderTest, WalksOverRecordsAlreadyWalkedReadNothing) {
  // Twenty records of 16 KiB, more than the blocks kept in memory hold;
  // track 1 starts at the sixth, and its own walk ends at the last by that
  // record's count.
  ImageBuilder b;
  TrackBuilder& records = b.AddTrack(0);
  for (int r = 1; r <= 20; ++r) {
    records.AddSector({0, 0, static_cast<uint8_t>(r), 7}, Bytes(16384, 0));
  }
  records.Last().count = 15;
  b.SetTrackOffset(1, static_cast<int64_t>(kImageHeaderSize) + 5 * 16400);
  OpenImage(b);
  SectorHeader first[32];
  bool ended = true;
  ASSERT_EQ(image_.ReadTrackHeaders(0, first, 32, &ended), 20);

  // Every read of the file fails from here on: walks from either start
  // find every header all the same, and no read is even tried.
  d88test::FailInputReads(1, EIO, INT64_MAX);
  SectorHeader again[32];
  const int32_t from_one = image_.ReadTrackHeaders(1, again, 32, &ended);
  const int32_t from_zero = image_.ReadTrackHeaders(0, first + 20, 12, nullptr);
  d88test::FailInputReads(0, 0);
  EXPECT_FALSE(ended);
  ASSERT_EQ(from_one, 15);
  EXPECT_EQ(from_zero, 12);
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(again[i].offset, first[i + 5].offset);
    EXPECT_EQ(again[i].id, first[i + 5].id);
    EXPECT_EQ(again[i].count, first[i + 5].count);
  }
  EXPECT_EQ(image_.GetReadError(), nullptr);
}

// Headers kept across many walks, far more than the slots hold: whatever is
// found is exactly what was kept for that offset, the latest walk's headers
// are all found, and offsets past what walks reach are never kept. The table
// starts small and grows for far offsets; Clear frees a large one.
TEST(HeaderMemoTest, FindsExactlyWhatWasKept) {
  const auto fields = [](int64_t offset) {
    const uint64_t x = static_cast<uint64_t>(offset) * 0x9E3779B97F4A7C15u;
    SectorHeader h = {
        offset,
        {static_cast<uint8_t>(x >> 56), static_cast<uint8_t>(x >> 48),
         static_cast<uint8_t>(x >> 40), static_cast<uint8_t>(x >> 32)},
        static_cast<int32_t>(x >> 16 & 0xFFFF),
        static_cast<int32_t>(x & 0xFFFF)};
    // Marks on one header in five: the first comes after others without.
    if (offset % 5 == 0) {
      h.density = static_cast<uint8_t>(x >> 8 | 1);
      h.deleted = static_cast<uint8_t>(x >> 24);
      h.status = static_cast<uint8_t>(x);
    }
    return h;
  };
  std::unique_ptr<HeaderMemo> memo(new HeaderMemo());
  std::mt19937_64 random(7);
  std::vector<int64_t> latest;
  EXPECT_EQ(memo->slot_count(), 0u);
  for (int walk = 0; walk < 200; ++walk) {
    if (walk == 1) {
      EXPECT_EQ(memo->slot_count(), HeaderMemo::kSmallSlots);
    }
    memo->StartWalk();
    latest.clear();
    for (int i = 0; i < 2000; ++i) {
      // Offsets crowded into a few places as well as spread wide.
      const int64_t offset = walk % 2 == 0
                                 ? static_cast<int64_t>(random() % 600000)
                                 : static_cast<int64_t>(random() >> 30);
      SectorHeader found;
      if (memo->Find(offset, &found)) continue;
      memo->Keep(fields(offset));
      latest.push_back(offset);
    }
  }
  for (const int64_t offset : latest) {
    SectorHeader found;
    ASSERT_TRUE(memo->Find(offset, &found)) << offset;
  }
  size_t found_count = 0;
  for (int64_t offset = 0; offset < 600000; ++offset) {
    SectorHeader found;
    if (!memo->Find(offset, &found)) continue;
    ++found_count;
    const SectorHeader want = fields(offset);
    ASSERT_EQ(found.offset, offset);
    ASSERT_EQ(found.id, want.id);
    ASSERT_EQ(found.count, want.count);
    ASSERT_EQ(found.data_size, want.data_size);
    ASSERT_EQ(found.density, want.density);
    ASSERT_EQ(found.deleted, want.deleted);
    ASSERT_EQ(found.status, want.status);
  }
  EXPECT_GT(found_count, 10000u);
  EXPECT_EQ(memo->slot_count(), HeaderMemo::kMaxSlots);

  SectorHeader found;
  for (const int64_t offset : {HeaderMemo::kMaxOffset, int64_t{-1}}) {
    memo->Keep(fields(offset));
    EXPECT_FALSE(memo->Find(offset, &found)) << offset;
  }
  memo->Clear();
  EXPECT_FALSE(memo->Find(latest.front(), &found));
  EXPECT_EQ(memo->slot_count(), 0u);
}

// --- ReadSectors ----------------------------------------------------------

class ReadSectorsTest : public ReaderTest {
 protected:
  // Tracks 64..69 of a double-sided disk: 8 sectors of 1024 bytes.
  void SetUp() override {
    for (int track = 64; track <= 69; ++track) {
      AddStandardTrack(disk_, track, track / 2, track % 2);
    }
  }

  Bytes Expected(std::initializer_list<std::pair<int, int>> sectors,
                 size_t last_len = 1024) {
    Bytes out;
    size_t i = 0;
    for (const auto& [track, r] : sectors) {
      Bytes s = Pattern(1024, Seed(track, r));
      if (++i == sectors.size()) s.resize(last_len);
      Append(out, s);
    }
    return out;
  }

  ImageBuilder disk_;
};

TEST_F(ReadSectorsTest, StepsAcrossHeadAndCylinder) {
  OpenImage(disk_);
  image_.SetSectorRange(1, 8);
  Bytes buf(15360);
  ASSERT_EQ(image_.ReadSectors(66, 33, 0, 7, 3, buf.data(), 15360), 15360);
  EXPECT_EQ(buf, Expected({{66, 7},
                           {66, 8},
                           {67, 1},
                           {67, 2},
                           {67, 3},
                           {67, 4},
                           {67, 5},
                           {67, 6},
                           {67, 7},
                           {67, 8},
                           {68, 1},
                           {68, 2},
                           {68, 3},
                           {68, 4},
                           {68, 5}}));
  // Head 1 steps to head 0 of the next cylinder.
  Bytes two(2048);
  ASSERT_EQ(image_.ReadSectors(65, 32, 1, 8, 3, two.data(), 2048), 2048);
  EXPECT_EQ(two, Expected({{65, 8}, {66, 1}}));
}

TEST_F(ReadSectorsTest, LastChunkMayBeShort) {
  OpenImage(disk_);
  image_.SetSectorRange(1, 8);
  Bytes buf(0x500, 0xEE);
  EXPECT_EQ(image_.ReadSectors(64, 32, 0, 8, 3, buf.data(), 0x500), 0x500);
  EXPECT_EQ(buf, Expected({{64, 8}, {65, 1}}, 256));
  // 512 bytes with N 3 is one request that a 1024-byte sector satisfies.
  Bytes half(512);
  EXPECT_EQ(image_.ReadSectors(64, 32, 0, 1, 3, half.data(), 512), 512);
  EXPECT_EQ(half, Expected({{64, 1}}, 512));
}

TEST_F(ReadSectorsTest, StopsAtTheFirstMissingSector) {
  disk_.Track(64).records().erase(disk_.Track(64).records().begin() + 2);
  // Sector 4's record holds only 512 bytes: its chunk fails but its bytes
  // arrive in the buffer.
  disk_.Track(65).records()[3].data.resize(512);
  OpenImage(disk_);
  image_.SetSectorRange(1, 8);
  Bytes buf(8192, 0xEE);
  EXPECT_EQ(image_.ReadSectors(64, 32, 0, 1, 3, buf.data(), 4096), 2048);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 2048),
            Expected({{64, 1}, {64, 2}}));
  EXPECT_EQ(buf[2048], 0xEE);

  EXPECT_EQ(image_.ReadSectors(65, 32, 1, 1, 3, buf.data(), 8192), 3072);
  EXPECT_EQ(Bytes(buf.begin() + 3072, buf.begin() + 3584),
            Pattern(512, Seed(65, 4)));
  EXPECT_EQ(buf[3584], 0xEE);
}

TEST_F(ReadSectorsTest, SectorRangeDecidesWhereTracksEnd) {
  OpenImage(disk_);
  // Range 1-4: after R 4 the run moves to the next track.
  image_.SetSectorRange(1, 4);
  Bytes buf(3072);
  ASSERT_EQ(image_.ReadSectors(64, 32, 0, 3, 3, buf.data(), 3072), 3072);
  EXPECT_EQ(buf, Expected({{64, 3}, {64, 4}, {65, 1}}));
  // The default range 1-16 runs past R 8 on the same track and fails.
  D88Image fresh;
  ASSERT_TRUE(fresh.Open(path_.c_str()));
  ASSERT_TRUE(fresh.SelectImage(0));
  EXPECT_EQ(fresh.ReadSectors(64, 32, 0, 7, 3, buf.data(), 3072), 2048);
  // A run starting above the last sector counts R upward on the same track.
  image_.SetSectorRange(1, 4);
  EXPECT_EQ(image_.ReadSectors(64, 32, 0, 5, 3, buf.data(), 3072), 3072);
  EXPECT_EQ(buf, Expected({{64, 5}, {64, 6}, {64, 7}}));
}

TEST_F(ReadSectorsTest, SectorRangeSurvivesSelectImage) {
  OpenImage(disk_);
  image_.SetSectorRange(1, 4);
  ASSERT_TRUE(image_.SelectImage(0));
  EXPECT_FALSE(image_.SelectImage(1));
  ASSERT_TRUE(image_.SelectImage(0));
  Bytes buf(2048);
  ASSERT_EQ(image_.ReadSectors(64, 32, 0, 4, 3, buf.data(), 2048), 2048);
  EXPECT_EQ(buf, Expected({{64, 4}, {65, 1}}));
}

TEST_F(ReadSectorsTest, DegenerateLengthsAndSizeCodesReadNothing) {
  OpenImage(disk_);
  image_.SetSectorRange(1, 8);
  Bytes buf(1024, 0xEE);
  EXPECT_EQ(image_.ReadSectors(64, 32, 0, 1, 3, buf.data(), 0), 0);
  EXPECT_EQ(image_.ReadSectors(64, 32, 0, 1, 3, buf.data(), -5), 0);
  for (int32_t n : {-1, 24, 31, 32, 255, INT32_MAX}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(image_.ReadSectors(64, 32, 0, 1, n, buf.data(), 1024), 0);
  }
  EXPECT_EQ(buf, Bytes(1024, 0xEE));
}

// --- ReadTrackIds ---------------------------------------------------------

TEST_F(ReaderTest, ReadTrackIdsListsWhatFitsInTheBuffer) {
  ImageBuilder b;
  AddStandardTrack(b, 1, 0, 1, 5);
  OpenImage(b);
  uint8_t ids[64];
  std::memset(ids, 0xEE, sizeof(ids));
  EXPECT_EQ(image_.ReadTrackIds(1, ids, 10), 8);
  EXPECT_EQ(ids[8], 0xEE);
  EXPECT_EQ(image_.ReadTrackIds(1, ids, 12), 12);
  EXPECT_EQ(image_.ReadTrackIds(1, ids, 64), 20);
  const uint8_t expected[] = {0, 1, 1, 3, 0, 1, 2, 3, 0, 1,
                              3, 3, 0, 1, 4, 3, 0, 1, 5, 3};
  EXPECT_EQ(std::memcmp(ids, expected, sizeof(expected)), 0);
  EXPECT_EQ(image_.ReadTrackIds(1, ids, 3), 0);
  EXPECT_EQ(image_.ReadTrackIds(1, ids, -4), 0);
}

TEST_F(ReaderTest, ReadTrackIdsGoesOnPastACountOfZero) {
  ImageBuilder b;
  AddStandardTrack(b, 0, 0, 0, 3, 1, 256);
  for (TrackSector& s : b.Track(0).records()) s.count = 0;
  OpenImage(b);
  uint8_t ids[64];
  EXPECT_EQ(image_.ReadTrackIds(0, ids, 8), 8);
  // Without a count to stop it, the walk ends at the end of the file.
  EXPECT_EQ(image_.ReadTrackIds(0, ids, 64), 12);
}

// --- ReadTrackHeaders and GetFileSize --------------------------------------

// A walk stopped at any record and taken up again from its place visits
// what one walk visits, and ends where it ends; any place is safe.
TEST_F(ReaderTest, WalkRecordsGoesOnFromWhereItStopped) {
  ImageBuilder builder;
  TrackBuilder& t = AddStandardTrack(builder, 0, 0, 0, 40, 0, 128);
  t.records()[30].count = 31;  // ends the walk at index 30
  OpenImage(builder);
  SectorHeader whole[40];
  ASSERT_EQ(image_.ReadTrackHeaders(0, whole, 40, nullptr), 31);
  struct Visit {
    std::vector<SectorHeader> seen;
    int32_t every;
    int32_t calls = 0;
  };
  for (int32_t every : {2, 3, 7, 100}) {
    SCOPED_TRACE(every);
    D88Image::WalkPlace place;
    ASSERT_TRUE(image_.GetTrackStart(0, &place));
    Visit visit = {{}, every};
    const auto stop_now_and_then = [](void* context, const SectorHeader& h) {
      Visit& v = *static_cast<Visit*>(context);
      if (++v.calls % v.every == 0) return false;
      v.seen.push_back(h);
      return true;
    };
    int32_t stops = 0;
    while (!image_.WalkRecords(&place, stop_now_and_then, &visit, nullptr)) {
      ASSERT_LT(++stops, 100);
    }
    ASSERT_EQ(visit.seen.size(), 31u);
    for (size_t i = 0; i < 31; ++i)
      EXPECT_EQ(visit.seen[i].offset, whole[i].offset);
    EXPECT_EQ(place.offset, whole[30].offset + 16 + 128);
    EXPECT_EQ(place.index, 31);
    EXPECT_EQ(place.first_count, 40);
  }
  D88Image::WalkPlace none = {1, 2, 3};
  EXPECT_FALSE(image_.GetTrackStart(5, &none));
  EXPECT_EQ(none.offset, 1);
  const auto take_all = [](void*, const SectorHeader&) { return true; };
  for (D88Image::WalkPlace odd :
       {D88Image::WalkPlace{-5, 0, 0}, D88Image::WalkPlace{1 << 30, 0, 0},
        D88Image::WalkPlace{0, -3, -9},
        D88Image::WalkPlace{0, INT32_MAX, INT32_MAX}}) {
    bool file_ended = false;
    EXPECT_TRUE(image_.WalkRecords(&odd, take_all, nullptr, &file_ended));
  }
}

TEST_F(ReaderTest, ReadTrackHeadersGivesEveryHeaderFieldAndPlace) {
  ImageBuilder first;
  AddStandardTrack(first, 0, 0, 0, 1);
  ImageBuilder second;
  TrackBuilder& t = AddStandardTrack(second, 3, 1, 1, 3, 1, 256);
  t.records()[1].data.resize(100);  // data size 100, N 1
  t.records()[2].id = {7, 8, 9, 10};
  t.records()[0].density = 0x40;
  t.records()[1].deleted = 0x10;
  t.records()[2].status = 0xB0;
  Bytes file = first.Build();
  const int64_t base = static_cast<int64_t>(file.size());
  Append(file, second.Build());
  ASSERT_TRUE(OpenBytes(file));
  ASSERT_TRUE(image_.SelectImage(1));
  EXPECT_EQ(image_.GetFileSize(), static_cast<int64_t>(file.size()));

  SectorHeader records[8];
  bool file_ended = true;
  ASSERT_EQ(image_.ReadTrackHeaders(3, records, 8, &file_ended), 3);
  EXPECT_FALSE(file_ended);
  const int64_t start = base + image_.GetTrackOffset(3);
  const int64_t offsets[] = {start, start + 16 + 256, start + 32 + 356};
  const int32_t sizes[] = {256, 100, 256};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].offset, offsets[i]);
    EXPECT_EQ(records[i].count, 3);
    EXPECT_EQ(records[i].data_size, sizes[i]);
  }
  EXPECT_EQ(records[0].id, (SectorId{1, 1, 1, 1}));
  EXPECT_EQ(records[2].id, (SectorId{7, 8, 9, 10}));
  // The marks, also from the headers kept for a later walk.
  SectorHeader again[8];
  ASSERT_EQ(image_.ReadTrackHeaders(3, again, 8, nullptr), 3);
  for (int i = 0; i < 3; ++i) {
    for (const SectorHeader* h : {&records[i], &again[i]}) {
      EXPECT_EQ(h->density, i == 0 ? 0x40 : 0);
      EXPECT_EQ(h->deleted, i == 1 ? 0x10 : 0);
      EXPECT_EQ(h->status, i == 2 ? 0xB0 : 0);
    }
  }
  // The buffer bounds the list; absent and invalid tracks list nothing.
  EXPECT_EQ(image_.ReadTrackHeaders(3, records, 2, nullptr), 2);
  EXPECT_EQ(image_.ReadTrackHeaders(3, records, 0, &file_ended), 0);
  for (int32_t track : {-1, 0, 4, 164}) {
    EXPECT_EQ(image_.ReadTrackHeaders(track, records, 8, &file_ended), 0);
    EXPECT_FALSE(file_ended);
  }
}

TEST_F(ReaderTest, ReadTrackHeadersListsWhatReadSectorCanReach) {
  // Each damaged track lists the records up to the one that ends the
  // walk; ReadSector finds exactly the listed ones whose count is not 0.
  struct Case {
    const char* what;
    std::vector<std::pair<int, uint16_t>> counts;  // record index, count
    int cut_records;                               // file ends after these
    int listed;
    bool file_ended;
  };
  const Case cases[] = {
      {"sound", {}, 0, 8, false},
      {"count 0 in record 3", {{3, 0}}, 0, 4, false},
      {"count 0 first", {{0, 0}}, 0, 1, false},
      {"record 2 says 3", {{2, 3}}, 0, 3, false},
      {"first says 5, later more", {{0, 5}, {1, 1000}, {4, 1000}}, 0, 5, false},
      {"file ends after 3", {}, 3, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageBuilder b;
    AddStandardTrack(b, 0, 0, 0, 8, 1, 256);
    for (const auto& [index, count] : c.counts) {
      b.Track(0).records()[static_cast<size_t>(index)].count = count;
    }
    Bytes file = b.Build();
    if (c.cut_records > 0) {
      file.resize(kImageHeaderSize +
                  static_cast<size_t>(c.cut_records) * (16 + 256) + 15);
    }
    ASSERT_TRUE(OpenBytes(file));
    ASSERT_TRUE(image_.SelectImage(0));
    std::vector<SectorHeader> records(kMaxSectorCount);
    bool file_ended = false;
    const int32_t listed = image_.ReadTrackHeaders(
        0, records.data(), kMaxSectorCount, &file_ended);
    EXPECT_EQ(listed, c.listed);
    EXPECT_EQ(file_ended, c.file_ended);
    for (int r = 1; r <= 8; ++r) {
      bool reachable = false;
      for (int32_t i = 0; i < listed; ++i) {
        const SectorHeader& h = records[static_cast<size_t>(i)];
        if (h.id.r == r && h.count != 0) reachable = true;
      }
      EXPECT_EQ(Read(0, 0, 0, r, 1, 256).size(), reachable ? 256u : 0u) << r;
    }
  }
}

TEST_F(ReaderTest, ReadTrackHeadersFitsTheLargestCount) {
  // 65536 empty records that all claim 65535: the walk stops at the
  // count's last record, which fills a buffer of kMaxSectorCount.
  ImageBuilder b;
  TrackBuilder& t = b.AddTrack(0);
  for (int i = 0; i <= kMaxSectorCount; ++i) {
    t.AddSector({0, 0, static_cast<uint8_t>(i), 0}, Bytes{});
    t.Last().count = kMaxSectorCount;
  }
  OpenImage(b);
  std::vector<SectorHeader> records(kMaxSectorCount);
  bool file_ended = true;
  EXPECT_EQ(
      image_.ReadTrackHeaders(0, records.data(), kMaxSectorCount, &file_ended),
      kMaxSectorCount);
  EXPECT_FALSE(file_ended);
  EXPECT_EQ(records.back().offset, static_cast<int64_t>(kImageHeaderSize) +
                                       16 * (kMaxSectorCount - 1));
}

TEST_F(ReaderTest, FileSizeNeedsAnOpenFile) {
  EXPECT_EQ(image_.GetFileSize(), -1);
  ASSERT_TRUE(OpenBytes(Bytes{}));
  EXPECT_EQ(image_.GetFileSize(), 0);
  ASSERT_TRUE(OpenBytes(Bytes(kImageHeaderSize + 1, 0)));
  EXPECT_EQ(image_.GetFileSize(), static_cast<int64_t>(kImageHeaderSize + 1));
  ASSERT_TRUE(image_.Open(nullptr));
  EXPECT_EQ(image_.GetFileSize(), -1);
}

TEST_F(ReaderTest, FileIdentityIsTheSameUnderEveryName) {
  FileIdentity none;
  EXPECT_FALSE(image_.GetFileIdentity(&none));
  ASSERT_TRUE(OpenBytes(Bytes(10, 1)));
  FileIdentity first;
  ASSERT_TRUE(image_.GetFileIdentity(&first));

  // A second name of the same file, and another file of the same bytes.
  std::error_code ec;
  std::filesystem::create_hard_link(path_, dir_.File("link.d88"), ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_TRUE(WriteFileBytes(dir_.File("copy.d88"), Bytes(10, 1)));
  FileIdentity linked;
  ASSERT_TRUE(image_.Open(dir_.File("link.d88").c_str()));
  ASSERT_TRUE(image_.GetFileIdentity(&linked));
  EXPECT_TRUE(linked == first);
  FileIdentity copy;
  ASSERT_TRUE(image_.Open(dir_.File("copy.d88").c_str()));
  ASSERT_TRUE(image_.GetFileIdentity(&copy));
  EXPECT_FALSE(copy == first);
}

TEST_F(ReaderTest, EveryOpenTellsWhyItFailed) {
  ASSERT_TRUE(WriteFileBytes(dir_.File("ok.d88"), Bytes(10, 1)));
  using Failure = D88Image::OpenFailure;
  struct Case {
    std::string path;
    Failure failure;
    const char* reason;  // as POSIX systems word it; null for none
  };
  const Case cases[] = {
      {dir_.File("missing.d88"), Failure::kFile, "No such file or directory"},
      {dir_.path(), Failure::kFile, "Is a directory"},
      {dir_.File("ok.d88"), Failure::kNone, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(image_.Open(c.path.c_str()), c.failure == Failure::kNone);
    EXPECT_EQ(image_.GetOpenFailure(), c.failure);
    // The reason of a failed Open is not a read error.
    EXPECT_EQ(image_.GetReadError(), nullptr);
    EXPECT_EQ(image_.GetError() != nullptr, c.reason != nullptr);
#ifndef _WIN32
    if (c.reason != nullptr) {
      EXPECT_STREQ(image_.GetError(), c.reason);
    }
#endif
  }
  // Bytes in memory open as a file of them, and have no identity.
  const Bytes bytes = Bytes(kImageHeaderSize, 0);
  ASSERT_TRUE(image_.OpenMemory(bytes.data(), bytes.size()));
  EXPECT_EQ(image_.GetOpenFailure(), Failure::kNone);
  EXPECT_EQ(image_.GetImageCount(), kMaxImages);
  EXPECT_EQ(image_.GetFileSize(), static_cast<int64_t>(kImageHeaderSize));
  FileIdentity identity;
  EXPECT_FALSE(image_.GetFileIdentity(&identity));
  ASSERT_TRUE(image_.OpenMemory(nullptr, 0));
  EXPECT_EQ(image_.GetImageCount(), 0);
  EXPECT_EQ(image_.GetFileSize(), 0);
}

}  // namespace
}  // namespace d88
