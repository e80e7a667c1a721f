// End-to-end tests: the real d88info executable runs on D88 files built
// here, and its console bytes and exit status are compared.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "game/game_layout.h"
#include "testing/chained_images.h"
#include "testing/d88_builder.h"
#include "testing/demo_image.h"
#include "testing/game_disk_builder.h"
#include "testing/run_process.h"

namespace info {

using d88test::BuildChainedImages;
using d88test::ConsoleText;

using d88::kImageHeaderSize;
using d88test::Append;
using d88test::BuildDamagedDemoImage;
using d88test::BuildDemoImage;
using d88test::Bytes;
using d88test::GameDiskBuilder;
using d88test::ImageBuilder;
using d88test::Pattern;
using d88test::ProcessOptions;
using d88test::ProcessResult;
using d88test::TempDir;
using d88test::TestedExecutable;
using d88test::TrackBuilder;
using d88test::TrackSector;
using d88test::WriteFileBytes;
namespace {

class D88InfoTest : public ::testing::Test {
 protected:
  std::string Input(const Bytes& bytes, const std::string& name = "in.d88") {
    const std::string path = inputs_.File(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }

  ProcessResult Run(std::vector<std::string> args) {
    const std::string exe = TestedExecutable(D88INFO_PATH);
    args.insert(args.begin(), exe);
    ProcessOptions options;
    options.cwd = work_.path();
    ProcessResult r = RunProcess(exe, args, options);
    EXPECT_TRUE(ConsoleText(r.out, &r.out)) << "a line feed without CR";
    EXPECT_TRUE(ConsoleText(r.err, &r.err)) << "a line feed without CR";
    return r;
  }

  // The account of `file`, which must succeed without a diagnostic.
  std::string Account(const Bytes& file) {
    const ProcessResult r = Run({Input(file)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  ProcessResult Check(const Bytes& file) {
    return Run({"--check", Input(file)});
  }

  TempDir work_;
  TempDir inputs_;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Track `t` of a double-sided 2D disk: sixteen 256-byte sectors.
TrackBuilder& AddTrack16(ImageBuilder& image, int t) {
  TrackBuilder& track = image.AddTrack(t);
  for (int r = 1; r <= 16; ++r) {
    track.AddSector({static_cast<uint8_t>(t / 2), static_cast<uint8_t>(t % 2),
                     static_cast<uint8_t>(r), 1},
                    Pattern(256, static_cast<uint32_t>(t * 16 + r)));
  }
  return track;
}

// --- Command line -----------------------------------------------------------

TEST_F(D88InfoTest, HelpGoesToStandardOutputAndUsageErrorsToStandardError) {
  const ProcessResult help = Run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Usage: d88info [--check] [--json] FILE...\n", 0),
            0u);
  for (const char* option :
       {"\n  --check ", "\n  --json ", "\n  -h, --help ", "\n  --version "}) {
    EXPECT_TRUE(Contains(help.out, option)) << option;
  }
  EXPECT_EQ(Run({"-h"}).out, help.out);

  const ProcessResult version = Run({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.err, "");
  EXPECT_EQ(version.out, "d88info " D88CUT_VERSION "\n");

  // A usage error names what is wrong, the first thing that is.
  const std::string file = Input(Bytes{});
  const std::pair<std::vector<std::string>, std::string> errors[] = {
      {{}, "no FILE given"},
      {{"--check"}, "no FILE given"},
      {{"--verbose", file}, "unknown option '--verbose'"},
      {{"--help", "--bogus"}, "unknown option '--bogus'"},
      {{"-x", file, file}, "unknown option '-x'"},
      {{"--\x1b[2J"}, "unknown option '--.[2J'"},
  };
  for (const auto& [args, what] : errors) {
    SCOPED_TRACE(what);
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "d88info: " + what + "\nTry 'd88info --help'.\n");
  }
  // Options may follow the file, and "--" ends them; "-" is a FILE.
  EXPECT_EQ(Run({file, "--check"}).exit_code, 1);
  ASSERT_TRUE(WriteFileBytes(work_.File("--check"), Bytes(3, 0)));
  EXPECT_EQ(Run({"--", "--check"}).out,
            "not a D88 file: the file is shorter than the 688-byte image "
            "header\nFile: 3 bytes\n");
}

TEST_F(D88InfoTest, UnopenableFileGivesStatusTwo) {
  // With the system's reason (as POSIX systems word it).
  const std::pair<std::string, std::string> cases[] = {
      {inputs_.File("missing.d88"), "No such file or directory"},
      {inputs_.path(), "Is a directory"}};
  for (const auto& [path, reason] : cases) {
    for (bool check : {false, true}) {
      SCOPED_TRACE(path);
      const ProcessResult r = check ? Run({"--check", path}) : Run({path});
      EXPECT_EQ(r.exit_code, 2);
      EXPECT_EQ(r.out, "");
      const std::string start = "d88info: cannot open " + path + ": ";
      EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
#ifndef _WIN32
      EXPECT_EQ(r.err, start + reason + "\n");
#endif
    }
  }
  // Control bytes of the path are not written as they are.
  const ProcessResult r = Run({inputs_.File("a\nb\x1b")});
  EXPECT_EQ(
      r.err.rfind("d88info: cannot open " + inputs_.File("a.b.") + ": ", 0), 0u)
      << r.err;
}

// --- Several files and standard input --------------------------------------

// Each file under a header, as head(1) does; the worst status of them all.
TEST_F(D88InfoTest, SeveralFilesEachUnderAHeaderWithTheWorstStatus) {
  const std::string demo = Input(BuildDemoImage(), "demo.d88");
  GameDiskBuilder broken('1');
  broken.RemoveSector(67, 1);
  const std::string incomplete = Input(broken.Build(), "broken.d88");
  const std::string missing = inputs_.File("missing.d88");
  const std::string demo_account = Account(BuildDemoImage());
  const std::string demo_check = Check(BuildDemoImage()).out;
  const std::string broken_check = Check(broken.Build()).out;

  const ProcessResult accounts = Run({demo, missing, incomplete});
  EXPECT_EQ(accounts.exit_code, 2);
  EXPECT_EQ(accounts.err.rfind("d88info: cannot open " + missing + ": ", 0), 0u)
      << accounts.err;
  EXPECT_EQ(accounts.out, "==> " + demo + " <==\n" + demo_account + "\n==> " +
                              incomplete + " <==\n" + Account(broken.Build()));

  const ProcessResult checks = Run({"--check", demo, incomplete, demo});
  EXPECT_EQ(checks.exit_code, 1);
  EXPECT_EQ(checks.out, "==> " + demo + " <==\n" + demo_check + "\n==> " +
                            incomplete + " <==\n" + broken_check + "\n==> " +
                            demo + " <==\n" + demo_check);
  EXPECT_EQ(Run({"--check", demo, demo}).exit_code, 0);
}

#ifndef _WIN32
// "-" reads standard input, a pipe here, as the file of the same bytes.
TEST_F(D88InfoTest, DashIsStandardInput) {
  const Bytes image = BuildDemoImage();
  const std::string demo = Input(image, "demo.d88");
  const std::string exe = TestedExecutable(D88INFO_PATH);
  ProcessOptions options;
  options.stdin_pipe = true;
  options.stdin_bytes.assign(image.begin(), image.end());
  const ProcessResult alone = RunProcess(exe, {exe, "-"}, options);
  EXPECT_EQ(alone.exit_code, 0);
  EXPECT_EQ(alone.out, Account(image));
  const ProcessResult both = RunProcess(exe, {exe, demo, "-"}, options);
  EXPECT_EQ(both.exit_code, 0);
  EXPECT_EQ(both.out, "==> " + demo + " <==\n" + alone.out +
                          "\n==> standard input <==\n" + alone.out);
}
#endif

// --- The account ------------------------------------------------------------

TEST_F(D88InfoTest, DemoImage) {
  EXPECT_EQ(Account(BuildDemoImage()),
            "File: 109536 bytes, 2 images\n"
            "\n"
            "Image 0 at offset 0\n"
            "  name        \"DEMO DISK 1\"\n"
            "  media type  0x20 (2HD)\n"
            "  disk size   83888 bytes\n"
            "  tracks      10 present: 0-4, 6, 64, 66-68\n"
            "  layout      8 sectors of N 3, 1024 bytes, on all 10 tracks\n"
            "  anomalies   none\n"
            "  game        signature found: disk 1\n"
            "\n"
            "Image 1 at offset 83888\n"
            "  name        \"DEMO DISK 2\"\n"
            "  media type  0x20 (2HD)\n"
            "  disk size   25648 bytes\n"
            "  tracks      3 present: 0, 33-34\n"
            "  layout      8 sectors of N 3, 1024 bytes, on all 3 tracks\n"
            "  anomalies   none\n"
            "  game        signature found: disk 2\n");
}

// The damaged sample image, whose account and check the README shows.
TEST_F(D88InfoTest, DamagedDemoImage) {
  EXPECT_EQ(
      Account(BuildDamagedDemoImage()),
      "File: 103312 bytes, 2 images\n"
      "\n"
      "Image 0 at offset 0\n"
      "  name        \"DEMO DISK 1\"\n"
      "  media type  0x20 (2HD)\n"
      "  disk size   82336 bytes\n"
      "  tracks      10 present: 0-4, 6, 64, 66-68\n"
      "  layout      8 sectors of N 3, 1024 bytes, on 8 of 10 tracks\n"
      "  track 1     7 sectors of N 3, 1024 bytes\n"
      "              0/1/1/3 0/1/2/3 0/1/3/3 0/1/5/3 0/1/6/3 0/1/7/3 0/1/8/3\n"
      "  track 4     8 sectors of mixed sizes\n"
      "              2/0/1/3[1024] 2/0/2/3[512] 2/0/3/3[1024] 2/0/4/3[1024]\n"
      "              2/0/5/3[1024] 2/0/6/3[1024] 2/0/7/3[1024] 2/0/8/3[1024]\n"
      "  anomalies   data size 512 with N 3 (128 << 3 is 1024): track 4\n"
      "  game        signature found: disk 1\n"
      "\n"
      "Image 1 at offset 82336\n"
      "  name        \"DEMO DISK 2\"\n"
      "  media type  0x20 (2HD)\n"
      "  disk size   25648 bytes\n"
      "  tracks      3 present: 0, 33-34\n"
      "  layout      8 sectors of N 3, 1024 bytes, on 2 of 3 tracks\n"
      "  track 34    4 sectors of N 3, 1024 bytes\n"
      "              17/0/1/3 17/0/2/3 17/0/3/3 17/0/4/3\n"
      "  anomalies   disk size runs 4672 bytes past the end of the file\n"
      "              runs past the end of the file (3 of 8 sectors whole): "
      "track 34\n"
      "  game        signature found: disk 2\n");

  const ProcessResult r = Check(BuildDamagedDemoImage());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Image 0 at offset 0: disk 1 of the game\n"
            "  PROG        complete, 15360 bytes\n"
            "  directory   complete, 4096 bytes; 12 entries, 9 on disk 1\n"
            "  002         complete, 1024 bytes\n"
            "  003         incomplete: 2048 of 3072 bytes unreadable from "
            "track 1 sector 4\n"
            "  004         complete, 4096 bytes\n"
            "  005         complete, 3072 bytes\n"
            "  006         complete, 1280 bytes\n"
            "  007         complete, 0 bytes\n"
            "  009         incomplete: 1536 of 7680 bytes unreadable from "
            "track 4 sector 2\n"
            "  011         complete, 291 bytes\n"
            "  012         complete, 2048 bytes\n"
            "\n"
            "Image 1 at offset 82336: disk 2 of the game, nothing to check\n"
            "\n"
            "Incomplete: 003, 009.\n");
}

TEST_F(D88InfoTest, DamagedImage) {
  // A disk 2 of the game, then a 2D image of seven tracks with one kind of
  // damage on each, whose last track the end of the file cuts short.
  Bytes file = GameDiskBuilder('2').Build();
  ImageBuilder b;
  b.SetName("\x83\x51\x81\x5B\x83\x80\tX\x7F");  // Shift-JIS, TAB, DEL
  b.SetMediaType(0x33);
  for (int t = 0; t <= 6; ++t) AddTrack16(b, t);
  b.Track(1).records()[3].count = 15;
  b.Track(2).records()[5].data.resize(128);
  b.Track(3).records()[7].id = b.Track(3).records()[6].id;
  b.Track(4).records()[10].count = 0;
  b.SetTrackOffset(7, 0x7FFFFFF0);
  b.SetTrackOffset(8, -5);
  Bytes image = b.Build();
  ASSERT_EQ(image.size(), 31024u);
  // Track 6 keeps two whole records and the header and 100 data bytes of
  // its third.
  image.resize(image.size() - 14 * (16 + 256) + 16 + 100);
  Append(file, image);

  EXPECT_EQ(
      Account(file),
      "File: 36340 bytes, 2 images\n"
      "\n"
      "Image 0 at offset 0\n"
      "  name        \"GAME DISK\"\n"
      "  media type  0x20 (2HD)\n"
      "  disk size   9008 bytes\n"
      "  tracks      1 present: 0\n"
      "  layout      8 sectors of N 3, 1024 bytes, on the one track\n"
      "  anomalies   none\n"
      "  game        signature found: disk 2\n"
      "\n"
      "Image 1 at offset 9008\n"
      "  name        \"\x83\x51\x81\x5B\x83\x80.X.\"\n"
      "  media type  0x33\n"
      "  disk size   31024 bytes\n"
      "  tracks      7 present: 0-6\n"
      "  layout      16 sectors of N 1, 256 bytes, on 4 of 7 tracks\n"
      "  track 2     16 sectors of mixed sizes\n"
      "              1/0/1/1[256] 1/0/2/1[256] 1/0/3/1[256] 1/0/4/1[256] "
      "1/0/5/1[256]\n"
      "              1/0/6/1[128] 1/0/7/1[256] 1/0/8/1[256] 1/0/9/1[256]\n"
      "              1/0/10/1[256] 1/0/11/1[256] 1/0/12/1[256] 1/0/13/1[256]\n"
      "              1/0/14/1[256] 1/0/15/1[256] 1/0/16/1[256]\n"
      "  track 4     11 sectors of N 1, 256 bytes\n"
      "              2/0/1/1 2/0/2/1 2/0/3/1 2/0/4/1 2/0/5/1 2/0/6/1 2/0/7/1 "
      "2/0/8/1\n"
      "              2/0/9/1 2/0/10/1 2/0/11/1\n"
      "  track 6     3 sectors of N 1, 256 bytes\n"
      "              3/0/1/1 3/0/2/1 3/0/3/1\n"
      "  anomalies   disk size runs 3692 bytes past the end of the file\n"
      "              sector counts disagree (16, 15): track 1\n"
      "              data size 128 with N 1 (128 << 1 is 256): track 2\n"
      "              duplicate sector ID 1/1/7/1: track 3\n"
      "              a sector count of 0 hides that sector and those after "
      "it: track 4\n"
      "              runs past the end of the file (2 of 16 sectors whole): "
      "track 6\n"
      "              offset outside the disk size, read as absent: tracks "
      "7-8\n"
      "  game        no signature: track 0 has no sector 0/0/6/3\n");
}

TEST_F(D88InfoTest, SameAnomalyOnSeveralTracksIsOneLine) {
  ImageBuilder b;
  b.SetMediaType(0x20);  // 8 KiB a track
  for (int t : {0, 1, 2, 5, 9}) {
    AddTrack16(b, t);
    for (TrackSector& s : b.Track(t).records()) s.data.resize(512);
  }
  b.Track(9).records()[0].data.resize(256);  // on the layout itself
  b.Track(1).records()[2].id.r = 1;
  b.Track(1).records()[3].id.r = 1;
  b.Track(1).records()[5].id.r = 5;
  const std::string out = Account(b.Build());
  EXPECT_TRUE(Contains(out,
                       "  layout      16 sectors of N 1, 512 bytes, on 4 of 5 "
                       "tracks\n"
                       "  track 9     16 sectors of mixed sizes\n"));
  EXPECT_TRUE(Contains(
      out,
      "  anomalies   data size 512 with N 1 (128 << 1 is 256): tracks 0-2, "
      "5, 9\n"
      "              duplicate sector IDs 0/1/1/1, 0/1/5/1: track 1\n"
      "  game"))
      << out;
}

TEST_F(D88InfoTest, LongListsAreCut) {
  ImageBuilder b;
  AddTrack16(b, 0);
  AddTrack16(b, 1);
  // Track 0: the first and last headers say 16, the others 21 to 34.
  for (int i = 1; i < 15; ++i) {
    b.Track(0).records()[static_cast<size_t>(i)].count =
        static_cast<uint16_t>(20 + i);
  }
  // Track 2: 300 records of one byte each, R counting from 0.
  TrackBuilder& many = b.AddTrack(2);
  for (int i = 0; i < 300; ++i) {
    many.AddSector({1, 0, static_cast<uint8_t>(i), 0}, Bytes(1, 0));
  }
  // Track 3: ten data sizes that differ from 256.
  for (uint8_t r = 1; r <= 10; ++r)
    b.AddTrack(3).AddSector({1, 1, r, 1}, Bytes(r));
  const std::string out = Account(b.Build());
  EXPECT_TRUE(Contains(out,
                       "data size 8 with N 1 (128 << 1 is 256): track 3\n"
                       "              more data sizes that differ from 128 << "
                       "N: track 3\n"));
  EXPECT_FALSE(Contains(out, "data size 9 "));
  EXPECT_TRUE(Contains(out,
                       "sector counts disagree (16, 21, 22, 23, 24, 25, 26, "
                       "27, ...): track 0\n"));
  EXPECT_TRUE(Contains(out,
                       "  track 2     300 sectors of N 0, 1 bytes\n"
                       "              1/0/0/0 1/0/1/0 "));
  EXPECT_TRUE(Contains(out,
                       " 1/0/253/0 1/0/254/0\n"
                       "              1/0/255/0 and 44 more\n"));
  EXPECT_TRUE(Contains(out,
                       "duplicate sector IDs 1/0/0/0, 1/0/1/0, 1/0/2/0, "
                       "1/0/3/0, 1/0/4/0, 1/0/5/0, 1/0/6/0, 1/0/7/0 and 36 "
                       "more: track 2\n"));
}

TEST_F(D88InfoTest, TrackPastTheImageButInsideTheFile) {
  // The disk size ends one byte before the last record's data does; that
  // byte is left over after the image.
  ImageBuilder b;
  AddTrack16(b, 0);
  const int64_t size = static_cast<int64_t>(b.Build().size());
  b.SetDiskSize(size - 1);
  const std::string out = Account(b.Build());
  EXPECT_TRUE(Contains(out,
                       "  anomalies   runs past the end of the image's disk "
                       "size: track 0\n"));
  EXPECT_TRUE(Contains(out, "\nNot an image: 1 byte at offset " +
                                std::to_string(size - 1) +
                                ", too short for an image header\n"));
}

TEST_F(D88InfoTest, TrackWithNoWholeHeader) {
  ImageBuilder b;
  b.SetTrackOffset(0, static_cast<int64_t>(kImageHeaderSize));
  b.SetDiskSize(static_cast<int64_t>(kImageHeaderSize) + 16);
  Bytes file = b.Build();
  file.resize(file.size() + 10, 0);
  const std::string out = Account(file);
  EXPECT_TRUE(Contains(out,
                       "  tracks      1 present: 0\n"
                       "  layout      none: no track has sectors all of one "
                       "size\n"
                       "  track 0     no sectors\n"
                       "  anomalies   disk size runs 6 bytes past the end of "
                       "the file\n"
                       "              runs past the end of the file (no whole "
                       "sector header): track 0\n"))
      << out;
}

// Tracks that no medium of the type named holds: the smallest that holds
// them is named.
TEST_F(D88InfoTest, TracksThatDoNotFitTheMediaType) {
  auto disk = [](uint8_t media, int tracks, int sectors, uint8_t n) {
    ImageBuilder b;
    b.SetMediaType(media);
    for (int t = 0; t < tracks; ++t) {
      TrackBuilder& track = b.AddTrack(t);
      for (int r = 1; r <= sectors; ++r) {
        track.AddSector(
            {static_cast<uint8_t>(t / 2), static_cast<uint8_t>(t % 2),
             static_cast<uint8_t>(r), n},
            Bytes(size_t{128} << n, 0xE5));
      }
    }
    return b.Build();
  };
  const std::pair<Bytes, std::string> cases[] = {
      {disk(0x00, 154, 8, 3),
       "media type 2D cannot hold 154 tracks (84 at most) and 8192 data "
       "bytes on a track (6250 at most): looks like 2HD"},
      {disk(0x00, 160, 16, 1),
       "media type 2D cannot hold 160 tracks (84 at most): looks like 2DD"},
      {disk(0x10, 2, 26, 1),
       "media type 2DD cannot hold 6656 data bytes on a track (6250 at "
       "most): looks like 2HD"},
      {disk(0x00, 84, 16, 1), ""},
      {disk(0x10, 164, 16, 1), ""},
      {disk(0x20, 164, 26, 1), ""},
  };
  for (const auto& [file, anomaly] : cases) {
    SCOPED_TRACE(anomaly);
    const std::string out = Account(file);
    EXPECT_TRUE(Contains(out, anomaly.empty()
                                  ? "  anomalies   none\n"
                                  : "  anomalies   " + anomaly + "\n"))
        << out;
  }
}

TEST_F(D88InfoTest, NamesAndMediaTypes) {
  struct Case {
    std::string name;
    uint8_t media;
    std::string shown_name;
    std::string shown_media;
  };
  const Case cases[] = {
      {"", 0x00, "", "0x00 (2D)"},
      {"ABCDEFGHIJKLMNOP", 0x10, "ABCDEFGHIJKLMNOP", "0x10 (2DD)"},
      {"\x01\x1f \"q\"", 0x20, ".. \"q\"", "0x20 (2HD)"},
      {"ONE", 0x30, "ONE", "0x30 (1D)"},
      {"ONE", 0x40, "ONE", "0x40 (1DD)"},
      {"\x8c\xbe\x82\xa0\xb1", 0xFF, "\x8c\xbe\x82\xa0\xb1", "0xFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown_media);
    ImageBuilder b;
    b.SetName(c.name).SetMediaType(c.media).SetReservedFill('Z');
    const std::string out = Account(b.Build());
    EXPECT_TRUE(Contains(out, "  name        \"" + c.shown_name +
                                  "\"\n  media type  " + c.shown_media +
                                  "\n  disk size   688 bytes\n"
                                  "  tracks      none present\n"
                                  "  anomalies   none\n"));
  }
}

TEST_F(D88InfoTest, FilesThatHoldNoWholeImage) {
  EXPECT_EQ(Account(Bytes{}),
            "not a D88 file: the file is shorter than the 688-byte image "
            "header\n"
            "File: 0 bytes\n");
  EXPECT_EQ(Account(Bytes(100, 0x41)),
            "not a D88 file: the file is shorter than the 688-byte image "
            "header\n"
            "File: 100 bytes\n");
  EXPECT_EQ(Account(Bytes(1000, 0)),
            "not a D88 file: the first image's disk size, 0 bytes, is smaller "
            "than the 688-byte image header\n"
            "File: 1000 bytes\n"
            "\n"
            "Its first 688 bytes as an image header:\n"
            "  name        \"\"\n"
            "  media type  0x00 (2D)\n"
            "  disk size   0 bytes\n");
}

TEST_F(D88InfoTest, DiskSizeZeroRepeatsTheImage) {
  // A D88 header whose disk size was zeroed.
  ImageBuilder b;
  AddTrack16(b, 0);
  b.SetDiskSize(0);
  EXPECT_EQ(Account(b.Build()),
            "File: 5040 bytes, 64 images\n"
            "\n"
            "Image 0 at offset 0\n"
            "  name        \"\"\n"
            "  media type  0x00 (2D)\n"
            "  disk size   0 bytes\n"
            "  tracks      none present\n"
            "  anomalies   disk size 0 is smaller than the 688-byte header\n"
            "              offset outside the disk size, read as absent: "
            "track 0\n"
            "  game        no signature: track 0 is absent\n"
            "\n"
            "Images 1-63 repeat image 0: a disk size of 0 puts the next image "
            "at the same offset\n");
}

TEST_F(D88InfoTest, NegativeDiskSizeLeavesEveryTrackUnread) {
  ImageBuilder b;
  AddTrack16(b, 0);
  AddTrack16(b, 1);
  b.SetDiskSize(-1);
  const std::string out = Account(b.Build());
  EXPECT_TRUE(Contains(out,
                       "  disk size   -1 bytes\n"
                       "  tracks      none present\n"
                       "  anomalies   disk size -1 is smaller than the "
                       "688-byte header\n"
                       "              offset outside the disk size, read as "
                       "absent: tracks 0-1\n"));
  EXPECT_FALSE(Contains(out, "Not an image"));
}

TEST_F(D88InfoTest, BytesPastTheSixtyFourthImage) {
  Bytes file;
  for (int i = 0; i < 65; ++i) Append(file, ImageBuilder().Build());
  const std::string out = Account(file);
  EXPECT_TRUE(Contains(out, "\nImage 63 at offset 43344\n"));
  EXPECT_FALSE(Contains(out, "\nImage 64 "));
  const std::string tail =
      "\nNot an image: 688 bytes at offset 44032, past the last image read "
      "(64 at most)\n";
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(D88InfoTest, WhyNoSignatureIsFound) {
  GameDiskBuilder no_track0('1');
  no_track0.RemoveTrack(0);
  GameDiskBuilder other_size('1');
  for (TrackSector& s : other_size.image().Track(0).records()) s.id.n = 2;
  GameDiskBuilder wrong_bytes('1');
  wrong_bytes.SectorAt(5)[2] = 'O';
  GameDiskBuilder odd_char(0x01);
  GameDiskBuilder kana_char(0xB1);
  GameDiskBuilder short_sector('3');
  short_sector.SectorAt(5).resize(256);
  const std::pair<GameDiskBuilder*, std::string> cases[] = {
      {&no_track0, "no signature: track 0 is absent"},
      {&other_size, "no signature: track 0 has no sector 0/0/6/3"},
      {&wrong_bytes,
       "no signature: sector 0/0/6/3 does not hold \"GAME\" at byte 1"},
      {&odd_char, "signature found: disk . (0x01)"},
      {&kana_char, "signature found: disk \xB1 (0xB1)"},
      {&short_sector, "signature found: disk 3"},
  };
  for (const auto& [disk, game] : cases) {
    SCOPED_TRACE(game);
    const std::string out = Account(disk->Build());
    EXPECT_TRUE(Contains(out, "\n  game        " + game + "\n")) << out;
  }
}

// --- Repeats and long accounts
// ------------------------------------------------

TEST_F(D88InfoTest, ImagesThatRepeatAnEarlierOneAreSummarised) {
  // Image 2 is image 0 under another name, image 3 is image 1.
  ImageBuilder first;
  first.SetName("FIRST").SetMediaType(0x10);
  AddTrack16(first, 0);
  AddTrack16(first, 1);
  ImageBuilder other;
  AddTrack16(other, 0);
  other.Track(0).records()[2].count = 3;
  Bytes file = first.Build();
  Append(file, other.Build());
  Append(file, first.SetName("AGAIN").Build());
  Append(file, other.Build());
  EXPECT_EQ(Account(file),
            "File: 28864 bytes, 4 images\n"
            "\n"
            "Image 0 at offset 0\n"
            "  name        \"FIRST\"\n"
            "  media type  0x10 (2DD)\n"
            "  disk size   9392 bytes\n"
            "  tracks      2 present: 0-1\n"
            "  layout      16 sectors of N 1, 256 bytes, on all 2 tracks\n"
            "  anomalies   none\n"
            "  game        no signature: track 0 has no sector 0/0/6/3\n"
            "\n"
            "Image 1 at offset 9392\n"
            "  name        \"\"\n"
            "  media type  0x00 (2D)\n"
            "  disk size   5040 bytes\n"
            "  tracks      1 present: 0\n"
            "  layout      3 sectors of N 1, 256 bytes, on the one track\n"
            "  anomalies   sector counts disagree (16, 3): track 0\n"
            "  game        no signature: track 0 has no sector 0/0/6/3\n"
            "\n"
            "Image 2 at offset 14432\n"
            "  name        \"AGAIN\"\n"
            "  media type  0x10 (2DD)\n"
            "  disk size   9392 bytes\n"
            "  layout      same as image 0, with the same tracks, anomalies "
            "and game\n"
            "\n"
            "Image 3 at offset 23824\n"
            "  name        \"\"\n"
            "  media type  0x00 (2D)\n"
            "  disk size   5040 bytes\n"
            "  layout      same as image 1, with the same tracks, anomalies "
            "and game\n");
}

TEST_F(D88InfoTest, TracksWithTheSameRecordsAreListedOnce) {
  // Tracks 5 and 9 start where track 4 does; track 7 holds a copy of its
  // records; track 6 differs from it in one data size.
  ImageBuilder b;
  for (int t = 0; t <= 3; ++t) AddTrack16(b, t);
  for (int t : {4, 6, 7}) {
    TrackBuilder& odd = b.AddTrack(t);
    for (uint8_t r = 1; r <= 3; ++r)
      odd.AddSector({9, 9, r, 1}, Pattern(256, r));
  }
  b.Track(6).records()[1].data.resize(128);
  const int64_t track4 =
      static_cast<int64_t>(kImageHeaderSize) + 4 * 16 * (16 + 256);
  b.SetTrackOffset(5, track4).SetTrackOffset(9, track4);
  const std::string out = Account(b.Build());
  EXPECT_TRUE(Contains(out,
                       "  tracks      9 present: 0-7, 9\n"
                       "  layout      16 sectors of N 1, 256 bytes, on 4 of 9 "
                       "tracks\n"
                       "  track 4     3 sectors of N 1, 256 bytes\n"
                       "              9/9/1/1 9/9/2/1 9/9/3/1\n"
                       "              the same on tracks 5, 7, 9\n"
                       "  track 6     3 sectors of mixed sizes\n"
                       "              9/9/1/1[256] 9/9/2/1[128] 9/9/3/1[256]\n"
                       "  anomalies   data size 128 with N 1 (128 << 1 is "
                       "256): track 6\n"))
      << out;
}

TEST_F(D88InfoTest, LongAccountsAreCapped) {
  // Twelve tracks that differ from the layout, each in its own way.
  ImageBuilder many;
  for (int t = 0; t < 20; ++t) AddTrack16(many, t);
  for (int t = 20; t < 32; ++t) {
    TrackBuilder& odd = many.AddTrack(t);
    for (int r = 1; r <= t - 19; ++r) {
      odd.AddSector({static_cast<uint8_t>(t / 2), static_cast<uint8_t>(t % 2),
                     static_cast<uint8_t>(r), 1},
                    Pattern(256, 1));
    }
  }
  std::string out = Account(many.Build());
  EXPECT_TRUE(Contains(out, "  track 27    8 sectors of N 1, 256 bytes\n"));
  EXPECT_FALSE(Contains(out, "  track 28 "));
  EXPECT_TRUE(Contains(out,
                       "  not listed  4 more tracks that differ: 28-31\n"
                       "  anomalies   none\n"))
      << out;

  // Three tracks of 300 sectors: the first two list 256 IDs each, which is
  // as many as an image lists.
  ImageBuilder ids;
  for (int t = 0; t < 3; ++t) AddTrack16(ids, t);
  for (int t = 3; t < 6; ++t) {
    for (int i = 0; i < 300; ++i) {
      ids.AddTrack(t).AddSector(
          {static_cast<uint8_t>(t), 0, static_cast<uint8_t>(i), 0}, Bytes(1));
    }
  }
  out = Account(ids.Build());
  EXPECT_TRUE(Contains(out,
                       " 4/0/255/0 and 44 more\n"
                       "  not listed  1 more track that differs: 5\n"))
      << out;

  // Twenty anomalies, of which the first sixteen are shown.
  ImageBuilder damaged;
  for (int t = 0; t < 20; ++t) {
    AddTrack16(damaged, t);
    damaged.Track(t).records()[0].data.resize(static_cast<size_t>(100 + t));
  }
  out = Account(damaged.Build());
  EXPECT_TRUE(Contains(out,
                       "              data size 115 with N 1 (128 << 1 is "
                       "256): track 15\n"
                       "              and 4 more\n"
                       "  game        "))
      << out;
}

// The hostile file class the reader keeps in sight: 64 chained images whose
// every track leads through 16,384 records. The account names each image's
// walk once and stays short; the check finds every image the same.
TEST_F(D88InfoTest, ChainedImagesGiveAShortAccount) {
  const Bytes file = BuildChainedImages();
  const std::string out = Account(file);
  EXPECT_LT(out.size(), 400000u);
  EXPECT_TRUE(Contains(out,
                       "Image 63 at offset 44352\n"
                       "  name        \"CHAIN 63\"\n"
                       "  media type  0x00 (2D)\n"
                       "  disk size   704 bytes\n"
                       "  tracks      164 present: 0-163\n"
                       "  layout      none: no track has sectors all of one "
                       "size\n"
                       "  track 0     16458 sectors of mixed sizes\n"))
      << out.substr(0, 2000);
  // Every image's 164 tracks share one walk, listed once.
  size_t listed_once = 0;
  for (size_t at = 0; (at = out.find("\n              the same on tracks "
                                     "1-163\n",
                                     at)) != std::string::npos;
       ++at) {
    ++listed_once;
  }
  EXPECT_EQ(listed_once, 64u);

  const ProcessResult check = Check(file);
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_TRUE(Contains(check.out,
                       "  364         complete, 65535 bytes\n"
                       "\n"
                       "Image 1 at offset 704: disk 1 of the game, the same as "
                       "image 0\n"
                       "\n"
                       "Image 2 at offset 1408: disk 1 of the game, the same "
                       "as image 0\n"));
  EXPECT_LT(check.out.size(), 40000u);
}

// --- --check ----------------------------------------------------------------

TEST_F(D88InfoTest, CheckOfTheDemoImage) {
  const ProcessResult r = Check(BuildDemoImage());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Image 0 at offset 0: disk 1 of the game\n"
            "  PROG        complete, 15360 bytes\n"
            "  directory   complete, 4096 bytes; 12 entries, 9 on disk 1\n"
            "  002         complete, 1024 bytes\n"
            "  003         complete, 3072 bytes\n"
            "  004         complete, 4096 bytes\n"
            "  005         complete, 3072 bytes\n"
            "  006         complete, 1280 bytes\n"
            "  007         complete, 0 bytes\n"
            "  009         complete, 7680 bytes\n"
            "  011         complete, 291 bytes\n"
            "  012         complete, 2048 bytes\n"
            "\n"
            "Image 1 at offset 83888: disk 2 of the game, nothing to check\n"
            "\n"
            "Everything is complete.\n");
  EXPECT_TRUE(work_.List().empty());
}

TEST_F(D88InfoTest, CheckListsWhatWouldBeIncomplete) {
  GameDiskBuilder disk('1');
  disk.AddFile(2, 0x0000, Pattern(3072, 1));
  disk.SetEntry(3, {1, 0, 0xFFFF, 0x0300, 0, 0});
  disk.AddFile(4, 0x0010, Bytes{});
  disk.SetEntry(5, {2, 0, 0x0100, 0x0800, 0, 0});
  disk.RemoveSector(1, 3);   // the middle of 002
  disk.RemoveSector(68, 3);  // PROG's 13th sector, the directory's 2nd
  const ProcessResult r = Check(disk.Build());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Image 0 at offset 0: disk 1 of the game\n"
            "  PROG        incomplete: 3072 of 15360 bytes unreadable from "
            "track 68 sector 3\n"
            "  directory   incomplete: 3072 of 4096 bytes unreadable from "
            "track 68 sector 3; 4 entries, 3 on disk 1\n"
            "  002         incomplete: 2048 of 3072 bytes unreadable from "
            "track 1 sector 3\n"
            "  003         incomplete: 768 of 768 bytes unreadable from track "
            "8193 sector 1\n"
            "  004         complete, 0 bytes\n"
            "\n"
            "Incomplete: PROG, directory, 002, 003.\n");
}

TEST_F(D88InfoTest, CheckWithoutADiskOne) {
  for (const Bytes& file : {Bytes{}, Bytes(1000, 0), ImageBuilder().Build()}) {
    const ProcessResult r = Check(file);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "No disk 1 of the game found.\n");
  }
  Bytes two = GameDiskBuilder('2').Build();
  Append(two, GameDiskBuilder('3').Build());
  const ProcessResult r = Check(two);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "Image 0 at offset 0: disk 2 of the game, nothing to check\n"
            "\n"
            "Image 1 at offset 9008: disk 3 of the game, nothing to check\n"
            "\n"
            "No disk 1 of the game found.\n");
}

TEST_F(D88InfoTest, CheckNamesAFileIncompleteOnSeveralImagesOnce) {
  GameDiskBuilder broken('1');
  broken.AddFile(2, 0x0000, Pattern(100, 1));
  broken.AddFile(3, 0x0001, Pattern(100, 2));
  broken.RemoveSector(1, 2);
  GameDiskBuilder other = broken;
  other.RemoveSector(1, 3);
  Bytes file = broken.Build();
  Append(file, other.Build());
  Append(file, broken.Build());
  const ProcessResult r = Check(file);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Contains(r.out,
                       "\nImage 2 at offset 81456: disk 1 of the game, the "
                       "same as image 0\n"
                       "\n"
                       "Incomplete: 002, 003.\n"))
      << r.out;
}

TEST_F(D88InfoTest, EveryDiskOneIsChecked) {
  // A later complete disk 1 does not hide an earlier incomplete one.
  GameDiskBuilder broken('1');
  broken.AddFile(2, 0x0000, Pattern(100, 1));
  broken.RemoveTrack(1);
  Bytes file = broken.Build();
  Append(file, GameDiskBuilder('1').Build());
  const ProcessResult r = Check(file);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Contains(r.out,
                       "  002         incomplete: 100 of 100 bytes unreadable "
                       "from track 1 sector 2\n\nImage 1 at offset "));
  EXPECT_TRUE(Contains(r.out, "\n\nIncomplete: 002.\n"));
}

// d88cut warns about exactly the files that --check calls incomplete.
TEST_F(D88InfoTest, CheckAgreesWithWhatD88CutWrites) {
  std::vector<GameDiskBuilder> disks(4, GameDiskBuilder('1'));
  for (GameDiskBuilder& d : disks) {
    d.AddFile(2, 0x0000, Pattern(0x0C00, 2));
    d.AddFile(3, 0x0010, Pattern(0x0500, 3));
    d.AddFile(4, 0x01F7, Pattern(0x0123, 4));
  }
  disks[0].RemoveSector(1, 4);                        // 002's last sector
  disks[1].RecordData(0x11).resize(100);              // 003's short chunk
  disks[2].image().Track(64).records()[0].count = 0;  // 004 hidden
  disks[3].RemoveSector(67, 1);                       // PROG only
  for (size_t i = 0; i < disks.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string input = Input(disks[i].Build());
    const ProcessResult check = Run({"--check", input});
    EXPECT_EQ(check.exit_code, 1);
    const std::string prefix = "\nIncomplete: ";
    const size_t at = check.out.rfind(prefix);
    ASSERT_NE(at, std::string::npos) << check.out;
    std::string listed = check.out.substr(at + prefix.size());
    listed.pop_back();  // "\n"
    listed.pop_back();  // "."

    ProcessOptions options;
    options.cwd = work_.path();
    const std::string d88cut = TestedExecutable(D88CUT_PATH);
    const ProcessResult cut = RunProcess(d88cut, {d88cut, input}, options);
    EXPECT_EQ(cut.exit_code, 0);
    std::string warned;
    for (size_t pos = 0;
         (pos = cut.err.find("warning: ", pos)) != std::string::npos;) {
      pos += 9;
      const std::string name =
          cut.err.substr(pos, cut.err.find(':', pos) - pos);
      warned += (warned.empty() ? "" : ", ") + name;
    }
    EXPECT_EQ(listed, warned);
  }
}

// --- The drive's marks -------------------------------------------------------

// A disk 1 whose sectors carry the drive's marks: status B0 in PROG and in
// 002, E0 in 003, a deleted-data mark in 002; and what d88cut writes of it.
GameDiskBuilder MarkedDisk() {
  GameDiskBuilder disk('1');
  disk.AddFile(2, 0x0000, Pattern(3072, 2));
  disk.AddFile(3, 0x0010, Pattern(1000, 3));
  disk.RecordAt(game::kRecordBase + game::kProgRecord + 2).status = 0xB0;
  disk.RecordAt(game::kRecordBase + 1).status = 0xB0;
  disk.RecordAt(game::kRecordBase + 2).deleted = 0x10;
  disk.RecordAt(game::kRecordBase + 0x10).status = 0xE0;
  return disk;
}

TEST_F(D88InfoTest, SectorMarksAreAnomaliesAndFlagCompleteFiles) {
  const Bytes marked = MarkedDisk().Build();
  const std::string account = Account(marked);
  EXPECT_TRUE(Contains(account,
                       "  anomalies   sectors with status B0 (data CRC "
                       "error): tracks 1, 67\n"
                       "              sectors with a deleted-data mark: track "
                       "1\n"
                       "              sectors with status E0 (no address "
                       "mark): track 3\n"))
      << account;

  const ProcessResult r = Check(marked);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "Image 0 at offset 0: disk 1 of the game\n"
            "  PROG        complete, with 1 sector flagged data CRC error, "
            "15360 bytes\n"
            "  directory   complete, 4096 bytes; 2 entries, 2 on disk 1\n"
            "  002         complete, with 1 sector flagged data CRC error, "
            "3072 bytes\n"
            "  003         complete, with 1 sector flagged no address mark, "
            "1000 bytes\n"
            "\n"
            "Complete with sectors flagged: PROG, 002, 003.\n");

  // Other statuses in hex, two of them in one file.
  GameDiskBuilder two = MarkedDisk();
  two.RecordAt(game::kRecordBase + 2).status = 0x10;
  const ProcessResult r2 = Check(two.Build());
  EXPECT_TRUE(Contains(r2.out,
                       "  002         complete, with 2 sectors flagged (1 "
                       "status 10, 1 data CRC error), 3072 bytes\n"))
      << r2.out;
}

// d88cut reads past the marks: its console and files are those of the
// same disk without them.
TEST_F(D88InfoTest, D88CutIgnoresSectorMarks) {
  GameDiskBuilder plain('1');
  plain.AddFile(2, 0x0000, Pattern(3072, 2));
  plain.AddFile(3, 0x0010, Pattern(1000, 3));
  std::vector<std::pair<std::string, std::string>> outputs;
  for (const Bytes& file : {plain.Build(), MarkedDisk().Build()}) {
    TempDir out;
    const std::string input = Input(file);
    ProcessOptions options;
    options.cwd = out.path();
    const std::string d88cut = TestedExecutable(D88CUT_PATH);
    const ProcessResult cut = RunProcess(d88cut, {d88cut, input}, options);
    EXPECT_EQ(cut.exit_code, 0);
    std::string files;
    for (const std::string& name : out.List()) {
      Bytes bytes;
      EXPECT_TRUE(d88test::ReadFileBytes(out.File(name), &bytes));
      files += name + ":" + std::string(bytes.begin(), bytes.end()) + "\n";
    }
    outputs.emplace_back(cut.out + cut.err, files);
  }
  EXPECT_NE(outputs[0].second, "");
  EXPECT_EQ(outputs[0], outputs[1]);
}

// --- Real images made by other programs ------------------------------------

TEST_F(D88InfoTest, RealImagesOfOtherSoftware) {
  const std::filesystem::path dir(D88CUT_REAL_IMAGES);
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) GTEST_SKIP() << "no " << dir;
  // What each file's description says, as d88info words it.
  const std::map<std::string, std::vector<std::string>> expected = {
      {"d88dmp__HuBASIC_Format_2D.d88",
       {"  name        \"by_github_ORYZAP\"\n  media type  0x00 (2D)\n",
        "  tracks      80 present: 0-79\n  layout      16 sectors of N 1, "
        "256 bytes, on all 80 tracks\n  anomalies   none\n"}},
      {"l89__test.d88",
       {"  layout      16 sectors of N 1, 256 bytes, on 79 of 80 tracks\n"
        "  track 79    1 sector of N 1, 256 bytes\n              39/1/1/1\n"
        "  anomalies   runs past the end of the file (1 of 16 sectors "
        "whole): track 79\n"}},
      {"l89__test_improved.d88", {"  anomalies   none\n"}},
      {"l89__phase2_test.d88", {"  anomalies   none\n"}},
      {"sosweb__SOS_TEST.d88",
       {"  name        \"\"\n", "on all 80 tracks\n  anomalies   none\n"}},
      {"fdcbitstream__2019FM77AVDemo.d77",
       {"on all 80 tracks\n  anomalies   none\n"}},
      {"cscp__unformat_2hd.d88",
       {"File: 688 bytes, 1 image\n", "  media type  0x20 (2HD)\n",
        "  tracks      none present\n  anomalies   none\n"
        "  game        no signature: track 0 is absent\n"}},
      {"cscp__mz2500_brown.d88",
       {"  media type  0x10 (2DD)\n  disk size   697008 bytes\n"
        "  tracks      160 present: 0-159\n"
        "  layout      16 sectors of N 1, 256 bytes, on all 160 tracks\n"
        "  anomalies   none\n",
        "\nNot an image: 1 byte at offset 697008, too short for an image "
        "header\n"}},
  };
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".d88" && ext != ".d77") continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    const ProcessResult r = Run({entry.path().string()});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    // Each is a D88 file, described as one.
    EXPECT_EQ(r.out.rfind("File: ", 0), 0u) << r.out;
    EXPECT_FALSE(Contains(r.out, "not a D88 file"));
    EXPECT_TRUE(Contains(r.out, "\n  game        no signature: "));
    const auto it = expected.find(name);
    if (it != expected.end()) {
      for (const std::string& part : it->second) {
        EXPECT_TRUE(Contains(r.out, part)) << part << "\nin\n" << r.out;
      }
      ++seen;
    }
    const ProcessResult check = Run({"--check", entry.path().string()});
    EXPECT_EQ(check.exit_code, 1);
    EXPECT_EQ(check.out, "No disk 1 of the game found.\n");
  }
  EXPECT_GT(seen, 0);
  EXPECT_TRUE(work_.List().empty());
}

}  // namespace
}  // namespace info
