// d88cut where input and output are not plain files: an image read from a
// pipe or a FIFO, a listing whose reader goes away, and reads that fail.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cut/d88cut.h"
#include "d88/input_file.h"
#include "testing/d88_builder.h"
#include "testing/demo_image.h"
#include "testing/failing_reads.h"
#include "testing/game_disk_builder.h"
#include "testing/in_process.h"
#include "testing/run_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace cut {

using d88test::BuildDamagedDemoImage;
using d88test::ReadFileBytes;
using d88test::RunInProcess;

using d88test::Append;
using d88test::BuildDemoImage;
using d88test::Bytes;
using d88test::ConsoleText;
using d88test::GameDiskBuilder;
using d88test::Pattern;
using d88test::ProcessOptions;
using d88test::ProcessResult;
using d88test::TempDir;
using d88test::TestedExecutable;
using d88test::WriteFileBytes;
#ifndef _WIN32
using d88test::FeedFifo;
#endif
namespace {

using FileMap = std::map<std::string, Bytes>;

FileMap FilesIn(const TempDir& dir) {
  FileMap files;
  for (const std::string& name : dir.List()) {
    EXPECT_TRUE(ReadFileBytes(dir.File(name), &files[name])) << name;
  }
  return files;
}

std::string ToolPath() { return TestedExecutable(D88CUT_PATH); }

// A run of the real executable on `path`, in `work`.
ProcessResult RunTool(const std::string& path, const TempDir& work,
                      ProcessOptions options = {}) {
  options.cwd = work.path();
  return RunProcess(ToolPath(), {ToolPath(), path}, options);
}

#ifndef _WIN32

// A run of the real executable in `work` on `image`, fed through a FIFO
// made in `inputs`.
ProcessResult RunOnFifo(const Bytes& image, const TempDir& inputs,
                        const TempDir& work, ProcessOptions options = {}) {
  const std::string fifo = inputs.File("fifo");
  EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer = FeedFifo(fifo, image.data(), image.size());
  const ProcessResult r = RunTool(fifo, work, options);
  writer.join();
  return r;
}

// --- Pipes and FIFOs ---------------------------------------------------------

TEST(PipeInputTest, PipeAndFifoGiveWhatTheFileGives) {
  // The damaged sample too: warnings and zero-filled files must match.
  for (const Bytes& image : {BuildDemoImage(), BuildDamagedDemoImage()}) {
    TempDir inputs;
    TempDir from_file;
    ASSERT_TRUE(WriteFileBytes(inputs.File("in.d88"), image));
    const ProcessResult file_run = RunTool(inputs.File("in.d88"), from_file);
    ASSERT_FALSE(file_run.out.empty());

    TempDir from_pipe;
    ProcessOptions options;
    options.stdin_pipe = true;
    options.stdin_bytes.assign(image.begin(), image.end());
    const ProcessResult pipe_run = RunTool("/dev/stdin", from_pipe, options);
    EXPECT_EQ(pipe_run.exit_code, file_run.exit_code);
    EXPECT_EQ(pipe_run.out, file_run.out);
    EXPECT_EQ(pipe_run.err, file_run.err);
    EXPECT_EQ(FilesIn(from_pipe), FilesIn(from_file));

    TempDir from_fifo;
    const ProcessResult fifo_run = RunOnFifo(image, inputs, from_fifo);
    EXPECT_EQ(fifo_run.exit_code, file_run.exit_code);
    EXPECT_EQ(fifo_run.out, file_run.out);
    EXPECT_EQ(fifo_run.err, file_run.err);
    EXPECT_EQ(FilesIn(from_fifo), FilesIn(from_file));
  }
}

TEST(PipeInputTest, FifoNamedLikeAnOutputIsKept) {
  // The input is the FIFO named PROG in the working directory: the output
  // PROG would replace it.
  const Bytes image = BuildDemoImage();
  TempDir work;
  const std::string fifo = work.File("PROG");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer = FeedFifo(fifo, image.data(), image.size());
  const ProcessResult r = RunTool("PROG", work);
  writer.join();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: PROG: is the input file, not replaced\n");
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(work.List().size(), 10u);  // PROG and the nine files
}

TEST(PipeInputTest, PipeThatCannotBeStoredFailsLoudly) {
  TempDir work;
  ProcessOptions options;
  options.stdin_pipe = true;
  const Bytes image = BuildDemoImage();
  options.stdin_bytes.assign(image.begin(), image.end());
  options.env = {"TMPDIR=/nonexistent-d88cut-dir"};
  const ProcessResult r = RunTool("/dev/stdin", work, options);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "error: /dev/stdin: cannot keep the piped input in a temporary "
            "file in /nonexistent-d88cut-dir: No such file or "
            "directory\n");
  EXPECT_TRUE(work.List().empty());
}

#ifdef PRELOAD_SHIM_PATH

// Failures the system rarely shows, made by the preloaded shim. Under
// AddressSanitizer the shim's allocator and the sanitizer's would clash.
class PreloadedFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the shim cannot be preloaded under AddressSanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the shim cannot be preloaded under AddressSanitizer";
#endif
#endif
  }
};

TEST_F(PreloadedFailureTest, SignalWhileTheCopyHasANameLeavesNoFile) {
  // Where unnamed files cannot be made, the copy of a pipe has a name for
  // a moment, during which a SIGTERM arrives.
  TempDir tmp;
  TempDir work;
  ProcessOptions options;
  options.stdin_pipe = true;
  const Bytes image = BuildDemoImage();
  options.stdin_bytes.assign(image.begin(), image.end());
  options.env = {"LD_PRELOAD=" PRELOAD_SHIM_PATH, "D88TEST_NO_TMPFILE=1",
                 "TMPDIR=" + tmp.path()};
  const ProcessResult r = RunTool("/dev/stdin", work, options);
  EXPECT_EQ(r.term_signal, SIGTERM);
  EXPECT_TRUE(tmp.List().empty());
  EXPECT_TRUE(work.List().empty());
}

TEST_F(PreloadedFailureTest, FailedAllocationGivesTheMessageAndTheReason) {
  TempDir inputs;
  TempDir work;
  const std::string path = inputs.File("demo.d88");
  ASSERT_TRUE(WriteFileBytes(path, BuildDemoImage()));
  const ProcessResult missing = RunTool(inputs.File("missing.d88"), work);
  ASSERT_EQ(missing.exit_code, 1);
  ProcessOptions options;
  options.env = {"LD_PRELOAD=" PRELOAD_SHIM_PATH,
                 "D88TEST_CALLOC_LIMIT=262144"};
  const ProcessResult r = RunTool(path, work, options);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            missing.err + "error: " + path + ": Cannot allocate memory\n");
}

#endif  // PRELOAD_SHIM_PATH

TEST(PipeInputTest, ClosedStandardDescriptorsTakeNoFileData) {
  // A listing of many lines, then a file, a megabyte on, whose sectors the
  // image cuts short: its missing bytes are read past the end of the stored
  // copy of the FIFO, where the listing must not have gone.
  GameDiskBuilder disk('1');
  for (int k = 2; k < 362; ++k) {
    disk.SetEntry(k, {2, 0, 0x0100, 0x0400, 0, 0x3000});
  }
  for (int track = 0; track < 126; ++track) disk.SectorAt(track * 8);
  const Bytes contents(2048, 0xA5);
  disk.AddFile(362, 1000, contents);
  Bytes image = disk.Build();
  const auto at = std::find_end(image.begin(), image.end(), contents.begin(),
                                contents.begin() + 1000);
  ASSERT_NE(at, image.end());
  image.resize(static_cast<size_t>(at - image.begin()) + 100);
  TempDir inputs;
  TempDir from_file;
  ASSERT_TRUE(WriteFileBytes(inputs.File("in.d88"), image));
  const ProcessResult file_run = RunTool(inputs.File("in.d88"), from_file);
  ASSERT_NE(file_run.err.find("warning: 362: "), std::string::npos);

  TempDir from_fifo;
  ProcessOptions options;
  options.closed = {0, 1};
  const ProcessResult r = RunOnFifo(image, inputs, from_fifo, options);
  EXPECT_EQ(r.exit_code, file_run.exit_code);
  EXPECT_EQ(r.err, file_run.err);
  EXPECT_EQ(FilesIn(from_fifo), FilesIn(from_file));
}

// --- A listing whose reader goes away ----------------------------------------

TEST(ClosedListingTest, EveryFileIsWrittenWholeAfterHeadExits) {
  // Twenty disk-1 images, each listing 360 entries of disk 2 and writing
  // PROG, 002 and 003: a listing far larger than a pipe holds. The last
  // image's files are the ones left.
  Bytes file;
  GameDiskBuilder last('1');
  for (int i = 0; i < 20; ++i) {
    GameDiskBuilder disk('1');
    disk.AddFile(2, 0x0000, Pattern(1024, static_cast<uint32_t>(i)));
    disk.AddFile(3, 0x0001, Pattern(300, static_cast<uint32_t>(i + 100)));
    for (int k = 4; k < 364; ++k) {
      disk.SetEntry(k, {2, 0, 0x0100, 0x0400, 0, 0x3000});
    }
    Append(file, disk.Build());
    if (i == 19) last = disk;
  }
  TempDir inputs;
  TempDir work;
  ASSERT_TRUE(WriteFileBytes(inputs.File("many.d88"), file));
  ProcessOptions options;
  options.stdout_lines = 1;
  const ProcessResult r = RunTool(inputs.File("many.d88"), work, options);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: standard output: Broken pipe\n");
  const FileMap files = FilesIn(work);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files.at("PROG"), last.Prog());
  EXPECT_EQ(files.at("002"), Pattern(1024, 19));
  EXPECT_EQ(files.at("003"), Pattern(300, 119));
}

#else  // _WIN32

TEST(PipeInputTest, NamedPipeGivesWhatTheFileGives) {
  const Bytes image = BuildDemoImage();
  TempDir inputs;
  TempDir from_file;
  ASSERT_TRUE(WriteFileBytes(inputs.File("in.d88"), image));
  const ProcessResult file_run = RunTool(inputs.File("in.d88"), from_file);
  ASSERT_FALSE(file_run.out.empty());

  const std::string name =
      "\\\\.\\pipe\\d88cut-test-" + std::to_string(GetCurrentProcessId());
  const HANDLE pipe =
      CreateNamedPipeA(name.c_str(), PIPE_ACCESS_OUTBOUND,
                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  std::thread writer([&] {
    if (ConnectNamedPipe(pipe, nullptr) ||
        GetLastError() == ERROR_PIPE_CONNECTED) {
      size_t done = 0;
      while (done < image.size()) {
        DWORD put = 0;
        if (!WriteFile(pipe, image.data() + done,
                       static_cast<DWORD>(image.size() - done), &put,
                       nullptr)) {
          break;
        }
        done += put;
      }
      FlushFileBuffers(pipe);
    }
    CloseHandle(pipe);
  });
  TempDir from_pipe;
  const ProcessResult pipe_run = RunTool(name, from_pipe);
  writer.join();
  EXPECT_EQ(pipe_run.exit_code, file_run.exit_code);
  EXPECT_EQ(pipe_run.out, file_run.out);
  EXPECT_EQ(pipe_run.err, file_run.err);
  EXPECT_EQ(FilesIn(from_pipe), FilesIn(from_file));
}

#endif  // _WIN32

// --- Reads that fail ---------------------------------------------------------

#ifdef _WIN32
constexpr int kIoError = ERROR_CRC;
#else
constexpr int kIoError = EIO;
#endif

// Whether the listing `out` says that the file `name` was written: "PROG
// cutted." for PROG, an entry line that ends in " ...cutted." for the others.
bool Announced(const std::string& out, const std::string& name) {
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    if (name == "PROG"
            ? line == "PROG cutted."
            : line.rfind(name + " : ", 0) == 0 && line.size() >= 11 &&
                  line.substr(line.size() - 11) == " ...cutted.") {
      return true;
    }
    start = end + 1;
  }
  return false;
}

class ReadErrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFileBytes(inputs_.File("demo.d88"), BuildDemoImage()));
  }
  void TearDown() override { d88test::FailInputReads(0, 0); }

  // d88cut in this process on the sample image, in a fresh directory, with
  // `count` reads of the input failing from the `k`-th on (none for 0).
  ProcessResult RunWithFailure(int64_t k, int64_t count, FileMap* files) {
    TempDir work;
    d88test::FailInputReads(k, kIoError, count);
    const ProcessResult r = RunInProcess(
        RunD88Cut, {"d88cut", inputs_.File("demo.d88")}, work.path());
    d88test::FailInputReads(0, 0);
    *files = FilesIn(work);
    return r;
  }

  // The error line that ends a run with a failed read.
  std::string ErrorLine() const {
    return "error: " + inputs_.File("demo.d88") + ": ";
  }

  TempDir inputs_;
};

TEST_F(ReadErrorTest, EveryFailedReadFailsTheRunOnceAndSparesTheRest) {
  FileMap sound;
  const ProcessResult clean = RunWithFailure(0, 0, &sound);
  ASSERT_EQ(clean.exit_code, 0);
  ASSERT_EQ(sound.size(), 10u);
  std::string clean_out;
  ASSERT_TRUE(ConsoleText(clean.out, &clean_out));

  // Three reads in a row fail, as on a bad spot of a disk, from each read
  // of a run on; the run has far fewer than 60 reads.
  int failed_runs = 0;
  for (int64_t k = 1; k <= 60; ++k) {
    SCOPED_TRACE("read " + std::to_string(k));
    FileMap files;
    const ProcessResult r = RunWithFailure(k, 3, &files);
    std::string out;
    std::string err;
    EXPECT_TRUE(ConsoleText(r.out, &out));
    EXPECT_TRUE(ConsoleText(r.err, &err));
    if (r.exit_code == 0) {
      // Only reads ahead of what the run needed failed.
      EXPECT_EQ(out, clean_out);
      EXPECT_EQ(err, "");
      EXPECT_EQ(files, sound);
      continue;
    }
    ++failed_runs;
    ASSERT_EQ(r.exit_code, 1);
    // One error line, the last, naming the input.
    const size_t at = err.rfind(ErrorLine());
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_EQ(err.find(ErrorLine()), at);
    EXPECT_EQ(err.find('\n', at), err.size() - 1) << err;
    // A file is written exactly when its line says so, and is either what a
    // sound run writes or said to be incomplete.
    for (const auto& [name, bytes] : sound) {
      const bool announced = Announced(out, name);
      ASSERT_EQ(files.count(name), announced ? 1u : 0u) << name << "\n" << out;
      if (announced && files.at(name) != bytes) {
        EXPECT_NE(err.find("warning: " + name + ": "), std::string::npos)
            << name;
      }
    }
    EXPECT_LE(files.size(), sound.size());
  }
  EXPECT_GT(failed_runs, 5);
}

TEST_F(ReadErrorTest, LostImageHeaderStillExtractsTheOtherDisk) {
  // The second read of a run is the header of the second image: disk 2 is
  // lost, disk 1 comes out whole.
  FileMap sound;
  const ProcessResult clean = RunWithFailure(0, 0, &sound);
  FileMap files;
  const ProcessResult r = RunWithFailure(2, 1, &files);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(files, sound);
  const std::string disk2 = "Disk 2 ";  // the last line recognises disk 2
  ASSERT_NE(clean.out.rfind(disk2), std::string::npos);
  EXPECT_EQ(r.out, clean.out.substr(0, clean.out.rfind(disk2)));
  EXPECT_EQ(r.err.rfind(ErrorLine(), 0), 0u) << r.err;

  // The first read is the first header: nothing at all is found.
  const ProcessResult none = RunWithFailure(1, 1, &files);
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_TRUE(files.empty());
  EXPECT_EQ(none.err.rfind(ErrorLine(), 0), 0u) << none.err;
}

// --- An input whose identity is unknown -------------------------------------

TEST(InputIdentityTest, UnknownIdentityReplacesNoExistingFile) {
  // The input might be any existing file of an output name, here PROG.
  TempDir inputs;
  ASSERT_TRUE(WriteFileBytes(inputs.File("demo.d88"), BuildDemoImage()));
  TempDir sound;
  const ProcessResult clean = RunInProcess(
      RunD88Cut, {"d88cut", inputs.File("demo.d88")}, sound.path());
  ASSERT_EQ(clean.exit_code, 0);

  TempDir work;
  const Bytes old = Pattern(100, 1);
  ASSERT_TRUE(WriteFileBytes(work.File("PROG"), old));
  HideInputIdentityForTesting(true);
  const ProcessResult r =
      RunInProcess(RunD88Cut, {"d88cut", inputs.File("demo.d88")}, work.path());
  HideInputIdentityForTesting(false);
  EXPECT_EQ(r.exit_code, 1);
  std::string out;
  std::string err;
  EXPECT_TRUE(ConsoleText(r.out, &out));
  EXPECT_TRUE(ConsoleText(r.err, &err));
  EXPECT_EQ(err,
            "error: PROG: the input file's identity is unknown, not "
            "replaced\n");
  EXPECT_FALSE(Announced(out, "PROG"));
  FileMap expected = FilesIn(sound);
  expected["PROG"] = old;
  EXPECT_EQ(FilesIn(work), expected);
}

}  // namespace
}  // namespace cut
