// Fuzz target for the whole tool: runs d88cut's recognition and extraction
// in this process on the input as a D88 file, in a private working
// directory, and checks that the run succeeded and left exactly the files
// that the image's directories call for (fuzz/expected_files.h).
//
// Run it with -close_fd_mask=3, which keeps the tool's console text out of
// the log, and with an absolute -artifact_prefix, since a crash inside the
// tool happens in the private directory.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cut/d88cut.h"
#include "fuzz/expected_files.h"
#include "testing/d88_builder.h"

namespace {

std::string g_root;   // private directory, removed at exit
std::string g_input;  // the input as a file, beside the working directory
std::string g_work;   // the tool's working directory
int g_home = -1;      // the fuzzer's own working directory
int g_report = 2;     // standard error as it was before -close_fd_mask

[[noreturn]] void Fail(const std::string& what) {
  const std::string line = "tool check failed: " + what + "\n";
  if (write(g_report, line.data(), line.size()) < 0) std::abort();
  std::abort();
}

void RemoveRoot() {
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_report = dup(2);
  std::string pattern =
      std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
      "/d88cut-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Fail("no temporary directory");
  g_root = pattern;
  g_input = g_root + "/input.d88";
  g_work = g_root + "/work";
  g_home = open(".", O_RDONLY | O_DIRECTORY);
  if (g_home < 0) Fail("cannot open the working directory");
  std::atexit(RemoveRoot);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!d88test::WriteFileBytes(g_input, d88test::Bytes(data, data + size))) {
    Fail("cannot write " + g_input);
  }
  const d88test::FileSet expected = d88test::ExpectedFiles(g_input);

  std::error_code ec;
  if (!std::filesystem::create_directory(g_work, ec) ||
      chdir(g_work.c_str()) != 0) {
    Fail("cannot enter " + g_work);
  }
  char program[] = "d88cut";
  std::string input = g_input;
  char* argv[] = {program, input.data(), nullptr};
  const int status = cut::RunD88Cut(2, argv);
  if (fchdir(g_home) != 0) Fail("cannot return to the working directory");

  if (status != 0) Fail("exit status " + std::to_string(status));
  const std::string problem = d88test::CompareWithDirectory(g_work, expected);
  if (!problem.empty()) Fail(problem);
  std::filesystem::remove_all(g_work, ec);
  return 0;
}
