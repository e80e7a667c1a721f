// d88info where input and output are not plain files: an image read from a
// pipe, standard output that cannot be written, and reads that fail.

#include <gtest/gtest.h>

#include <string>

#include "d88/input_file.h"
#include "info/d88info.h"
#include "testing/d88_builder.h"
#include "testing/demo_image.h"
#include "testing/failing_reads.h"
#include "testing/in_process.h"
#include "testing/run_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

namespace info {

using d88test::ConsoleText;
using d88test::RunInProcess;

using d88test::BuildDamagedDemoImage;
using d88test::BuildDemoImage;
using d88test::Bytes;
using d88test::ProcessOptions;
using d88test::ProcessResult;
using d88test::ReadFileBytes;
using d88test::TempDir;
using d88test::TestedExecutable;
using d88test::WriteFileBytes;
namespace {

std::string ToolPath() { return TestedExecutable(D88INFO_PATH); }

#ifdef _WIN32
constexpr int kIoError = ERROR_CRC;
#else
constexpr int kIoError = EIO;
#endif

class D88InfoIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFileBytes(File(), BuildDamagedDemoImage()));
  }
  void TearDown() override { d88test::FailInputReads(0, 0); }

  std::string File() const { return inputs_.File("damaged.d88"); }

  // d88info in this process on the file, with its `k`-th read failing (none
  // for 0); the account as console text.
  ProcessResult RunWithFailedRead(int64_t k, const char* option = nullptr) {
    std::vector<std::string> argv = {"d88info"};
    if (option != nullptr) argv.push_back(option);
    argv.push_back(File());
    d88test::FailInputReads(k, kIoError);
    ProcessResult r = RunInProcess(RunD88Info, argv, work_.path());
    d88test::FailInputReads(0, 0);
    EXPECT_TRUE(ConsoleText(r.out, &r.out));
    return r;
  }

  ProcessResult Run(const std::vector<std::string>& args,
                    ProcessOptions options = {}) {
    std::vector<std::string> argv = {ToolPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    options.cwd = work_.path();
    return RunProcess(ToolPath(), argv, options);
  }

  TempDir inputs_;
  TempDir work_;
};

#ifndef _WIN32

TEST_F(D88InfoIoTest, PipeGivesTheAccountOfTheFile) {
  Bytes image;
  ASSERT_TRUE(ReadFileBytes(File(), &image));
  for (const char* option : {"", "--check"}) {
    SCOPED_TRACE(option);
    std::vector<std::string> args;
    if (option[0] != '\0') args.push_back(option);
    std::vector<std::string> from_file = args;
    from_file.push_back(File());
    const ProcessResult file_run = Run(from_file);
    ASSERT_FALSE(file_run.out.empty());

    ProcessOptions options;
    options.stdin_pipe = true;
    options.stdin_bytes.assign(image.begin(), image.end());
    args.push_back("/dev/stdin");
    const ProcessResult pipe_run = Run(args, options);
    EXPECT_EQ(pipe_run.exit_code, file_run.exit_code);
    EXPECT_EQ(pipe_run.out, file_run.out);
    EXPECT_EQ(pipe_run.err, file_run.err);
  }
}

TEST_F(D88InfoIoTest, StreamLongerThanCanBeReadHasNoAccount) {
  // A character device is a stream; this one never ends.
  const ProcessResult r = Run({"/dev/zero"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "d88info: cannot read /dev/zero: the piped input is longer than "
            "the 268435456 bytes that can be read from it\n");
}

TEST_F(D88InfoIoTest, UnwritableOutputGivesStatusTwo) {
  ProcessOptions options;
  options.stdout_path = "/dev/full";
  for (const char* option : {"--help", "--check"}) {
    SCOPED_TRACE(option);
    const ProcessResult r = Run({option, File()}, options);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "error: standard output: No space left on device\n");
  }
  const ProcessResult r = Run({File()}, options);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "error: standard output: No space left on device\n");
}

#endif  // _WIN32

TEST_F(D88InfoIoTest, FailedReadIsReportedAndGivesStatusTwo) {
  ASSERT_EQ(RunWithFailedRead(0).exit_code, 0);
  // The second read is the second image's header.
  const ProcessResult r = RunWithFailedRead(2);
  EXPECT_EQ(r.exit_code, 2);
  const std::string& out = r.out;
  EXPECT_EQ(out.rfind("File: 103312 bytes, 1 image\n", 0), 0u) << out;
  const std::string last = "\nRead error: ";
  ASSERT_NE(out.rfind(last), std::string::npos) << out;
  const std::string end = "; the account above is incomplete.\n";
  ASSERT_GE(out.size(), end.size());
  EXPECT_EQ(out.substr(out.size() - end.size()), end);
#ifndef _WIN32
  EXPECT_EQ(out.substr(out.rfind(last)),
            "\nRead error: Input/output error; the account above is "
            "incomplete.\n");
#endif
}

TEST_F(D88InfoIoTest, FailedFirstReadGivesNoVerdictOnTheFile) {
  // The first read is the first image's header; without it the file would
  // look too short to be a D88 file.
  const ProcessResult r = RunWithFailedRead(1);
  EXPECT_EQ(r.exit_code, 2);
  const std::string& out = r.out;
  EXPECT_EQ(out.find("not a D88 file"), std::string::npos) << out;
  EXPECT_EQ(out.rfind("File: 103312 bytes, 0 images\n", 0), 0u) << out;
  EXPECT_NE(out.find("\nRead error: "), std::string::npos) << out;
}

TEST_F(D88InfoIoTest, CheckWithAFailedReadGivesNoVerdict) {
  // The check of a sound image is complete; with a failed read anywhere, it
  // ends with the read error alone, never with a verdict on the whole.
  ASSERT_TRUE(WriteFileBytes(File(), BuildDemoImage()));
  const ProcessResult clean = RunWithFailedRead(0, "--check");
  ASSERT_EQ(clean.exit_code, 0);
  ASSERT_NE(clean.out.find("\nEverything is complete.\n"), std::string::npos);
  int failed_runs = 0;
  for (int64_t k = 1; k <= 40; ++k) {
    SCOPED_TRACE("read " + std::to_string(k));
    const ProcessResult r = RunWithFailedRead(k, "--check");
    if (r.exit_code == 0) {
      EXPECT_EQ(r.out, clean.out);  // only reads ahead failed
      continue;
    }
    ++failed_runs;
    EXPECT_EQ(r.exit_code, 2);
    const std::string& out = r.out;
    EXPECT_EQ(out.find("Everything is complete."), std::string::npos) << out;
    EXPECT_EQ(out.find("No disk 1 of the game found."), std::string::npos)
        << out;
    EXPECT_EQ(out.find("\n\n\n"), std::string::npos) << out;
    const size_t at = out.find("\nRead error: ");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.find('\n', at + 1), out.size() - 1) << out;
  }
  EXPECT_GT(failed_runs, 2);
}

}  // namespace
}  // namespace info
