// Which files d88info calls no D88 file: in-process on built headers, and
// end to end on files of other kinds.

#include "info/file_verdict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "d88/d88_format.h"
#include "testing/archives.h"
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
using d88test::GzipOf;
using d88test::ImageBuilder;
using d88test::LzhOf;
using d88test::ProcessResult;
using d88test::ReadFileBytes;
using d88test::SevenZipSignatureOf;
using d88test::StoreU16;
using d88test::StoreU32;
using d88test::TempDir;
using d88test::TestedExecutable;
using d88test::WriteFileBytes;
using d88test::ZipMethod;
using d88test::ZipOf;
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

Bytes Text() {
  std::string text;
  for (int i = 0; i < 40; ++i) {
    text += "Line " + std::to_string(i) +
            ": a plain text file, which no one should take for a disk.\n";
  }
  return Bytes(text.begin(), text.end());
}

// A zip archive that stores one text file uncompressed.
Bytes Zip() { return ZipOf("README.txt", Text(), ZipMethod::kStored); }

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

  // The archive that FindArchive names in the file's first bytes, or "".
  std::string Archive(const Bytes& file) {
    const std::string path = dir_.File("in.bin");
    EXPECT_TRUE(WriteFileBytes(path, file));
    D88Image image;
    EXPECT_TRUE(image.Open(path.c_str()));
    const ArchiveKind* kind = ArchiveOf(image);
    return kind == nullptr ? "" : kind->what;
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

// Magic bytes, each with its neighbours that must not match.
TEST_F(FileVerdictTest, ArchivesAreToldByTheirMagicBytes) {
  auto bytes = [](const std::string& text) {
    Bytes b(text.begin(), text.end());
    b.resize(64, 0);
    return b;
  };
  Bytes cab = bytes(std::string("MSCF\0\0\0\0", 8));
  cab[24] = 3;
  cab[25] = 1;
  Bytes cab_no_version = cab;
  cab_no_version[24] = 0;
  const std::pair<Bytes, std::string> cases[] = {
      {bytes("PK\x03\x04"), "a zip archive"},
      {bytes("PK\x05\x06"), "a zip archive"},            // empty
      {bytes("PK\x07\x08PK\x03\x04"), "a zip archive"},  // spanned
      {bytes("PK\x01\x02"), ""},
      {bytes("\x1F\x8B\x08"), "a gzip file"},
      {bytes("\x1F\x8B\x07"), ""},
      {bytes("\x1A\x01-lh5-"), "an LZH archive"},
      {bytes("\x1A\x01-lhd-"), "an LZH archive"},
      {bytes("\x1A\x01-lzs-"), "an LZH archive"},
      {bytes("\x1A\x01-lz5-"), "an LZH archive"},
      {bytes("\x1A\x01-lh9-"), ""},
      {bytes("\x1A-lh5-"), ""},
      {bytes("7z\xBC\xAF\x27\x1C"), "a 7z archive"},
      {bytes("Rar!\x1A\x07"), "a rar archive"},
      {bytes("Rar!\x1A\x07\x01"), "a rar archive"},
      {bytes("Rar!\x1A\x07\x02"), ""},
      {bytes("\xFD\x37zXZ"), "an xz file"},
      {bytes("BZh91AY&SY"), "a bzip2 file"},
      {bytes("BZh1\x17\x72\x45\x38\x50\x90"), "a bzip2 file"},  // empty
      {bytes("BZh91AY"), ""},
      {bytes("\x28\xB5\x2F\xFD"), "a zstd file"},
      {cab, "a cab archive"},
      {cab_no_version, ""},  // a disk named "MSCF"
      {bytes("GAME DISK 1"), ""},
      {Bytes{'P', 'K', 3}, ""},  // too short
  };
  for (const auto& [file, what] : cases) {
    const size_t shown = std::min<size_t>(file.size(), 12);
    SCOPED_TRACE(testing::PrintToString(Bytes(
        file.begin(), file.begin() + static_cast<std::ptrdiff_t>(shown))));
    EXPECT_EQ(Archive(file), what);
    EXPECT_EQ(FindArchive(file.data(), 0), nullptr);
  }
}

// D88 files: the sample images and the real ones that are at hand.
std::vector<std::pair<std::string, Bytes>> D88Files() {
  std::vector<std::pair<std::string, Bytes>> files = {
      {"sample", BuildDemoImage()},
      {"damaged sample", BuildDamagedDemoImage()}};
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(D88CUT_REAL_IMAGES, ec)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".d88" && ext != ".d77") continue;
    Bytes bytes;
    EXPECT_TRUE(ReadFileBytes(entry.path().string(), &bytes));
    files.emplace_back(entry.path().filename().string(), bytes);
  }
  return files;
}

// No archive of a D88 file passes the verdict, whatever its magic bytes:
// a stored zip or LZH under names of every length mod 4 puts the image's
// track table at every alignment.
TEST_F(FileVerdictTest, NoArchiveOfAD88FilePassesAsOne) {
  for (const auto& [name, d88] : D88Files()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Reason(d88), "");
    EXPECT_EQ(Archive(d88), "");
    std::vector<std::pair<std::string, Bytes>> archives = {
        {"a zip archive", ZipOf("DISK.D88", d88, ZipMethod::kDeflated)},
        {"a gzip file", GzipOf(d88)},
        {"a 7z archive", SevenZipSignatureOf(d88)},
    };
    for (const std::string stem : {"A", "AB", "ABC", "ABCD"}) {
      archives.emplace_back("a zip archive",
                            ZipOf(stem + ".d88", d88, ZipMethod::kStored));
      archives.emplace_back("an LZH archive", LzhOf(stem + ".d88", d88));
    }
    for (const auto& [what, archive] : archives) {
      SCOPED_TRACE(what);
      EXPECT_EQ(Archive(archive), what);
      EXPECT_NE(Reason(archive), "");
    }
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

// An archive of the sample image: what it is, and how to read its image.
TEST(D88InfoVerdictTest, ArchivesAreNamedWithAPipeToReadThem) {
  TempDir dir;
  const Bytes d88 = BuildDemoImage();
  const struct {
    Bytes archive;
    std::string what;
    std::string extract;
  } cases[] = {
      {ZipOf("DEMO.D88", d88, ZipMethod::kStored), "a zip archive",
       "unzip -p FILE NAME.d88"},
      {ZipOf("DEMO.D88", d88, ZipMethod::kDeflated), "a zip archive",
       "unzip -p FILE NAME.d88"},
      {GzipOf(d88), "a gzip file", "gzip -dc FILE"},
      {SevenZipSignatureOf(d88), "a 7z archive", "7z e -so FILE NAME.d88"},
      {LzhOf("DEMO.D88", d88), "an LZH archive", "lha pq FILE NAME.d88"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileBytes(dir.File("archive"), c.archive));
    const Account r = D88Info(dir.File("archive"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "not a D88 file: " + c.what +
                         "\nFile: " + std::to_string(c.archive.size()) +
                         " bytes\nTo read a disk image inside it, pipe it "
                         "in: " +
                         c.extract + " | d88info -\n");
  }
}

// Real D88 files: D88InfoTest.RealImagesOfOtherSoftware.
TEST(D88InfoVerdictTest, FilesOfOtherKindsAreNoD88Files) {
  TempDir dir;
  const Bytes zip = Zip();
  ASSERT_TRUE(WriteFileBytes(dir.File("a.zip"), zip));
  const Account r = D88Info(dir.File("a.zip"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "not a D88 file: a zip archive\nFile: " +
                       std::to_string(zip.size()) +
                       " bytes\nTo read a disk image inside it, pipe it in: "
                       "unzip -p FILE NAME.d88 | d88info -\n");

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
