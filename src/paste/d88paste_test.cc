// d88paste: the round trip with d88cut on the sample image and on generated
// images, and every refusal end to end.

#include "paste/d88paste.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/output_file.h"
#include "cut/d88cut.h"
#include "d88/d88_image.h"
#include "fuzz/paste_round_trip.h"
#include "fuzz/seeds.h"
#include "game/game_disk.h"
#include "game/game_layout.h"
#include "testing/d88_builder.h"
#include "testing/demo_image.h"
#include "testing/failing_reads.h"
#include "testing/game_disk_builder.h"
#include "testing/in_process.h"
#include "testing/run_process.h"

namespace paste {
namespace {

using d88test::Append;
using d88test::BuildDamagedDemoImage;
using d88test::BuildDemoImage;
using d88test::Bytes;
using d88test::CheckPasteRoundTrip;
using d88test::ConsoleText;
using d88test::CutInProcess;
using d88test::DirectoryEntryFields;
using d88test::Files;
using d88test::GameDiskBuilder;
using d88test::Names;
using d88test::Pattern;
using d88test::ProcessResult;
using d88test::ReadFileBytes;
using d88test::ReadFiles;
using d88test::RunInProcess;
using d88test::RunProcess;
using d88test::SizeFieldInProg;
using d88test::TempDir;
using d88test::TestedExecutable;
using d88test::WriteFileBytes;

// --- End to end -------------------------------------------------------------

class PasteTest : public ::testing::Test {
 public:
  // Writes `image` as in.d88 and d88cut's files into the folder "files".
  void SetUp() override { Prepare(BuildDemoImage()); }

  void Prepare(const Bytes& image) {
    in_ = image;
    ASSERT_TRUE(WriteFileBytes(dir_.File("in.d88"), image));
    std::error_code ec;
    std::filesystem::remove_all(dir_.File("files"), ec);
    std::filesystem::create_directory(dir_.File("files"), ec);
    d88test::ProcessOptions options;
    options.cwd = dir_.File("files");
    const std::string cut = TestedExecutable(D88CUT_PATH);
    RunProcess(cut, {cut, dir_.File("in.d88")}, options);
  }

  void Edit(const std::string& name, const Bytes& bytes) {
    ASSERT_TRUE(WriteFileBytes(dir_.File("files") + "/" + name, bytes));
  }

  ProcessResult Paste(std::vector<std::string> args,
                      d88test::ProcessOptions options = {}) {
    const std::string tool = TestedExecutable(D88PASTE_PATH);
    args.insert(args.begin(), tool);
    options.cwd = dir_.path();
    return RunProcess(tool, args, options);
  }

  TempDir dir_;
  Bytes in_;
};

TEST_F(PasteTest, UneditedFolderGivesTheInputsBytes) {
  for (const Bytes& image : {BuildDemoImage(), BuildDamagedDemoImage()}) {
    Prepare(image);
    const ProcessResult r = Paste({"-C", "files", "in.d88", "out.d88"});
    std::string out;
    ASSERT_TRUE(ConsoleText(r.out, &out));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(out, "No file changed.\n");
    Bytes written;
    ASSERT_TRUE(ReadFileBytes(dir_.File("out.d88"), &written));
    EXPECT_TRUE(written == image);
  }
}

TEST_F(PasteTest, EditedFileIsWhatD88CutGivesBack) {
  const Bytes edited = Pattern(2900, 99);
  Edit("005", edited);
  // A dry run says the same and writes nothing; IN may be a pipe.
  struct Case {
    const char* dry;
    const char* in;
    const char* out;
    size_t names;  // in the directory afterwards
  } cases[] = {
      {"-n", "in.d88", "out.d88", 2},
      {"", "in.d88", "out.d88", 3},
#ifndef _WIN32
      {"", "/dev/stdin", "piped.d88", 4},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::vector<std::string> args = {"-C", "files", c.in, c.out};
    if (c.dry[0] != '\0') args.insert(args.begin(), c.dry);
    d88test::ProcessOptions options;
#ifndef _WIN32
    options.stdin_pipe = std::string(c.in) == "/dev/stdin";
    if (options.stdin_pipe) options.stdin_bytes.assign(in_.begin(), in_.end());
#endif
    const ProcessResult r = Paste(args, options);
    std::string out;
    ASSERT_TRUE(ConsoleText(r.out, &out));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string expected =
        "PROG: 15360 -> 15360 bytes, 1 sector rewritten\n"
        "005: 3072 -> 2900 bytes, 3 sectors rewritten\n";
    if (c.dry[0] != '\0') expected += "Dry run: out.d88 not written.\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(Names(dir_.path()).size(), c.names);
  }
#ifndef _WIN32
  Bytes from_file;
  Bytes from_pipe;
  ASSERT_TRUE(ReadFileBytes(dir_.File("out.d88"), &from_file));
  ASSERT_TRUE(ReadFileBytes(dir_.File("piped.d88"), &from_pipe));
  EXPECT_TRUE(from_pipe == from_file);
#endif
  const Files back = CutInProcess(dir_.File("out.d88"), dir_.File("back"));
  const Files before = ReadFiles(dir_.File("files"));
  for (const auto& [name, bytes] : before) {
    if (name != "PROG") {
      EXPECT_TRUE(back.at(name) == bytes) << name;
    }
  }
  Bytes prog = before.at("PROG");
  prog[SizeFieldInProg(5)] = 2900 & 0xFF;
  prog[SizeFieldInProg(5) + 1] = 2900 >> 8;
  EXPECT_TRUE(back.at("PROG") == prog);
}

TEST_F(PasteTest, UsageAndVersion) {
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {{{}, 2},
               {{"in.d88"}, 2},
               {{"--frobnicate", "in.d88", "out.d88"}, 2},
               {{"--image", "x", "in.d88", "out.d88"}, 2},
               {{"-C"}, 2},
               {{"a", "b", "c"}, 2},
               {{"--help"}, 0}};
  for (const Case& c : cases) {
    const ProcessResult r = Paste(c.args);
    EXPECT_EQ(r.exit_code, c.status) << testing::PrintToString(c.args);
  }
  std::string out;
  ASSERT_TRUE(ConsoleText(Paste({"--version"}).out, &out));
  EXPECT_EQ(out, "d88paste " D88CUT_VERSION "\n");
}

// Each refusal: exit status 1, every error named, no OUT, no temporary
// file, and the input untouched.
TEST_F(PasteTest, OverlapThatAgreesIsWrittenOnce) {
  // Entry 3 shares entry 2's second sector; the edits agree there, so the
  // sector is rewritten by 002 and found as planned by 003.
  GameDiskBuilder shared('1');
  shared.AddFile(2, 0, Pattern(2048, 1));
  shared.SetEntry(3, {1, 0, 1, 1024, 0, 0});
  Prepare(shared.Build());
  const Bytes two = Pattern(2048, 2);
  Edit("002", two);
  Edit("003", Bytes(two.begin() + 1024, two.end()));
  const ProcessResult r = Paste({"-C", "files", "in.d88", "out.d88"});
  std::string out;
  ASSERT_TRUE(ConsoleText(r.out, &out));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(out,
            "002: 2048 -> 2048 bytes, 2 sectors rewritten\n"
            "003: 1024 -> 1024 bytes, 0 sectors rewritten\n");
  const Files back = CutInProcess(dir_.File("out.d88"), dir_.File("back"));
  EXPECT_TRUE(back.at("002") == two);
}

TEST_F(PasteTest, RefusalsWriteNothing) {
  // Entry 3 shares entry 2's second sector.
  GameDiskBuilder shared('1');
  shared.AddFile(2, 0, Pattern(2048, 1));
  shared.SetEntry(3, {1, 0, 1, 1024, 0, 0});
  Bytes two_disk_ones = BuildDemoImage();
  Append(two_disk_ones, BuildDemoImage());

  struct Case {
    const char* what;
    Bytes image;
    std::function<void(PasteTest*)> edit;
    std::vector<std::string> args;  // IN and OUT
    std::vector<std::string> errors;
  } cases[] = {
      {"too large",
       BuildDemoImage(),
       [](PasteTest* t) { t->Edit("005", Pattern(3073, 1)); },
       {"in.d88", "out.d88"},
       {"error: 005: 3073 bytes, more than the 3072 bytes its sectors hold"}},
      {"PROG of another size",
       BuildDemoImage(),
       [](PasteTest* t) { t->Edit("PROG", Pattern(15359, 1)); },
       {"in.d88", "out.d88"},
       {"error: PROG: 15359 bytes; PROG must be exactly 15360 bytes"}},
      {"missing and short sectors, both listed",
       BuildDamagedDemoImage(),
       [](PasteTest* t) {
         t->Edit("003", Pattern(3072, 1));
         t->Edit("009", Pattern(100, 1));
       },
       {"in.d88", "out.d88"},
       {"error: 003: its sector at track 1 sector 4 is missing",
        "error: 009: its sector at track 4 sector 2 holds 512 bytes, not "
        "1024"}},
      {"overlap that disagrees",
       shared.Build(),
       [](PasteTest* t) { t->Edit("002", Pattern(2048, 2)); },
       {"in.d88", "out.d88"},
       {"error: 003: its sectors overlap 002, and the new bytes disagree"}},
      {"unknown number and entry on disk 2",
       BuildDemoImage(),
       [](PasteTest* t) {
         t->Edit("100", Bytes(1));
         t->Edit("008", Bytes(1));
       },
       {"in.d88", "out.d88"},
       {"error: 008: its entry is on disk 2, not on disk 1",
        "error: 100: the directory has no entry 100"}},
      {"entry past the end of the table",
       [] {
         // Entry 3 is empty: the table ends before entry 5.
         GameDiskBuilder b('1');
         b.AddFile(2, 0, Pattern(1024, 1));
         b.AddFile(5, 4, Pattern(1024, 2));
         return b.Build();
       }(),
       [](PasteTest* t) { t->Edit("005", Bytes(1)); },
       {"in.d88", "out.d88"},
       {"error: 005: the directory has no entry 5"}},
      {"two disk-1 images",
       two_disk_ones,
       [](PasteTest*) {},
       {"in.d88", "out.d88"},
       {"holds more than one disk 1 of the game (images 0, 2); choose one "
        "with --image N"}},
      {"image that is not disk 1",
       BuildDemoImage(),
       [](PasteTest*) {},
       {"--image", "1", "in.d88", "out.d88"},
       {"image 1 is not a disk 1 of the game"}},
      {"OUT is IN",
       BuildDemoImage(),
       [](PasteTest* t) { t->Edit("005", Bytes(1)); },
       {"in.d88", "in.d88"},
       {"error: in.d88: is the input file, not replaced"}},
      {"OUT is a hard link to IN",
       BuildDemoImage(),
       [](PasteTest* t) {
         t->Edit("005", Bytes(1));
         std::error_code ec;
         std::filesystem::create_hard_link(t->dir_.File("in.d88"),
                                           t->dir_.File("link.d88"), ec);
         ASSERT_FALSE(ec) << ec.message();
       },
       {"in.d88", "link.d88"},
       {"error: link.d88: is the input file, not replaced"}},
      {"unwritable OUT",
       BuildDemoImage(),
       [](PasteTest* t) {
         std::error_code ec;
         std::filesystem::create_directory(t->dir_.File("out.d88"), ec);
       },
       {"in.d88", "out.d88"},
       {"error: out.d88: "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Prepare(c.image);
    c.edit(this);
    const std::vector<std::string> before = Names(dir_.path());
    std::vector<std::string> args = {"-C", "files"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = Paste(args);
    EXPECT_EQ(r.exit_code, 1);
    for (const std::string& error : c.errors) {
      EXPECT_NE(r.err.find(error), std::string::npos) << r.err;
    }
    EXPECT_EQ(Names(dir_.path()), before);
    Bytes in;
    ASSERT_TRUE(ReadFileBytes(dir_.File("in.d88"), &in));
    EXPECT_TRUE(in == c.image);
    std::filesystem::remove_all(dir_.File("link.d88"));
    std::filesystem::remove_all(dir_.File("out.d88"));
  }
}

// OUT is made in memory: an input beyond the stream limit is refused before
// anything is allocated for it.
TEST_F(PasteTest, InputTooLargeToCopyIsRefused) {
  Prepare(BuildDemoImage());
  std::filesystem::resize_file(dir_.File("in.d88"),
                               d88::D88Image::kMaxStreamSize + 1);
  const ProcessResult r = Paste({"-C", "files", "in.d88", "out.d88"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("in.d88: larger than the 268435456 bytes"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out.d88")));
}

#ifndef _WIN32
// The temporary OUT loses its second half after it is written; the read
// back must see it and publish nothing.
void TruncateTemporary(const char* name, common::FilePublisher::Stage stage) {
  if (stage != common::FilePublisher::Stage::kWritten) return;
  const std::filesystem::path out(name);
  for (const auto& e : std::filesystem::directory_iterator(
           out.parent_path().empty() ? "." : out.parent_path())) {
    const std::string temp = e.path().filename().string();
    if (temp.rfind("." + out.filename().string() + ".", 0) == 0) {
      std::filesystem::resize_file(e.path(),
                                   std::filesystem::file_size(e.path()) / 2);
    }
  }
}

// The input grows by a byte once OUT is written from it.
void GrowInput(const char*, common::FilePublisher::Stage stage) {
  if (stage != common::FilePublisher::Stage::kWritten) return;
  Bytes in;
  if (ReadFileBytes("in.d88", &in)) {
    in.push_back(0);
    WriteFileBytes("in.d88", in);
  }
}

// d88paste with `hook` on its publisher, set by the test before each run.
void (*g_hook)(const char*, common::FilePublisher::Stage) = nullptr;
int PasteWithHook(int argc, char** argv) {
  common::FilePublisher publisher;
  publisher.SetHookForTesting(g_hook);
  return RunD88Paste(argc, argv, &publisher);
}

// OUT that does not read back as planned, or made from an input that
// changed meanwhile: nothing is published.
TEST_F(PasteTest, DoubtfulOutIsNotPublished) {
  const struct {
    void (*hook)(const char*, common::FilePublisher::Stage);
    const char* error;
  } cases[] = {
      {TruncateTemporary, "error: out.d88: internal error: read back"},
      {GrowInput, "error: out.d88: in.d88 changed while it was read\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    Prepare(BuildDemoImage());
    Edit("005", Pattern(100, 3));
    const std::vector<std::string> before = Names(dir_.path());
    g_hook = c.hook;
    const ProcessResult r = RunInProcess(
        PasteWithHook, {"d88paste", "-C", "files", "in.d88", "out.d88"},
        dir_.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Names(dir_.path()), before);
  }
}

int PasteInProcess(int argc, char** argv) { return RunD88Paste(argc, argv); }

// Every read of the input failing from the k-th on, while the plan is made
// or while OUT is written (the input reaches past the reader's kept blocks,
// so writing OUT reads it again): either OUT is exactly the clean run's, or
// nothing is written and the failure is named.
TEST_F(PasteTest, FailedReadOfTheInputWritesNothing) {
  Bytes image = BuildDemoImage();
  image.resize(image.size() + (size_t{1} << 20), 0);
  Prepare(image);
  Edit("005", Pattern(100, 3));
  const std::vector<std::string> args = {"d88paste", "-C", "files", "in.d88",
                                         "out.d88"};
  ASSERT_EQ(RunInProcess(PasteInProcess, args, dir_.path()).exit_code, 0);
  Bytes clean;
  ASSERT_TRUE(ReadFileBytes(dir_.File("out.d88"), &clean));
  std::filesystem::remove(dir_.File("out.d88"));
  const std::vector<std::string> before = Names(dir_.path());
  bool failed_planning = false;
  bool failed_writing = false;
  for (int64_t k = 1; k <= 400; ++k) {
    SCOPED_TRACE(k);
    d88test::FailInputReads(k, EIO, int64_t{1} << 40);
    const ProcessResult r = RunInProcess(PasteInProcess, args, dir_.path());
    d88test::FailInputReads(0, 0);
    if (r.exit_code == 0) {
      Bytes written;
      ASSERT_TRUE(ReadFileBytes(dir_.File("out.d88"), &written));
      EXPECT_TRUE(written == clean);
      break;
    }
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Names(dir_.path()), before);
    // Failing reads of OUT's read back are the third kind.
    const std::string reason = std::strerror(EIO);
    if (r.err.rfind("error: in.d88: " + reason + "\n", 0) == 0) {
      failed_planning = true;
    } else if (r.err.rfind("error: out.d88: reading in.d88 failed: " + reason,
                           0) == 0) {
      failed_writing = true;
    } else {
      EXPECT_EQ(r.err.rfind(
                    "error: out.d88: internal error: reading it back failed: " +
                        reason,
                    0),
                0u)
          << r.err;
    }
  }
  EXPECT_TRUE(failed_planning);
  EXPECT_TRUE(failed_writing);
}
#endif

// --- Property: every edit is refused or round-trips -----------------------

// A disk 1 of random entries: overlapping, on disk 2, of any size, some
// sectors missing or short, the file cut short.
Bytes RandomImage(std::mt19937& rng) {
  auto below = [&rng](uint32_t n) { return static_cast<int>(rng() % n); };
  GameDiskBuilder b('1');
  const int entries = 1 + below(10);
  for (int32_t k = 2; k < 2 + entries; ++k) {
    const uint16_t start = static_cast<uint16_t>(below(40));
    const int size = below(6) == 0 ? 0 : below(6000);
    if (below(6) == 0) {
      b.SetEntry(k, {2, 0, start, static_cast<uint16_t>(size), 0, 0});
    } else {
      b.AddFile(
          k, start,
          Pattern(static_cast<size_t>(size), static_cast<uint32_t>(rng())));
    }
  }
  for (int damage = below(4); damage > 0; --damage) {
    const int32_t index = 9 + below(50);
    if (below(2) == 0) {
      b.RemoveSector(index / 8, index % 8 + 1);
    } else {
      b.SectorAt(index).resize(static_cast<size_t>(below(1100)));
    }
  }
  Bytes image = b.Build();
  if (below(5) == 0) Append(image, GameDiskBuilder('2').Build());
  if (below(8) == 0)
    image.resize(image.size() - static_cast<size_t>(below(
                                    static_cast<uint32_t>(image.size()))));
  return image;
}

TEST(PastePropertyTest, EveryEditIsRefusedOrRoundTrips) {
  std::mt19937 rng(20261209);
  std::vector<Bytes> images;
  for (const d88test::Seed& seed : d88test::ToolSeeds()) {
    if (seed.name.rfind("chained", 0) != 0) images.push_back(seed.bytes);
  }
  images.push_back(BuildDemoImage());
  images.push_back(BuildDamagedDemoImage());
  // These are pasted unedited as well as edited; the random ones either.
  const size_t named = images.size();
  // Each round starts two tools in this process; under Wine that is slow.
#ifdef _WIN32
  const size_t rounds = 60;
#else
  const size_t rounds = 120;
#endif
  while (images.size() < rounds) images.push_back(RandomImage(rng));

  int round_trips = 0;
  for (size_t round = 0; round < images.size(); ++round) {
    SCOPED_TRACE(round);
    // Seed 0 leaves the folder unedited.
    std::vector<uint32_t> seeds = {static_cast<uint32_t>(rng())};
    if (round < named || round % 4 == 0) seeds.push_back(0);
    for (const uint32_t seed : seeds) {
      TempDir dir;
      bool round_trip = false;
      EXPECT_EQ(
          CheckPasteRoundTrip(images[round], seed, dir.path(), &round_trip), "")
          << "seed " << seed;
      round_trips += round_trip ? 1 : 0;
    }
  }
  // The generated images must exercise the round trip, not only refusals.
  EXPECT_GT(round_trips, static_cast<int>(rounds / 3));
}

}  // namespace
}  // namespace paste
