// Fuzz target for the D88 reader: the input is a script of D88Image calls and
// the file they run on (fuzz/reader_script.h). Every result and buffer is
// compared with a model of the reader; a difference aborts.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/reader_script.h"

namespace {

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
  const std::string problem =
      d88::RunReaderScript(d88::ParseReaderScript(data, size), g_path);
  std::remove(g_path.c_str());
  if (!problem.empty()) {
    const std::string line = "reader check failed: " + problem + "\n";
    if (write(g_report, line.data(), line.size()) < 0) std::abort();
    std::abort();
  }
  return 0;
}
