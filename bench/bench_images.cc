#include "bench/bench_images.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "game/game_layout.h"
#include "testing/chained_images.h"
#include "testing/game_disk_builder.h"

namespace d88test {

using d88::kTrackCount;
using game::kFirstDirectoryEntry;
using game::kGameCylinders;
using game::kGameSectorSize;
using game::kGameSectorsPerTrack;
using game::kLastDirectoryEntry;
using game::kProgRecord;
using game::kProgSize;
using game::kRecordBase;

namespace {

constexpr int32_t kDiskSectors = kGameCylinders * 2 * kGameSectorsPerTrack;

// Creates every track of the disk, each sector with a pattern of its own.
void FillAllTracks(GameDiskBuilder& disk) {
  for (int32_t i = 0; i < kDiskSectors; ++i) disk.SectorAt(i);
}

// A small fixed generator, so that the inputs are the same on every run.
uint32_t Next(uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

}  // namespace

Bytes BuildFullDisk() {
  GameDiskBuilder disk('1');
  disk.image().SetName("BENCH DISK 1");
  FillAllTracks(disk);

  // Files follow PROG back to back up to the last sector. Most take one or
  // two sectors, one in eight up to eight, as many as the 683 sectors after
  // PROG allow for 363 files; sizes that are not whole sectors end with a
  // short last chunk.
  const int32_t first = kProgRecord + kProgSize / kGameSectorSize;
  int32_t sectors_left = kDiskSectors - kRecordBase - first;
  int32_t start = first;
  uint32_t state = 6;
  for (int32_t k = kFirstDirectoryEntry; k <= kLastDirectoryEntry; ++k) {
    const int32_t files_left = kLastDirectoryEntry - k + 1;
    const uint32_t pick = Next(state);
    int32_t sectors = static_cast<int32_t>(pick % 8 == 0 ? 1 + (pick / 8) % 8
                                                         : 1 + (pick / 8) % 2);
    // Leave at least one and at most eight sectors for each later file.
    const int32_t most = sectors_left - (files_left - 1);
    const int32_t least = sectors_left - 8 * (files_left - 1);
    if (sectors > most) sectors = most;
    if (sectors < least) sectors = least;
    const size_t size =
        sectors == 1 ? size_t{kGameSectorSize}
                     : static_cast<size_t>(sectors - 1) * kGameSectorSize + 1 +
                           Next(state) % kGameSectorSize;
    disk.AddFile(k, static_cast<uint16_t>(start),
                 Pattern(size, static_cast<uint32_t>(k)), 0x0100,
                 static_cast<uint16_t>(0x2000 + k));
    start += sectors;
    sectors_left -= sectors;
  }
  return disk.Build();
}

Bytes BuildManyDisks() {
  Bytes out = BuildFullDisk();
  GameDiskBuilder disk2('2');
  disk2.image().SetName("BENCH DISK 2");
  FillAllTracks(disk2);
  const Bytes second = disk2.Build();
  for (int i = 1; i < kManyImageCount; ++i) Append(out, second);
  return out;
}

bool WriteBenchImages(const std::string& dir, std::string* failed) {
  const std::string full = dir + "/full.d88";
  if (!WriteFileBytes(full, BuildFullDisk())) {
    *failed = full;
    return false;
  }
  const std::string many = dir + "/many.d88";
  if (!WriteFileBytes(many, BuildManyDisks())) {
    *failed = many;
    return false;
  }
  const std::string worst = dir + "/worst.d88";
  if (!WriteFileBytes(worst, BuildChainedImages())) {
    *failed = worst;
    return false;
  }
  return true;
}

ChainedImagesShape LongWalkShape() {
  ChainedImagesShape shape;
  shape.images = 1;
  shape.starts = kTrackCount;
  shape.block_records = 64000;
  shape.block_gap = 16384;
  shape.entries = kLastDirectoryEntry - kFirstDirectoryEntry + 1;
  shape.entry_size = 0x0400;
  return shape;
}

ChainedImagesShape ChainedLongWalkShape() {
  ChainedImagesShape shape = LongWalkShape();
  shape.images = 64;
  shape.starts = 1;
  // Every image is a disk 1: few files keep the writing of 64 directories'
  // files from hiding the walks.
  shape.entries = 16;
  return shape;
}

ChainedImagesShape ChainedStartsLongWalkShape() {
  ChainedImagesShape shape = ChainedLongWalkShape();
  shape.starts = kTrackCount;
  return shape;
}

ChainedImagesShape SpreadCountsLongWalkShape() {
  ChainedImagesShape shape = ChainedStartsLongWalkShape();
  shape.spread_counts = true;
  return shape;
}

ChainedImagesShape TwoRunsLongWalkShape() {
  ChainedImagesShape shape = ChainedStartsLongWalkShape();
  shape.runs = 2;
  return shape;
}

bool WriteSparseChainedImages(const std::string& path,
                              const ChainedImagesShape& shape) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  const int64_t size =
      ForEachChainedPiece(shape, [&](int64_t offset, const Bytes& bytes) {
        if (ok && pwrite(fd, bytes.data(), bytes.size(), offset) !=
                      static_cast<ssize_t>(bytes.size())) {
          ok = false;
        }
      });
  ok = ok && ftruncate(fd, size) == 0;
  return close(fd) == 0 && ok;
}

}  // namespace d88test
