#include "fuzz/seeds.h"

#include <cstdint>

#include "fuzz/reader_script.h"
#include "game/game_layout.h"
#include "testing/chained_images.h"
#include "testing/game_disk_builder.h"

namespace d88test {

using d88::kImageHeaderSize;
using d88::kTrackCount;
using game::EntryOffset;
using game::kDirectoryRecord;
using game::kFirstDirectoryEntry;
using game::kLastDirectoryEntry;

namespace {

// Disk 1 with files that cross head and cylinder, end in a short chunk, are
// empty or lie on disk 2.
GameDiskBuilder Disk1WithFiles() {
  GameDiskBuilder disk('1');
  disk.AddFile(2, 0x0000, Pattern(0x0400, 2), 0x0100, 0x2000);
  disk.AddFile(3, 0x0005, Pattern(0x1000, 3), 0x0100, 0x2003);
  disk.AddFile(4, 0x000E, Pattern(0x0500, 4));
  DirectoryEntryFields elsewhere;
  elsewhere.disk = 2;
  elsewhere.start = 0x0100;
  elsewhere.size = 0x0800;
  disk.SetEntry(5, elsewhere);
  disk.AddFile(6, 0x0012, Bytes{});
  return disk;
}

Bytes Truncated(Bytes bytes, size_t size) {
  bytes.resize(size);
  return bytes;
}

std::vector<Seed> DamagedDisks() {
  std::vector<Seed> seeds;
  const Bytes whole = Disk1WithFiles().Build();
  // Cut inside PROG's middle track, and inside file 003's sectors.
  seeds.push_back(
      {"truncated_in_prog.d88", Truncated(whole, whole.size() - 9000)});
  seeds.push_back({"truncated_in_file.d88",
                   Truncated(whole, kImageHeaderSize + 8 * 1040 + 3000)});

  GameDiskBuilder absent = Disk1WithFiles();
  absent.RemoveTrack(67);
  absent.RemoveSector(1, 7);
  seeds.push_back({"absent_tracks.d88", absent.Build()});

  GameDiskBuilder counts = Disk1WithFiles();
  std::vector<TrackSector>& track1 = counts.image().Track(1).records();
  for (TrackSector& s : track1) s.count = 1000;
  track1[0].count = 3;
  for (TrackSector& s : counts.image().Track(2).records()) s.count = 0xFFFF;
  counts.image().Track(3).records()[1].count = 1;
  counts.image().Track(68).records()[4].count = 0;
  seeds.push_back({"disagreeing_counts.d88", counts.Build()});

  GameDiskBuilder negative = Disk1WithFiles();
  negative.image().SetDiskSize(-1);
  Bytes negative_file = negative.Build();
  Append(negative_file, GameDiskBuilder('2').Build());
  seeds.push_back({"negative_disk_size.d88", negative_file});

  GameDiskBuilder huge = Disk1WithFiles();
  huge.image().SetDiskSize(0x7FFFFFFF);
  huge.image().SetTrackOffset(3, 0x80000000LL);
  huge.image().Track(68).records().back().data_size = 0xFFFF;
  huge.SetEntry(7, {1, 0, 0xFFFF, 0xFFFF, 0, 0});
  seeds.push_back({"huge_sizes.d88", huge.Build()});

  // Indexed 64 times at offset 0, and too small to hold any track.
  GameDiskBuilder again('1');
  again.AddFile(2, 0x0000, Pattern(0x0400, 5));
  again.image().SetDiskSize(0);
  seeds.push_back({"disk_size_zero.d88", again.Build()});

  GameDiskBuilder full('1');
  for (int32_t k = kFirstDirectoryEntry; k <= kLastDirectoryEntry; ++k) {
    const bool here = k % 32 == 0;
    full.SetEntry(
        k, {static_cast<uint8_t>(here ? 1 : 2), 0,
            static_cast<uint16_t>(k % 24), static_cast<uint16_t>(k), 0, 0});
  }
  full.WriteAtRecord(kDirectoryRecord, EntryOffset(kLastDirectoryEntry + 1),
                     Bytes{9, 9, 9, 9});
  seeds.push_back({"no_terminator.d88", full.Build()});

  // Sectors whose IDs, data sizes and order differ from the game's.
  GameDiskBuilder ids = Disk1WithFiles();
  std::vector<TrackSector>& track2 = ids.image().Track(2).records();
  track2[1].id.n = 2;
  track2[2].id.c = 9;
  track2[3].id = track2[4].id;
  track2[5].data.resize(512);
  ids.SectorAt(5).resize(256);  // the signature sector
  seeds.push_back({"odd_sectors.d88", ids.Build()});
  return seeds;
}

// Images whose tracks all lead into one long block of records, small
// enough for the fuzzers' input length: one track start per image, and a
// start per track whose walks merge into the block at different records.
std::vector<Seed> ChainedImages() {
  ChainedImagesShape chained;
  chained.images = 16;
  chained.block_records = 2048;
  chained.file_tracks = 3;
  chained.entries = 16;
  chained.entry_size = 0x2000;
  ChainedImagesShape spread = chained;
  spread.images = 4;
  spread.starts = kTrackCount;
  spread.block_records = 4096;
  spread.entries = 32;
  // The long walks of bench/run scaled down: records followed by 16 KiB of
  // data, so that each header lies in a block of the file of its own, all
  // tracks of one image each walking them from a start of its own, and
  // images chained in front of them.
  ChainedImagesShape long_walk = chained;
  long_walk.images = 1;
  long_walk.starts = kTrackCount;
  long_walk.block_records = 24;
  long_walk.block_gap = 16384;
  ChainedImagesShape chained_long = long_walk;
  chained_long.images = 4;
  chained_long.starts = 1;
  // Counts in the block that end no walk but differ widely.
  ChainedImagesShape spread_counts = spread;
  spread_counts.spread_counts = true;
  return {{"chained_images.d88", BuildChainedImages(chained)},
          {"chained_spread.d88", BuildChainedImages(spread)},
          {"chained_spread_counts.d88", BuildChainedImages(spread_counts)},
          {"long_walk.d88", BuildChainedImages(long_walk)},
          {"chained_long_walk.d88", BuildChainedImages(chained_long)}};
}

ReaderCall Call(ReaderOp op, int32_t a0 = 0, int32_t a1 = 0, int32_t a2 = 0,
                int32_t a3 = 0, int32_t a4 = 0, int32_t a5 = 0) {
  return {op, {a0, a1, a2, a3, a4, a5}};
}

// The reads of the tool, and of the reader's other operations, on image 0.
std::vector<ReaderCall> GameScript() {
  using Op = ReaderOp;
  return {
      Call(Op::kSelectImage, 0),
      Call(Op::kSetSectorRange, 1, 8),
      Call(Op::kReadSectors, 0, 0, 0, 6, 3, 512),
      Call(Op::kReadSectors, 68, 34, 0, 2, 3, 4096),
      Call(Op::kReadSectors, 66, 33, 0, 7, 3, 15360),
      Call(Op::kReadSectors, 1, 0, 1, 2, 3, 0x1000),
      Call(Op::kReadSector, 2, 1, 0, 6, 3, 1024),
      Call(Op::kReadTrackIds, 1, 0, 0, 0, 0, 64),
      Call(Op::kReadTrackIds, 67, 0, 0, 0, 0, 10),
      Call(Op::kGetTrackOffset, 68),
      Call(Op::kSelectImage, 1),
      Call(Op::kReadSectors, 0, 0, 0, 6, 3, 512),
  };
}

std::vector<ReaderCall> HostileScript() {
  using Op = ReaderOp;
  return {
      Call(Op::kSelectImage, -1),
      Call(Op::kSelectImage, INT32_MAX),
      Call(Op::kSelectImage, 0),
      Call(Op::kReadSector, -1, 0, 0, 6, 3, 1024),
      Call(Op::kReadSector, 164, 0, 0, 6, 3, 1024),
      Call(Op::kReadSector, INT32_MIN, 0, 0, 6, 3, 1024),
      Call(Op::kReadSector, 0, 256, 0, 6, 3, 1024),
      Call(Op::kReadSector, 0, 0, 0, 6, 3, -5),
      Call(Op::kReadSectors, 66, 33, 0, 7, 255, 1024),
      Call(Op::kReadSectors, 66, 33, 0, 7, -1, 1024),
      Call(Op::kReadSectors, 66, 33, 0, 7, 24, 1024),
      Call(Op::kReadSectors, 66, 33, 0, 7, 23, INT32_MAX),
      Call(Op::kSetSectorRange, INT32_MIN, INT32_MAX),
      Call(Op::kReadSectors, 66, 33, 0, 7, 3, kMaxReadLength),
      Call(Op::kSetSectorRange, 8, 1),
      Call(Op::kReadSectors, 66, 33, 0, 1, 0, 65536),
      Call(Op::kReadTrackIds, 66, 0, 0, 0, 0, INT32_MIN),
      Call(Op::kReadTrackIds, 66, 0, 0, 0, 0, kMaxReadLength),
      Call(Op::kGetTrackOffset, INT32_MIN),
      Call(Op::kClose),
      Call(Op::kReadSectors, 0, 0, 0, 6, 3, 512),
      Call(Op::kSelectImage, 0),
      Call(Op::kOpen),
      Call(Op::kReadSector, 0, 0, 0, 6, 3, 1024),
  };
}

}  // namespace

std::vector<Seed> ToolSeeds() {
  std::vector<Seed> seeds;
  GameDiskBuilder minimal('1');
  minimal.AddFile(2, 0x0000, Pattern(0x0400, 1));
  seeds.push_back({"minimal_disk1.d88", minimal.Build()});
  seeds.push_back({"disk2.d88", GameDiskBuilder('2').Build()});

  Bytes two = Disk1WithFiles().Build();
  GameDiskBuilder later('1');
  later.AddFile(3, 0x0020, Pattern(0x0300, 9));
  Append(two, later.Build());
  Append(two, GameDiskBuilder('2').Build());
  seeds.push_back({"two_disk1.d88", two});

  ImageBuilder other;
  other.AddTrack(0).AddSector({0, 0, 6, 3}, Pattern(1024, 6));
  seeds.push_back({"not_the_game.d88", other.Build()});

  for (Seed& seed : DamagedDisks()) seeds.push_back(std::move(seed));
  for (Seed& seed : ChainedImages()) seeds.push_back(std::move(seed));
  return seeds;
}

std::vector<Seed> ReaderSeeds(const std::vector<Seed>& files) {
  std::vector<Seed> seeds;
  for (size_t i = 0; i < files.size(); ++i) {
    seeds.push_back({files[i].name + ".game",
                     EncodeReaderScript(GameScript(), files[i].bytes)});
    if (i % 3 == 0) {
      seeds.push_back({files[i].name + ".hostile",
                       EncodeReaderScript(HostileScript(), files[i].bytes)});
    }
  }
  return seeds;
}

}  // namespace d88test
