// Fuzz target for the D88 reader: the input is a script of D88Image calls and
// the file they run on (fuzz/reader_script.h). Every result and buffer is
// compared with a model of the reader, and so are lookups all over the
// file; a difference aborts.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/reader_script.h"

namespace {

constexpr size_t kLookupsPerInput = 1000;

std::string g_path;
int g_report = 2;  // standard error as it was before -close_fd_mask

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_report = dup(2);
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  g_path = std::string(dir) + "/d88-reader-fuzz-" + std::to_string(getpid()) +
           ".d88";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const d88test::ReaderScript script = d88test::ParseReaderScript(data, size);
  std::string problem = d88test::RunReaderScript(script, g_path);
  // Then lookups all over the file, which must agree with a plain walk; a
  // budget keeps each input quick.
  if (problem.empty()) {
    problem =
        d88test::CompareEveryLookup(script.file, g_path, kLookupsPerInput);
  }
  std::remove(g_path.c_str());
  if (!problem.empty()) {
    const std::string line = "reader check failed: " + problem + "\n";
    if (write(g_report, line.data(), line.size()) < 0) std::abort();
    std::abort();
  }
  return 0;
}
