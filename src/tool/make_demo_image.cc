// Writes the sample image: an invented disk 1 and disk 2 of the game in one
// D88 file.

#include <cstdio>

#include "tool/demo_image.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.d88\n", argv[0]);
    return 2;
  }
  if (!d88::WriteFileBytes(argv[1], d88::BuildDemoImage())) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
