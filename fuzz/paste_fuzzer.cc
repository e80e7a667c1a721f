// Fuzz target for d88paste: the input's first four bytes choose the edits
// (little-endian; 0 edits nothing), the rest is a D88 file. d88cut's files
// of it, edited, go back with d88paste in this process, in a private
// directory, and the result must be a refusal or exactly the edit
// (fuzz/paste_round_trip.h).
//
// Run it with -close_fd_mask=3 and an absolute -artifact_prefix, as the
// tool's target.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/paste_round_trip.h"
#include "fuzz/private_dir.h"

namespace {

std::string g_root;  // private directory, removed at exit
int g_report = 2;    // standard error as it was before -close_fd_mask

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_report = dup(2);
  g_root = d88test::MakePrivateDirectory("d88paste-fuzz");
  if (g_root.empty()) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t seed = uint32_t{data[0]} | uint32_t{data[1]} << 8 |
                        uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
  const std::string dir = g_root + "/run";
  std::error_code ec;
  std::filesystem::create_directory(dir, ec);
  bool round_trip = false;
  const std::string problem = d88test::CheckPasteRoundTrip(
      d88test::Bytes(data + 4, data + size), seed, dir, &round_trip);
  if (!problem.empty()) {
    const std::string line = "paste check failed: " + problem + "\n";
    if (write(g_report, line.data(), line.size()) < 0) std::abort();
    std::abort();
  }
  std::filesystem::remove_all(dir, ec);
  return 0;
}
