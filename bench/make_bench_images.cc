// Writes the benchmark inputs full.d88, many.d88 and worst.d88 into a
// directory; with --long, the sparse files long.d88, chained-long.d88,
// chained-starts.d88, spread-counts.d88 and two-runs.d88 instead
// (bench/bench_images.h).

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_images.h"

int main(int argc, char** argv) {
  const bool long_walks = argc == 3 && std::strcmp(argv[1], "--long") == 0;
  if (argc != 2 && !long_walks) {
    std::fprintf(stderr, "usage: %s [--long] DIRECTORY\n", argv[0]);
    return 2;
  }
  std::string failed;
  if (long_walks) {
    const std::string dir = argv[2];
    const struct {
      const char* name;
      d88test::ChainedImagesShape shape;
    } files[] = {{"/long.d88", d88test::LongWalkShape()},
                 {"/chained-long.d88", d88test::ChainedLongWalkShape()},
                 {"/chained-starts.d88", d88test::ChainedStartsLongWalkShape()},
                 {"/spread-counts.d88", d88test::SpreadCountsLongWalkShape()},
                 {"/two-runs.d88", d88test::TwoRunsLongWalkShape()}};
    for (const auto& file : files) {
      if (!d88test::WriteSparseChainedImages(dir + file.name, file.shape)) {
        failed = dir + file.name;
        break;
      }
    }
  } else {
    d88test::WriteBenchImages(argv[1], &failed);
  }
  if (!failed.empty()) {
    std::perror(failed.c_str());
    return 1;
  }
  return 0;
}
