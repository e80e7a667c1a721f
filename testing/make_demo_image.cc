// Writes the sample image: an invented disk 1 and disk 2 of the game in one
// D88 file; with --damaged, the same disks damaged.

#include <cstdio>
#include <cstring>

#include "testing/demo_image.h"

int main(int argc, char** argv) {
  const bool damaged = argc == 3 && std::strcmp(argv[1], "--damaged") == 0;
  if (argc != 2 && !damaged) {
    std::fprintf(stderr, "usage: %s [--damaged] OUTPUT.d88\n", argv[0]);
    return 2;
  }
  const char* path = argv[argc - 1];
  if (!d88test::WriteFileBytes(path, damaged ? d88test::BuildDamagedDemoImage()
                                             : d88test::BuildDemoImage())) {
    std::perror(path);
    return 1;
  }
  return 0;
}
