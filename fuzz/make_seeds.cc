// Writes the fuzz targets' seed corpora: DIR/tool holds D88 files, DIR/reader
// holds reader scripts over the same files, DIR/paste the same files after
// an edit seed. Further D88 files named on the command line (the sample
// image) join them all.

#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/seeds.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [FILE.d88 ...]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::vector<d88test::Seed> files = d88test::ToolSeeds();
  for (int i = 2; i < argc; ++i) {
    d88test::Seed seed{std::filesystem::path(argv[i]).filename().string(), {}};
    if (!d88test::ReadFileBytes(argv[i], &seed.bytes)) {
      std::perror(argv[i]);
      return 1;
    }
    files.push_back(seed);
  }

  struct Corpus {
    const char* name;
    std::vector<d88test::Seed> seeds;
  };
  // d88paste's target: each file after the four bytes of an edit seed,
  // once unedited and once edited.
  std::vector<d88test::Seed> paste;
  for (const d88test::Seed& file : files) {
    for (const uint8_t seed : {uint8_t{0}, uint8_t{7}}) {
      d88test::Seed s{file.name + "." + std::to_string(seed), {seed, 0, 0, 0}};
      s.bytes.insert(s.bytes.end(), file.bytes.begin(), file.bytes.end());
      paste.push_back(s);
    }
  }
  const Corpus corpora[] = {{"tool", files},
                            {"reader", d88test::ReaderSeeds(files)},
                            {"paste", paste}};
  for (const Corpus& corpus : corpora) {
    const std::filesystem::path sub = dir / corpus.name;
    std::error_code ec;
    std::filesystem::remove_all(sub, ec);
    std::filesystem::create_directories(sub, ec);
    for (const d88test::Seed& seed : corpus.seeds) {
      const std::string path = (sub / seed.name).string();
      if (!d88test::WriteFileBytes(path, seed.bytes)) {
        std::perror(path.c_str());
        return 1;
      }
    }
  }
  return 0;
}
