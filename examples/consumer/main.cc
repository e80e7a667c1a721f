// Lists the disk images of a D88 file with the d88 reader library:
//
//   list_images FILE.d88
//
// prints the version of the library it was built with, the number of images,
// then the index and name of each; then reads the same bytes from memory and
// says whether they list the same. When the file cannot be opened, says why.

#include <cstdio>
#include <string>
#include <vector>

#include "d88/d88_image.h"
#include "d88/version.h"

namespace {

// The listing of what `image` has open.
std::string List(d88::D88Image& image) {
  const int count = image.GetImageCount();
  std::string out = std::to_string(count) + " images\n";
  for (int i = 0; i < count; ++i) {
    if (!image.SelectImage(i)) return out + "cannot read image header\n";
    out += std::to_string(i) + ": " + image.GetDiskName() + "\n";
  }
  return out;
}

bool ReadWhole(const char* path, std::vector<unsigned char>* bytes) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  unsigned char buf[65536];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) {
    bytes->insert(bytes->end(), buf, buf + n);
  }
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: list_images FILE.d88\n");
    return 2;
  }
  std::printf("d88 library %s\n", D88_VERSION_STRING);
  d88::D88Image image;
  if (!image.Open(argv[1])) {
    std::fprintf(stderr, "list_images: cannot open %s: %s\n", argv[1],
                 image.GetError());
    return 1;
  }
  const std::string listed = List(image);
  std::fputs(listed.c_str(), stdout);

  // The same bytes, held in memory: the reader reads them in place.
  std::vector<unsigned char> bytes;
  if (!ReadWhole(argv[1], &bytes)) {
    std::fprintf(stderr, "list_images: cannot read %s\n", argv[1]);
    return 1;
  }
  d88::D88Image in_memory;
  if (!in_memory.OpenMemory(bytes.data(), bytes.size())) {
    std::fprintf(stderr, "list_images: %s\n", in_memory.GetError());
    return 1;
  }
  const bool same = List(in_memory) == listed;
  std::printf("from memory: %s\n", same ? "the same" : "different");
  return same ? 0 : 1;
}
