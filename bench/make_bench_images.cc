// Writes the benchmark inputs full.d88, many.d88 and worst.d88 into a
// directory.

#include <cstdio>
#include <string>

#include "bench/bench_images.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  std::string failed;
  if (!d88test::WriteBenchImages(argv[1], &failed)) {
    std::perror(failed.c_str());
    return 1;
  }
  return 0;
}
