// Bytes in memory read exactly as a file holding them, on every seed of the
// fuzz targets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "d88/d88_image.h"
#include "fuzz/seeds.h"
#include "testing/d88_builder.h"
#include "testing/run_process.h"

namespace d88test {
namespace {

using d88::D88Image;
using d88::SectorHeader;

// Everything the reader tells of what it has open: each image's fields,
// and for every track its IDs, its walk and the data of each record the
// walk visits.
std::string Transcript(D88Image& image) {
  std::string out = "size " + std::to_string(image.GetFileSize()) + " images " +
                    std::to_string(image.GetImageCount()) + "\n";
  // The first records of long walks tell as much as all of them.
  constexpr int32_t kHeaders = 64;
  std::vector<SectorHeader> headers(kHeaders);
  std::vector<uint8_t> buf(65536);
  for (int32_t i = 0; i < image.GetImageCount(); ++i) {
    if (!image.SelectImage(i)) {
      out += "unselectable\n";
      continue;
    }
    out += std::string(image.GetDiskName()) + " " +
           std::to_string(image.GetMediaType()) + " " +
           std::to_string(image.GetDiskSize()) + "\n";
    for (int32_t track = 0; track < d88::kTrackCount; ++track) {
      const int32_t ids = image.ReadTrackIds(track, buf.data(), 1024);
      out.append(buf.begin(), buf.begin() + ids);
      bool ended = false;
      const int32_t count =
          image.ReadTrackHeaders(track, headers.data(), kHeaders, &ended);
      out += std::to_string(count) + (ended ? " ended\n" : "\n");
      // Each lookup with another C, H or N walks the track whole.
      for (int32_t k = 0; k < count && k < 8; ++k) {
        const SectorHeader& h = headers[static_cast<size_t>(k)];
        const int32_t got =
            image.ReadSector(track, h.id, buf.data(), h.data_size);
        out += std::to_string(h.offset) + ":" + std::to_string(got) + " ";
        out.append(buf.begin(), buf.begin() + got);
      }
    }
  }
  return out;
}

TEST(MemoryReadsTest, MemoryAndFileReadsAgreeOnEverySeed) {
  TempDir dir;
  const std::vector<Seed> files = ToolSeeds();
  ASSERT_FALSE(files.empty());
  for (const Seed& seed : files) {
    SCOPED_TRACE(seed.name);
    const std::string path = dir.File("seed.d88");
    ASSERT_TRUE(WriteFileBytes(path, seed.bytes));
    D88Image from_file;
    ASSERT_TRUE(from_file.Open(path.c_str()));
    D88Image from_memory;
    ASSERT_TRUE(from_memory.OpenMemory(seed.bytes.data(), seed.bytes.size()));
    EXPECT_TRUE(Transcript(from_memory) == Transcript(from_file));
    EXPECT_EQ(from_memory.GetError(), nullptr);
  }
}

}  // namespace
}  // namespace d88test
