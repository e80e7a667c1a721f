// Which files d88info calls no D88 file: in-process on built headers, and
// end to end on files of other kinds.

#include "info/file_verdict.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "d88/d88_format.h"
#include "testing/d88_builder.h"
#include "testing/demo_image.h"
#include "testing/run_process.h"

namespace info {

using d88::DecodeU32;
using d88::kDataSizeOffset;
using d88::kSectorHeaderSize;
using d88::kSectorNOffset;
using d88::kSectorROffset;
using d88::kTrackEntrySize;
using d88test::Append;
using d88test::Pattern;
using d88test::RunProcess;
using d88test::TrackBuilder;

using d88::D88Image;
using d88::kDiskSizeOffset;
using d88::kImageHeaderSize;
using d88::kSectorCountOffset;
using d88::kTrackTableOffset;
using d88test::BuildDamagedDemoImage;
using d88test::BuildDemoImage;
using d88test::Bytes;
using d88test::ConsoleText;
using d88test::ImageBuilder;
using d88test::ProcessResult;
using d88test::StoreU16;
using d88test::StoreU32;
using d88test::TempDir;
using d88test::TestedExecutable;
using d88test::WriteFileBytes;
namespace {

constexpr size_t kHeader = kImageHeaderSize;

// Track `t` of sixteen 256-byte sectors.
void AddTrack16(ImageBuilder& image, int t) {
  TrackBuilder& track = image.AddTrack(t);
  for (int r = 1; r <= 16; ++r) {
    track.AddSector({static_cast<uint8_t>(t / 2), static_cast<uint8_t>(t % 2),
                     static_cast<uint8_t>(r), 1},
                    Pattern(256, static_cast<uint32_t>(r)));
  }
}

Bytes TwoTracks() {
  ImageBuilder b;
  AddTrack16(b, 0);
  AddTrack16(b, 1);
  return b.Build();
}

// `image` with `gap` bytes inserted at `at`, its disk size and the track
// offsets beyond `at` moved along (by a negative gap, bytes removed).
Bytes Shifted(Bytes image, size_t at, int gap) {
  if (gap > 0) {
    image.insert(image.begin() + static_cast<std::ptrdiff_t>(at),
                 static_cast<size_t>(gap), 0xE5);
  } else {
    image.erase(image.begin() + static_cast<std::ptrdiff_t>(at),
                image.begin() + static_cast<std::ptrdiff_t>(at) - gap);
  }
  StoreU32(image, kDiskSizeOffset, static_cast<uint32_t>(image.size()));
  for (size_t e = kTrackTableOffset; e + kTrackEntrySize <= at;
       e += kTrackEntrySize) {
    const uint32_t offset = DecodeU32(image.data() + e);
    if (offset >= at) StoreU32(image, e, offset + static_cast<uint32_t>(gap));
  }
  return image;
}

// A header whose disk size is the file's and whose track 0 lies at 700,
// where the 16 bytes `record` stand among `fill` bytes.
Bytes HeaderAt700(const Bytes& record, uint8_t fill = 0xFF) {
  ImageBuilder b;
  b.SetTrackOffset(0, 700);
  Bytes file = b.Build();
  file.resize(2000, fill);
  std::copy(record.begin(), record.end(), file.begin() + 700);
  StoreU32(file, kDiskSizeOffset, 2000);
  return file;
}

// A sector header record: ID 0/0/1/N, `count`, `size`.
Bytes Record(uint8_t n, uint16_t count, uint16_t size) {
  Bytes h(kSectorHeaderSize, 0);
  h[kSectorROffset] = 1;
  h[kSectorNOffset] = n;
  StoreU16(h, kSectorCountOffset, count);
  StoreU16(h, kDataSizeOffset, size);
  return h;
}

// --- Files of other kinds, as a user has them ------------------------------

uint32_t Crc32(const Bytes& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

Bytes Text() {
  std::string text;
  for (int i = 0; i < 40; ++i) {
    text += "Line " + std::to_string(i) +
            ": a plain text file, which no one should take for a disk.\n";
  }
  return Bytes(text.begin(), text.end());
}

// A zip archive that stores one text file uncompressed.
Bytes Zip() {
  const std::string name = "README.txt";
  const Bytes data = Text();
  const uint32_t crc = Crc32(data);
  const uint32_t size = static_cast<uint32_t>(data.size());
  Bytes zip;
  auto u16 = [&zip](uint16_t v) {
    zip.resize(zip.size() + 2);
    StoreU16(zip, zip.size() - 2, v);
  };
  auto u32 = [&zip](uint32_t v) {
    zip.resize(zip.size() + 4);
    StoreU32(zip, zip.size() - 4, v);
  };
  // Version 2.0, no flags, stored, a time and date, the CRC and sizes, the
  // name's length, no extra field.
  auto entry_fields = [&] {
    for (int v : {20, 0, 0, 0x6000, 0x5A21}) u16(static_cast<uint16_t>(v));
    for (uint32_t v : {crc, size, size}) u32(v);
    u16(static_cast<uint16_t>(name.size()));
    u16(0);
  };
  u32(0x04034B50);  // local file header
  entry_fields();
  zip.insert(zip.end(), name.begin(), name.end());
  Append(zip, data);
  const uint32_t directory = static_cast<uint32_t>(zip.size());
  u32(0x02014B50);  // central directory entry
  u16(20);
  entry_fields();
  for (int i = 0; i < 3; ++i) u16(0);  // comment, disk, internal attributes
  u32(0);                              // external attributes
  u32(0);                              // offset of the local header
  zip.insert(zip.end(), name.begin(), name.end());
  const uint32_t directory_size = static_cast<uint32_t>(zip.size()) - directory;
  u32(0x06054B50);  // end of the central directory
  for (int v : {0, 0, 1, 1}) u16(static_cast<uint16_t>(v));
  u32(directory_size);
  u32(directory);
  u16(0);
  return zip;
}

Bytes RandomBytes() {
  std::mt19937 rng(88);
  Bytes bytes(65536);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng() >> 24);
  return bytes;
}

// The sectors of a 1.2 MB disk (77 cylinders, 2 heads, 8 sectors of 1024
// bytes) one after another, as a raw dump holds them; the first is a boot
// sector whose BPB counts no hidden sectors.
Bytes RawSectorDump() {
  Bytes dump;
  for (uint32_t s = 0; s < 77 * 2 * 8; ++s) Append(dump, Pattern(1024, s));
  const uint8_t boot[] = {0xEB, 0x3C, 0x90, 'D',  '8',  '8',  'C',  'U',
                          'T',  ' ',  ' ',  0x00, 0x04, 0x01, 0x01, 0x00,
                          0x02, 0xC0, 0x00, 0xD0, 0x04, 0xFE, 0x02, 0x00,
                          0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::memcpy(dump.data(), boot, sizeof(boot));
  return dump;
}

// --- In-process --------------------------------------------------------------

class FileVerdictTest : public ::testing::Test {
 protected:
  std::string Reason(const Bytes& file) {
    const std::string path = dir_.File("in.bin");
    EXPECT_TRUE(WriteFileBytes(path, file));
    D88Image image;
    EXPECT_TRUE(image.Open(path.c_str()));
    return NotD88Reason(image, image.GetFileSize());
  }

  TempDir dir_;
};

TEST_F(FileVerdictTest, DamagedAndTruncatedD88FilesAreD88Files) {
  const Bytes sound = TwoTracks();
  Bytes cut_in_track = sound;
  cut_in_track.resize(kHeader + 16 + 100);
  Bytes cut_after_header = sound;
  cut_after_header.resize(kHeader + 10);
  Bytes size_zero = sound;
  StoreU32(size_zero, kDiskSizeOffset, 0);
  Bytes size_negative = sound;
  StoreU32(size_negative, kDiskSizeOffset, 0xFFFFFFFFu);
  Bytes size_huge = sound;
  StoreU32(size_huge, kDiskSizeOffset, 0x7FFFFFFFu);
  // A table of 160 entries: the tracks start at 672, and the last four
  // entries hold the first sector header's bytes.
  const Bytes short_table = Shifted(sound, kHeader - 16, -16);
  // The same, its first sector header damaged and the file cut inside it.
  Bytes short_table_cut = short_table;
  StoreU16(short_table_cut, kHeader - 16 + kSectorCountOffset, 0);
  short_table_cut.resize(kHeader + 12);
  // A gap before the first track, and a later track whose header is junk.
  Bytes gap = Shifted(sound, kHeader, 12);
  StoreU32(gap, kTrackTableOffset + 4 * 5, 0x20);
  Bytes first_track_junk = sound;
  StoreU32(first_track_junk, kTrackTableOffset, 700);  // into sector data

  const std::pair<const char*, Bytes> cases[] = {
      {"sound", sound},
      {"the sample image", BuildDemoImage()},
      {"the damaged sample image", BuildDamagedDemoImage()},
      {"unformatted: no track", ImageBuilder().Build()},
      {"cut inside the first track", cut_in_track},
      {"cut right after the header", cut_after_header},
      {"disk size 0", size_zero},
      {"negative disk size", size_negative},
      {"disk size beyond the file", size_huge},
      {"a table of 160 entries", short_table},
      {"a table of 160 entries, its first header damaged", short_table_cut},
      {"a gap before the first track", gap},
      {"only a later track starts with a sector header", first_track_junk},
  };
  for (const auto& [what, file] : cases) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Reason(file), "");
  }
}

TEST_F(FileVerdictTest, EachReasonNamesTheFieldAtFault) {
  ImageBuilder beyond_disk;
  beyond_disk.SetTrackOffset(0, 5000);
  ImageBuilder beyond_file;
  beyond_file.SetTrackOffset(0, 1000).SetDiskSize(5000);
  Bytes no_track_huge_size = ImageBuilder().Build();
  StoreU32(no_track_huge_size, kDiskSizeOffset, 5000);
  const std::pair<Bytes, std::string> cases[] = {
      {Bytes{}, "the file is shorter than the 688-byte image header"},
      {Bytes(kHeader - 1, 0x20),
       "the file is shorter than the 688-byte image header"},
      {Bytes(1000, 0),
       "the first image's disk size, 0 bytes, is smaller than the 688-byte "
       "image header"},
      {Bytes(1000, 0xFF),
       "the first image's disk size, -1 bytes, is smaller than the 688-byte "
       "image header"},
      {no_track_huge_size,
       "the first image's disk size, 5000 bytes, is beyond the end of the "
       "file (688 bytes)"},
      {Text(),
       "the first image's disk size, 1751345512 bytes, is beyond the end of "
       "the file (2590 bytes)"},
      {beyond_disk.Build(),
       "the first image's track table names no track that the file holds"},
      {beyond_file.Build(),
       "the first image's disk size, 5000 bytes, is beyond the end of the "
       "file (688 bytes)"},
      {HeaderAt700(Bytes(16, 0xFF)),
       "no track of the first image starts with a plausible sector header"},
  };
  for (const auto& [file, reason] : cases) {
    SCOPED_TRACE(reason);
    EXPECT_EQ(Reason(file), reason);
  }
}

// What a real track may hold: up to 255 sectors, size codes up to 8 and
// 32 KiB of data in one sector.
TEST_F(FileVerdictTest, PlausibleSectorHeaders) {
  const std::string none =
      "no track of the first image starts with a plausible sector header";
  const std::pair<Bytes, bool> cases[] = {
      {Record(1, 16, 256), true},    {Record(0, 1, 0), true},
      {Record(8, 255, 32768), true}, {Record(1, 0, 256), false},
      {Record(1, 256, 256), false},  {Record(9, 1, 256), false},
      {Record(1, 16, 32769), false},
  };
  for (const auto& [record, plausible] : cases) {
    SCOPED_TRACE(testing::PrintToString(record));
    EXPECT_EQ(Reason(HeaderAt700(record)), plausible ? "" : none);
  }
}

// --- End to end
// ----------------------------------------------------------------

struct Account {
  int status;
  std::string out;
};

Account D88Info(const std::string& path) {
  const std::string exe = TestedExecutable(D88INFO_PATH);
  ProcessResult r = RunProcess(exe, {exe, path});
  EXPECT_TRUE(ConsoleText(r.out, &r.out));
  EXPECT_EQ(r.err, "");
  return {r.exit_code, r.out};
}

// Real D88 files: D88InfoTest.RealImagesOfOtherSoftware.
TEST(D88InfoVerdictTest, FilesOfOtherKindsAreNoD88Files) {
  TempDir dir;
  const Bytes zip = Zip();
  ASSERT_TRUE(WriteFileBytes(dir.File("a.zip"), zip));
  const Account r = D88Info(dir.File("a.zip"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "not a D88 file: the first image's disk size, 1163001856 "
            "bytes, is beyond the end of the file (" +
                std::to_string(zip.size()) +
                " bytes)\n"
                "File: " +
                std::to_string(zip.size()) +
                " bytes\n"
                "\n"
                "Its first 688 bytes as an image header:\n"
                "  name        \"PK...\"\n"
                "  media type  0x00 (2D)\n"
                "  disk size   1163001856 bytes\n");

  // The first line of each; random bytes may fail any test.
  const struct {
    const char* name;
    Bytes bytes;
    std::string verdict;
  } others[] = {
      {"random.bin", RandomBytes(), "not a D88 file: "},
      {"raw.img", RawSectorDump(),
       "not a D88 file: the first image's disk size, 0 bytes, is smaller "
       "than the 688-byte image header\n"},
      {"text.txt", Text(),
       "not a D88 file: the first image's disk size, 1751345512 bytes, is "
       "beyond the end of the file (2590 bytes)\n"},
  };
  for (const auto& other : others) {
    SCOPED_TRACE(other.name);
    ASSERT_TRUE(WriteFileBytes(dir.File(other.name), other.bytes));
    const Account run = D88Info(dir.File(other.name));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind(other.verdict, 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\nFile: " + std::to_string(other.bytes.size()) +
                           " bytes\n\nIts first 688 bytes as an image "
                           "header:\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Image 0"), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace info
