// End-to-end tests of d88cut on damaged and hostile images: truncated files,
// sector counts that disagree, negative and huge sizes. The tool must finish
// with status 0, write every disk-1 file at its full size with zero bytes
// where sectors cannot be read, and say which files lack bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "testing/d88_builder.h"
#include "testing/game_disk_builder.h"
#include "testing/run_process.h"

namespace cut {

using d88test::ConsoleText;
using d88test::ProcessOptions;
using d88test::ReadFileBytes;
using d88test::RunProcess;
using d88test::TestedExecutable;
using d88test::WriteFileBytes;

using d88::kSectorHeaderSize;
using d88test::Append;
using d88test::Bytes;
using d88test::GameDiskBuilder;
using d88test::Pattern;
using d88test::ProcessResult;
using d88test::TempDir;
using d88test::TrackSector;
namespace {

std::string Recognised(char disk) {
  return std::string("Disk ") + disk +
         " \x82\xF0\x94\x46\x8E\xAF\x82\xB5\x82\xDC\x82\xB5\x82\xBD.\n";
}

std::string Missing(const std::string& name, int missing, int size) {
  return "warning: " + name + ": " + std::to_string(missing) + " of " +
         std::to_string(size) + " bytes could not be read, from byte " +
         std::to_string(size - missing) + " on\n";
}

class DamagedImageTest : public ::testing::Test {
 protected:
  ProcessResult RunOn(const Bytes& image) {
    const std::string path = inputs_.File("in.d88");
    EXPECT_TRUE(WriteFileBytes(path, image));
    for (const std::string& name : work_.List()) {
      std::remove(work_.File(name).c_str());
    }
    ProcessOptions options;
    options.cwd = work_.path();
    const std::string exe = TestedExecutable(D88CUT_PATH);
    ProcessResult r = RunProcess(exe, {exe, path}, options);
    EXPECT_TRUE(ConsoleText(r.out, &r.out)) << "a line feed without CR";
    EXPECT_TRUE(ConsoleText(r.err, &r.err)) << "a line feed without CR";
    return r;
  }

  Bytes Output(const std::string& name) {
    Bytes bytes;
    EXPECT_TRUE(ReadFileBytes(work_.File(name), &bytes)) << name;
    return bytes;
  }

  static Bytes Truncated(Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
  }

  // `bytes` with everything from `keep` on replaced by zero bytes.
  static Bytes ZeroFrom(Bytes bytes, size_t keep) {
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(keep), bytes.end(),
              0);
    return bytes;
  }

  TempDir work_;
  TempDir inputs_;
};

TEST_F(DamagedImageTest, TruncatedImageKeepsEveryFileWhole) {
  // The file lies on track 70, after PROG and the directory (tracks 66-68),
  // so that a cut can take it alone or the directory's end as well.
  GameDiskBuilder disk('1');
  const Bytes contents = Pattern(0x0C00, 1);
  disk.AddFile(2, 551, contents);  // track 70, R 1 to 3
  const Bytes prog = disk.Prog();
  const Bytes whole = disk.Build();
  const size_t record = kSectorHeaderSize + 1024;
  const size_t track70 = whole.size() - 8 * record;
  const size_t track68 = track70 - 8 * record;

  // Cut 444 bytes into the data of R 2 of track 70: the file keeps its
  // first sector and the bytes of the second that the file still holds,
  // though that sector counts as missing.
  ProcessResult r = RunOn(Truncated(whole, track70 + record + 16 + 444));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, Missing("002", 2048, 3072));
  EXPECT_EQ(Output("PROG"), prog);
  EXPECT_EQ(Output("002"), ZeroFrom(contents, 1024 + 444));

  // Cut after the header of R 4 of track 68: PROG loses its last two
  // sectors, the directory its last two, and entry 2, in the first, is
  // still listed.
  r = RunOn(Truncated(whole, track68 + 3 * record + 16));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Recognised('1') + "PROG cutted.\n" +
                       "002 : Disk 1 / start=0227(TRK=070 SEC=1) size=0c00 "
                       "loadaddr=0000:0000  ...cutted.\n");
  EXPECT_EQ(r.err, Missing("PROG", 2048, 15360) + Missing("002", 3072, 3072));
  EXPECT_EQ(Output("PROG"), ZeroFrom(prog, 13 * 1024));
  EXPECT_EQ(Output("002"), Bytes(0x0C00, 0));

  // Any cut: no failure, and PROG, once written, has its full size.
  for (size_t cut = 0; cut < whole.size(); cut += 997) {
    SCOPED_TRACE(cut);
    r = RunOn(Truncated(whole, cut));
    EXPECT_EQ(r.exit_code, 0);
    if (r.out.find("PROG cutted.") != std::string::npos) {
      EXPECT_EQ(Output("PROG").size(), 15360u);
    }
  }
}

TEST_F(DamagedImageTest, DisagreeingSectorCountsEndTheWalk) {
  GameDiskBuilder disk('1');
  const Bytes two = Pattern(0x0800, 2);
  disk.AddFile(2, 0x0000, two);  // track 1, R 2 and 3
  const Bytes three = Pattern(0x0800, 3);
  disk.AddFile(3, 0x0007, three);               // track 2, R 1 and 2
  disk.AddFile(4, 0x000F, Pattern(0x0400, 4));  // track 3, R 1
  // Track 1's first header says it holds two records: R 3 is never reached.
  disk.image().Track(1).records()[0].count = 2;
  // Counts far above the records present do no harm where the sectors are.
  for (TrackSector& s : disk.image().Track(2).records()) s.count = 0xFFFF;
  // A count of 0 ends track 3 at its first record.
  disk.image().Track(3).records()[0].count = 0;

  const ProcessResult r = RunOn(disk.Build());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, Missing("002", 1024, 2048) + Missing("004", 1024, 1024));
  EXPECT_EQ(Output("002"), ZeroFrom(two, 1024));
  EXPECT_EQ(Output("003"), three);
  EXPECT_EQ(Output("004"), Bytes(0x0400, 0));
}

TEST_F(DamagedImageTest, NegativeAndHugeSizesReadNothingOutsideTheFile) {
  // A negative disk size: no track of the image lies within it, and the
  // image after it is not indexed.
  GameDiskBuilder negative('1');
  negative.image().SetDiskSize(-1);
  Bytes file = negative.Build();
  Append(file, GameDiskBuilder('2').Build());
  ProcessResult r = RunOn(file);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(work_.List().empty());

  // A huge disk size: the image is read, and the next image would start
  // beyond the file. A track offset of 2^31 reads as negative and the track
  // as absent; a start and a size of 0xFFFF give a 65,535-byte zero file.
  GameDiskBuilder huge('1');
  huge.image().SetDiskSize(0x7FFFFFFF);
  huge.AddFile(2, 0x0000, Pattern(0x0400, 5));
  huge.image().SetTrackOffset(1, 0x80000000LL);
  huge.SetEntry(3, {1, 0, 0xFFFF, 0xFFFF, 0, 0});
  file = huge.Build();
  Append(file, GameDiskBuilder('2').Build());
  r = RunOn(file);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.find(Recognised('2')), std::string::npos);
  EXPECT_EQ(r.err, Missing("002", 1024, 1024) + Missing("003", 65535, 65535));
  EXPECT_EQ(Output("002"), Bytes(0x0400, 0));
  EXPECT_EQ(Output("003"), Bytes(0xFFFF, 0));
  EXPECT_EQ(work_.List(), (std::vector<std::string>{"002", "003", "PROG"}));
}

}  // namespace
}  // namespace cut
