// End-to-end tests: the real d88cut executable runs in an empty working
// directory, and its console bytes, exit status and files are compared.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "testing/d88_builder.h"
#include "testing/game_disk_builder.h"
#include "testing/run_process.h"

namespace cut {

using game::RecordSector;

using d88test::Append;
using d88test::Bytes;
using d88test::DirectoryEntryFields;
using d88test::GameDiskBuilder;
using d88test::ImageBuilder;
using d88test::kPathSeparator;
using d88test::Pattern;
using d88test::ProcessOptions;
using d88test::ProcessResult;
using d88test::ReadFileBytes;
using d88test::TempDir;
using d88test::TestedExecutable;
using d88test::WriteFileBytes;
using game::EntryOffset;
using game::GamePosition;
using game::kDirectoryRecord;
using game::kLastDirectoryEntry;
namespace {

const char kCannotOpen[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93"
    "\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x0A";

// The tool's console streams are text streams: on Windows each line ends
// with CR LF there, while the files it writes are the same bytes everywhere.
#ifdef _WIN32
const char kEol[] = "\r\n";
#else
const char kEol[] = "\n";
#endif

// `text` as it appears on a console stream: each "\n" as the line end.
std::string Console(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    if (ch == '\n') {
      out += kEol;
    } else {
      out += ch;
    }
  }
  return out;
}

// The executable under test.
std::string ToolPath() { return TestedExecutable(D88CUT_PATH); }

// The bytes of the UTF-8 text `utf8` as a path in the encoding that narrow
// file names use: the ANSI code page on Windows, unchanged elsewhere.
// False if that encoding cannot write it.
bool NarrowName(const std::string& utf8, std::string* out) {
#ifdef _WIN32
  wchar_t wide[MAX_PATH];
  const int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                          static_cast<int>(utf8.size()), wide, MAX_PATH);
  if (n <= 0) return false;
  char narrow[4 * MAX_PATH];
  BOOL lossy = FALSE;
  const int m = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, n,
                                    narrow, sizeof(narrow), nullptr, &lossy);
  if (m <= 0 || lossy) return false;
  out->assign(narrow, static_cast<size_t>(m));
#else
  *out = utf8;
#endif
  return true;
}

bool MakeDirectory(const std::string& path) {
#ifdef _WIN32
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
#else
  return mkdir(path.c_str(), 0777) == 0;
#endif
}

// Checks that `err` is the one line "error: NAME: reason". The reason is
// the system's own wording, which only POSIX systems share.
void ExpectWriteError(const std::string& err, const std::string& name,
                      const std::string& posix_reason) {
#ifdef _WIN32
  (void)posix_reason;
  const std::string prefix = "error: " + name + ": ";
  ASSERT_GT(err.size(), prefix.size() + 2) << err;
  EXPECT_EQ(err.substr(0, prefix.size()), prefix) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_EQ(err.substr(err.size() - 2), "\r\n") << err;
#else
  EXPECT_EQ(err, "error: " + name + ": " + posix_reason + "\n");
#endif
}

std::string Recognised(char disk) {
  return std::string("Disk ") + disk +
         " \x82\xF0\x94\x46\x8E\xAF\x82\xB5\x82\xDC\x82\xB5\x82\xBD.\n";
}

std::string EntryLine(int k, int disk, int start, int track, int r, int size,
                      int segment, int offset) {
  char buf[128];
  std::snprintf(buf, sizeof(buf),
                "%03d : Disk %d / start=%04x(TRK=%03d SEC=%d) size=%04x "
                "loadaddr=%04X:%04X ",
                k, disk, start, track, r, size, segment, offset);
  return buf;
}

class D88CutTest : public ::testing::Test {
 protected:
  // Writes the D88 file outside the working directory, so that the working
  // directory holds only what the tool writes.
  std::string Input(const Bytes& bytes, const std::string& name = "in.d88") {
    const std::string path = inputs_.File(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }

  ProcessResult Run(std::vector<std::string> args,
                    ProcessOptions options = {}) {
    const std::string tool = ToolPath();
    args.insert(args.begin(), tool);
    if (options.cwd.empty()) options.cwd = work_.path();
    return RunProcess(tool, args, options);
  }

  ProcessResult RunOn(const Bytes& image) { return Run({Input(image)}); }

  Bytes Output(const std::string& name) {
    Bytes bytes;
    EXPECT_TRUE(ReadFileBytes(work_.File(name), &bytes)) << name;
    return bytes;
  }

  TempDir work_;
  TempDir inputs_;
};

// --- Command line and recognition -------------------------------------------

TEST_F(D88CutTest, WrongArgumentCountPrintsUsage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"a", "b", "c"}}) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, Console("Usage: " + ToolPath() + " [d88file]\n"));
  }
  EXPECT_TRUE(work_.List().empty());
}

TEST_F(D88CutTest, EmptyCommandLineNamesTheExecutable) {
  ProcessOptions options;
  options.no_arguments = true;
  const ProcessResult r = Run({}, options);
  EXPECT_EQ(r.exit_code, 1);
#ifdef _WIN32
  const std::string self = ToolPath();
#else
  const std::string self = std::filesystem::canonical(D88CUT_PATH).string();
#endif
  EXPECT_EQ(r.err, Console("Usage: " + self + " [d88file]\n"));
}

TEST_F(D88CutTest, UnopenableFilePrintsShiftJisMessage) {
  for (const std::string& path :
       {inputs_.File("missing.d88"), inputs_.path()}) {
    SCOPED_TRACE(path);
    const ProcessResult r = Run({path});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, Console(kCannotOpen));
  }
}

TEST_F(D88CutTest, FilesWithoutTheGamePrintNothing) {
  ImageBuilder other;
  other.AddTrack(0).AddSector({0, 0, 6, 3}, Bytes(1024, 0x41));
  for (const Bytes& file :
       {Bytes{}, Bytes(687, 0x47), Bytes(1000, 0), other.Build()}) {
    const ProcessResult r = RunOn(file);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(work_.List().empty());
}

TEST_F(D88CutTest, SecondArgumentIsIgnored) {
  const std::string path = Input(GameDiskBuilder('2').Build());
  const ProcessResult r = Run({path, "ignored"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Console(Recognised('2')));
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(work_.List().empty());
}

TEST_F(D88CutTest, RecognitionNeedsTheSignatureAtOffsetOne) {
  GameDiskBuilder shifted('1');
  Bytes& sector = shifted.SectorAt(5);
  sector.assign(1024, 0);
  sector[0] = 'G';  // "GAME" at offset 0 is not the signature
  sector[1] = 'A';
  sector[2] = 'M';
  sector[3] = 'E';
  sector[4] = '1';
  GameDiskBuilder other_sector('2');
  other_sector.SectorAt(5).assign(1024, 0);
  other_sector.SectorAt(6)[1] = 'G';  // R 7 is not the signature sector
  Bytes file = shifted.Build();
  Append(file, other_sector.Build());
  const ProcessResult r = RunOn(file);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(D88CutTest, EveryGameDiskIsReportedInFileOrder) {
  // Disk characters are printed as the byte they are.
  Bytes file = GameDiskBuilder('3').Build();
  Append(file, ImageBuilder().Build());
  Append(file, GameDiskBuilder('2').Build());
  Append(file, GameDiskBuilder(0xB1).Build());
  const ProcessResult r = RunOn(file);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out,
            Console(Recognised('3') + Recognised('2') + Recognised('\xB1')));
}

TEST_F(D88CutTest, ShortSignatureSectorIsStillRecognised) {
  GameDiskBuilder disk('2');
  disk.SectorAt(5).resize(256);
  EXPECT_EQ(RunOn(disk.Build()).out, Console(Recognised('2')));
}

TEST_F(D88CutTest, UnreadableSignatureDoesNotRepeatThePreviousDisk) {
  // The second image has no track 0; the first one's signature must not
  // be taken for its own.
  Bytes file = GameDiskBuilder('2').Build();
  GameDiskBuilder no_track0('2');
  no_track0.RemoveTrack(0);
  Append(file, no_track0.Build());
  const ProcessResult r = RunOn(file);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Console(Recognised('2')));
}

TEST_F(D88CutTest, RealImagesOfOtherSoftwareAreNotRecognised) {
  // Absolute, so that it still names the folder from the tool's working
  // directory where the path lacks a drive (a Unix path under Wine).
  const std::filesystem::path dir =
      std::filesystem::absolute(D88CUT_REAL_IMAGES);
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) GTEST_SKIP() << "no " << dir;
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".d88" && ext != ".d77") continue;
    SCOPED_TRACE(entry.path().string());
    const ProcessResult r = Run({entry.path().string()});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(work_.List().empty());
    ++seen;
  }
  EXPECT_GT(seen, 0);
}

// --- Paths -------------------------------------------------------------------

TEST_F(D88CutTest, PathsWithSpacesAndJapaneseCharacters) {
#if defined(_WIN32) && defined(D88CUT_TEST_ANSI_CODE_PAGE)
  ASSERT_EQ(GetACP(), static_cast<UINT>(D88CUT_TEST_ANSI_CODE_PAGE))
      << "the tests must run with this ANSI code page";
#endif
  // In code page 932, ソ and 表 end in the byte of a backslash (0x5C); the
  // input's name ends with one, where a command line is most fragile.
  std::string in_dir;
  std::string in_name;
  std::string out_dir;
  if (!NarrowName(u8"ディスク 画像 ソ", &in_dir) ||
      !NarrowName(u8"ゲーム 表", &in_name) ||
      !NarrowName(u8"作業 フォルダ", &out_dir)) {
    GTEST_SKIP() << "the ANSI code page has no Japanese characters";
  }
  in_dir = inputs_.File(in_dir);
  out_dir = work_.File(out_dir);
  ASSERT_TRUE(MakeDirectory(in_dir));
  ASSERT_TRUE(MakeDirectory(out_dir));
  GameDiskBuilder disk1('1');
  disk1.AddFile(2, 0x0000, Pattern(1024, 1));
  const std::string input = in_dir + kPathSeparator + in_name;
  ASSERT_TRUE(WriteFileBytes(input, disk1.Build()));

  ProcessOptions options;
  options.cwd = out_dir;
  const ProcessResult r = Run({input}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            Console(Recognised('1') + "PROG cutted.\n" +
                    EntryLine(2, 1, 0, 1, 2, 0x400, 0, 0) + " ...cutted.\n"));
  Bytes written;
  EXPECT_TRUE(ReadFileBytes(out_dir + kPathSeparator + "002", &written));
  EXPECT_EQ(written, Pattern(1024, 1));
  EXPECT_TRUE(ReadFileBytes(out_dir + kPathSeparator + "PROG", &written));
  EXPECT_EQ(written, disk1.Prog());
  EXPECT_EQ(work_.List(),
            std::vector<std::string>{out_dir.substr(work_.path().size() + 1)});
}

// --- Extraction -------------------------------------------------------------

class ExtractTest : public D88CutTest {
 protected:
  ExtractTest() : disk1_('1') {}
  GameDiskBuilder disk1_;
};

TEST_F(ExtractTest, EmptyDirectoryWritesOnlyProg) {
  const Bytes prog = disk1_.Prog();
  const ProcessResult r = RunOn(disk1_.Build());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Console(Recognised('1') + "PROG cutted.\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(work_.List(), std::vector<std::string>{"PROG"});
  EXPECT_EQ(Output("PROG").size(), 15360u);
  EXPECT_EQ(Output("PROG"), prog);
}

TEST_F(ExtractTest, ListsEntriesAndWritesTheDiskOneFiles) {
  const Bytes one = Pattern(0x400, 101);
  disk1_.AddFile(2, 0x0000, one, 0x0100, 0x2000);
  DirectoryEntryFields on_disk2;
  on_disk2.disk = 2;
  on_disk2.start = 0x0007;
  on_disk2.size = 0x0400;
  on_disk2.load_offset = 0xABCD;
  on_disk2.load_segment = 0x00EF;
  disk1_.SetEntry(3, on_disk2);
  // Byte 0 zero but byte 1 set: listed as disk 0, not the end of the table.
  DirectoryEntryFields disk0;
  disk0.disk = 0;
  disk0.reserved = 1;
  disk1_.SetEntry(4, disk0);
  const Bytes across_cylinder = Pattern(0x1000, 102);  // track 1 R 7 to 2 R 2
  disk1_.AddFile(5, 0x0005, across_cylinder);
  const Bytes across_head = Pattern(0x0C00, 103);  // track 2 R 7 to 3 R 1
  disk1_.AddFile(6, 0x000D, across_head);
  const Bytes short_chunk = Pattern(0x0500, 104);
  disk1_.AddFile(7, 0x01F7, short_chunk, 0xFFFF, 0xFFFF);
  disk1_.AddFile(8, 0x0010, Bytes{});
  const Bytes prog = disk1_.Prog();

  Bytes file = disk1_.Build();
  Append(file, GameDiskBuilder('2').Build());
  const ProcessResult r = RunOn(file);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, Console(Recognised('1') +
                           "PROG cutted.\n"
                           "002 : Disk 1 / start=0000(TRK=001 SEC=2) size=0400 "
                           "loadaddr=2000:0100  ...cutted.\n"
                           "003 : Disk 2 / start=0007(TRK=002 SEC=1) size=0400 "
                           "loadaddr=00EF:ABCD \n"
                           "004 : Disk 0 / start=0000(TRK=001 SEC=2) size=0000 "
                           "loadaddr=0000:0000 \n"
                           "005 : Disk 1 / start=0005(TRK=001 SEC=7) size=1000 "
                           "loadaddr=0000:0000  ...cutted.\n"
                           "006 : Disk 1 / start=000d(TRK=002 SEC=7) size=0c00 "
                           "loadaddr=0000:0000  ...cutted.\n"
                           "007 : Disk 1 / start=01f7(TRK=064 SEC=1) size=0500 "
                           "loadaddr=FFFF:FFFF  ...cutted.\n"
                           "008 : Disk 1 / start=0010(TRK=003 SEC=2) size=0000 "
                           "loadaddr=0000:0000  ...cutted.\n" +
                           Recognised('2')));
  EXPECT_EQ(work_.List(), (std::vector<std::string>{"002", "005", "006", "007",
                                                    "008", "PROG"}));
  EXPECT_EQ(Output("PROG"), prog);
  EXPECT_EQ(Output("002"), one);
  EXPECT_EQ(Output("005"), across_cylinder);
  EXPECT_EQ(Output("006"), across_head);
  EXPECT_EQ(Output("007"), short_chunk);
  EXPECT_EQ(Output("008"), Bytes{});
}

TEST_F(ExtractTest, FilesComeFromTheSectorsTheRecordNumberNames) {
  // Fill sectors with their own ID so that a wrong mapping shows.
  for (int32_t record : {0, 6, 7, 15}) {
    const GamePosition at = RecordSector(record);
    Bytes& data = disk1_.RecordData(record);
    data.assign(1024, static_cast<uint8_t>(at.track * 8 + at.id.r));
  }
  disk1_.SetEntry(2, {1, 0, 0x0000, 0x0400, 0, 0});
  disk1_.SetEntry(3, {1, 0, 0x0006, 0x0800, 0, 0});
  disk1_.SetEntry(4, {1, 0, 0x000F, 0x0001, 0, 0});
  const ProcessResult r = RunOn(disk1_.Build());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Output("002"), Bytes(1024, 1 * 8 + 2));
  Bytes expected(1024, 1 * 8 + 8);           // record 6: track 1, R 8
  Append(expected, Bytes(1024, 2 * 8 + 1));  // record 7: track 2, R 1
  EXPECT_EQ(Output("003"), expected);
  EXPECT_EQ(Output("004"), Bytes(1, 3 * 8 + 1));  // record 15: track 3, R 1
  EXPECT_NE(r.out.find("start=0006(TRK=001 SEC=8)"), std::string::npos);
}

TEST_F(ExtractTest, StartBeyondTheDiskGivesAZeroFileAndAWarning) {
  disk1_.SetEntry(2, {1, 0, 0xFFFF, 0x0300, 0x1234, 0x5678});
  const ProcessResult r = RunOn(disk1_.Build());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out,
            Console(Recognised('1') + "PROG cutted.\n" +
                    EntryLine(2, 1, 0xFFFF, 8193, 1, 0x300, 0x5678, 0x1234) +
                    " ...cutted.\n"));
  EXPECT_EQ(r.err, Console("warning: 002: 768 of 768 bytes could not be read, "
                           "from byte 0 on\n"));
  EXPECT_EQ(Output("002"), Bytes(0x300, 0));
}

TEST_F(ExtractTest, MissingSectorsReadAsZeroWithAWarning) {
  // Entry 2 (three sectors) loses its middle sector; entry 3, read after
  // it, must not inherit its bytes.
  const Bytes contents = Pattern(0x0C00, 7);
  disk1_.AddFile(2, 0x0000, contents);
  disk1_.AddFile(3, 0x0010, Pattern(0x0800, 8));
  const GamePosition lost = RecordSector(1);
  disk1_.RemoveSector(lost.track, lost.id.r);
  const GamePosition gone = RecordSector(0x10);
  disk1_.RemoveTrack(gone.track);

  const ProcessResult r = RunOn(disk1_.Build());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(
      r.out,
      Console(Recognised('1') + "PROG cutted.\n" +
              EntryLine(2, 1, 0, 1, 2, 0x0C00, 0, 0) + " ...cutted.\n" +
              EntryLine(3, 1, 0x10, 3, 2, 0x0800, 0, 0) + " ...cutted.\n"));
  EXPECT_EQ(r.err, Console("warning: 002: 2048 of 3072 bytes could not be "
                           "read, from byte 1024 on\n"
                           "warning: 003: 2048 of 2048 bytes could not be "
                           "read, from byte 0 on\n"));
  Bytes expected(contents.begin(), contents.begin() + 1024);
  Append(expected, Bytes(2048, 0));
  EXPECT_EQ(Output("002"), expected);
  EXPECT_EQ(Output("003"), Bytes(0x0800, 0));
}

TEST_F(ExtractTest, MissingDirectorySectorEndsTheTable) {
  // Entries 2..57 lie in the directory's first sector; entry 58 begins in
  // it and ends in the second, which is missing: its start reads as zero
  // and entry 59 ends the table.
  for (int32_t k = 2; k <= 60; ++k) {
    disk1_.SetEntry(k, {2, 0, static_cast<uint16_t>(k), 0x100, 0, 0});
  }
  const GamePosition second = RecordSector(kDirectoryRecord + 1);
  disk1_.RemoveSector(second.track, second.id.r);
  // The image before has a full directory; none of it may show through.
  GameDiskBuilder full('1');
  for (int32_t k = 2; k <= 100; ++k) {
    full.SetEntry(k, {2, 0, static_cast<uint16_t>(k), 0x100, 0, 0});
  }
  Bytes file = full.Build();
  Append(file, disk1_.Build());
  const ProcessResult r = RunOn(file);
  EXPECT_EQ(r.exit_code, 0);
  const std::string second_listing =
      r.out.substr(r.out.rfind(Console(Recognised('1'))));
  EXPECT_NE(second_listing.find("\n058 : Disk 2 / start=0000"),
            std::string::npos);
  EXPECT_EQ(second_listing.find("\n059 : "), std::string::npos);
  // PROG's run stops at the missing sector, three sectors before its end.
  EXPECT_EQ(r.err, Console("warning: PROG: 3072 of 15360 bytes could not be "
                           "read, from byte 12288 on\n"));
}

TEST_F(ExtractTest, DirectoryWithoutTerminatorStopsAtItsLastWholeEntry) {
  for (int32_t k = 2; k <= kLastDirectoryEntry; ++k) {
    disk1_.SetEntry(k, {9, 0, 0x0001, 0x0001, 0, 0});
  }
  // The two bytes after entry 364 are not zero either.
  disk1_.WriteAtRecord(kDirectoryRecord, EntryOffset(kLastDirectoryEntry + 1),
                       Bytes{9, 9, 9, 9});
  const ProcessResult r = RunOn(disk1_.Build());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("\n364 : Disk 9 "), std::string::npos);
  EXPECT_EQ(r.out.find("\n365 : "), std::string::npos);
  const std::string tail = Console(EntryLine(364, 9, 1, 1, 3, 1, 0, 0) + "\n");
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}

TEST_F(ExtractTest, LaterDiskOneReplacesEarlierFiles) {
  disk1_.AddFile(2, 0x0000, Pattern(2048, 1));
  disk1_.AddFile(3, 0x0002, Pattern(100, 2));
  GameDiskBuilder later('1');
  later.AddFile(2, 0x0004, Pattern(1024, 3));
  Bytes file = disk1_.Build();
  Append(file, later.Build());
  const ProcessResult r = RunOn(file);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Output("002"), Pattern(1024, 3));
  EXPECT_EQ(Output("003"), Pattern(100, 2));
  EXPECT_EQ(Output("PROG"), later.Prog());
}

// --- Output files that cannot be written -------------------------------------

TEST_F(ExtractTest, DirectoryInTheWayIsReportedAndTheRestGoesOn) {
  disk1_.AddFile(2, 0x0000, Pattern(1024, 1));
  disk1_.AddFile(3, 0x0001, Pattern(1024, 2));
  ASSERT_TRUE(std::filesystem::create_directory(work_.File("002")));
  // The images after it are still visited; the status comes at the end.
  Bytes file = disk1_.Build();
  Append(file, GameDiskBuilder('2').Build());
  const ProcessResult r = RunOn(file);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, Console(Recognised('1') + "PROG cutted.\n" +
                           EntryLine(2, 1, 0, 1, 2, 0x400, 0, 0) + "\n" +
                           EntryLine(3, 1, 1, 1, 3, 0x400, 0, 0) +
                           " ...cutted.\n" + Recognised('2')));
  ExpectWriteError(r.err, "002", "Is a directory");
  EXPECT_TRUE(std::filesystem::is_directory(work_.File("002")));
  EXPECT_EQ(Output("003"), Pattern(1024, 2));
  EXPECT_EQ(work_.List(), (std::vector<std::string>{"002", "003", "PROG"}));
}

TEST_F(ExtractTest, DiagnosticsFollowTheLineTheyBelongTo) {
  // Standard output is flushed before each diagnostic, so that a terminal
  // shows the warning right after its entry's line.
  disk1_.AddFile(2, 0x0000, Pattern(2048, 1));
  disk1_.AddFile(3, 0x0010, Pattern(1024, 2));
  const GamePosition lost = RecordSector(1);
  disk1_.RemoveSector(lost.track, lost.id.r);
  ProcessOptions options;
  options.merge_output = true;
  const ProcessResult r = Run({Input(disk1_.Build())}, options);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(
      r.out,
      Console(Recognised('1') + "PROG cutted.\n" +
              EntryLine(2, 1, 0, 1, 2, 0x800, 0, 0) + " ...cutted.\n" +
              "warning: 002: 1024 of 2048 bytes could not be read, "
              "from byte 1024 on\n" +
              EntryLine(3, 1, 0x10, 3, 2, 0x400, 0, 0) + " ...cutted.\n"));
}

TEST_F(ExtractTest, FailedProgWriteIsNotAnnounced) {
  ASSERT_TRUE(std::filesystem::create_directory(work_.File("PROG")));
  const ProcessResult r = RunOn(disk1_.Build());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, Console(Recognised('1')));
  ExpectWriteError(r.err, "PROG", "Is a directory");
}

// A file size limit and Unix permissions exist only on POSIX systems.
#ifndef _WIN32
TEST_F(ExtractTest, WriteThatFailsPartwayKeepsTheOldFile) {
  disk1_.AddFile(2, 0x0000, Pattern(1024, 1));
  disk1_.AddFile(3, 0x0001, Pattern(8192, 2));  // over the limit
  disk1_.AddFile(4, 0x0010, Pattern(512, 3));
  const Bytes old(100, 'o');
  ASSERT_TRUE(WriteFileBytes(work_.File("003"), old));
  ProcessOptions options;
  options.file_size_limit = 4096;
  const std::string input = Input(disk1_.Build());
  // The tool starts with SIGXFSZ at its default disposition, which would
  // end it at the limit; it ignores the signal, so the write fails instead.
  const ProcessResult r = Run({input}, options);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_EQ(r.exit_code, 1);
  // PROG is over the limit too.
  EXPECT_EQ(r.out, Recognised('1') + EntryLine(2, 1, 0, 1, 2, 0x400, 0, 0) +
                       " ...cutted.\n" +
                       EntryLine(3, 1, 1, 1, 3, 0x2000, 0, 0) + "\n" +
                       EntryLine(4, 1, 0x10, 3, 2, 0x200, 0, 0) +
                       " ...cutted.\n");
  EXPECT_EQ(r.err,
            "error: PROG: File too large\n"
            "error: 003: File too large\n");
  EXPECT_EQ(Output("003"), old);
  EXPECT_EQ(Output("002"), Pattern(1024, 1));
  EXPECT_EQ(Output("004"), Pattern(512, 3));
  EXPECT_EQ(work_.List(), (std::vector<std::string>{"002", "003", "004"}));
}

TEST_F(ExtractTest, ReplacedFilesKeepTheirPermissions) {
  // A replaced file keeps its permission bits, read-only ones too; a new
  // name gets those of a plain create.
  disk1_.AddFile(2, 0x0000, Pattern(1024, 1));
  disk1_.AddFile(3, 0x0001, Pattern(1024, 2));
  ASSERT_TRUE(WriteFileBytes(work_.File("PROG"), Bytes(3, 1)));
  ASSERT_TRUE(WriteFileBytes(work_.File("002"), Bytes(3, 1)));
  ASSERT_EQ(chmod(work_.File("PROG").c_str(), 0600), 0);
  ASSERT_EQ(chmod(work_.File("002").c_str(), 0444), 0);
  const mode_t mask = umask(0);
  umask(mask);
  ASSERT_EQ(RunOn(disk1_.Build()).exit_code, 0);
  EXPECT_EQ(Output("002"), Pattern(1024, 1));
  const std::pair<const char*, mode_t> modes[] = {
      {"PROG", 0600}, {"002", 0444}, {"003", 0666 & ~mask}};
  for (const auto& [name, mode] : modes) {
    struct stat st;
    ASSERT_EQ(stat(work_.File(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << name;
  }
}

TEST_F(ExtractTest, UnwritableListingFailsTheRun) {
  disk1_.AddFile(2, 0x0000, Pattern(1024, 1));
  ProcessOptions options;
  options.stdout_path = "/dev/full";
  const ProcessResult r = Run({Input(disk1_.Build())}, options);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: standard output: No space left on device\n");
  EXPECT_EQ(Output("002"), Pattern(1024, 1));
}

#endif  // _WIN32

TEST_F(ExtractTest, InputNamedLikeAnOutputIsKeptWhole) {
  // The input under an output name, as its own name or as a second name of
  // the same file, is never replaced: the run reports it and goes on.
  disk1_.AddFile(2, 0x0000, Pattern(1024, 1));
  disk1_.AddFile(3, 0x0001, Pattern(1024, 2));
  Bytes file = disk1_.Build();
  Append(file, GameDiskBuilder('2').Build());
  struct Case {
    const char* name;  // the output name that is the input
    bool hard_link;    // a second name of an input elsewhere, or its own
  };
  for (const Case& c :
       {Case{"002", false}, Case{"PROG", false}, Case{"002", true}}) {
    const std::string name = c.name;
    SCOPED_TRACE(name + (c.hard_link ? ", hard link" : ""));
    TempDir work;
    std::string input = work.File(name);
    if (c.hard_link) {
      input = Input(file);
      std::error_code ec;
      std::filesystem::create_hard_link(input, work.File(name), ec);
      ASSERT_FALSE(ec) << ec.message();
    } else {
      ASSERT_TRUE(WriteFileBytes(input, file));
    }
    ProcessOptions options;
    options.cwd = work.path();
    const ProcessResult r = Run({c.hard_link ? input : name}, options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, Console("error: " + name +
                             ": is the input file, not replaced\n"));
    // The images after disk 1 are still read from the input.
    EXPECT_EQ(r.out, Console(Recognised('1') +
                             (name == "PROG" ? "" : "PROG cutted.\n") +
                             EntryLine(2, 1, 0, 1, 2, 0x400, 0, 0) +
                             (name == "002" ? "\n" : " ...cutted.\n") +
                             EntryLine(3, 1, 1, 1, 3, 0x400, 0, 0) +
                             " ...cutted.\n" + Recognised('2')));
    Bytes bytes;
    EXPECT_TRUE(ReadFileBytes(work.File(name), &bytes));
    EXPECT_TRUE(bytes == file);
    EXPECT_TRUE(ReadFileBytes(input, &bytes));
    EXPECT_TRUE(bytes == file);
    EXPECT_TRUE(ReadFileBytes(work.File("003"), &bytes));
    EXPECT_EQ(bytes, Pattern(1024, 2));
    EXPECT_EQ(work.List(), (std::vector<std::string>{"002", "003", "PROG"}));
  }
}

}  // namespace
}  // namespace cut
