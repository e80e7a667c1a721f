// Lists the disk images of a D88 file with the d88 reader library:
//
//   list_images FILE.d88
//   list_images --version
//
// prints the number of images, then the index and name of each; or the
// version of the library it was built with.

#include <cstdio>
#include <cstring>

#include "d88/d88_image.h"
#include "d88/version.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list_images FILE.d88 | --version\n");
    return 2;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("d88 %s\n", D88_VERSION_STRING);
    return 0;
  }
  d88::D88Image image;
  if (!image.Open(argv[1])) {
    std::fprintf(stderr, "list_images: cannot open %s\n", argv[1]);
    return 1;
  }
  const int count = image.GetImageCount();
  std::printf("%d images\n", count);
  for (int i = 0; i < count; ++i) {
    if (!image.SelectImage(i)) return 1;
    std::printf("%d: %s\n", i, image.GetDiskName());
  }
  return 0;
}
