#include "testing/chained_images.h"

#include <algorithm>

#include "game/game_layout.h"
#include "testing/game_disk_builder.h"

namespace d88test {

using d88::kImageHeaderSize;
using d88::kTrackCount;
using d88::SectorId;
using game::kFirstDirectoryEntry;
using game::kGameSectorsPerTrack;
using game::kProgRecord;
using game::kProgSector;
using game::kSignatureSector;

namespace {

// Every record claims the largest count, so that no count ends a walk.
constexpr uint16_t kNoEnd = 0xFFFF;

// Spread entries start between record 0 (track 1) and this one (track 163).
constexpr int32_t kLastSpreadRecord = 1296;

void AddRecord(TrackBuilder& records, SectorId id, Bytes data,
               uint16_t data_size) {
  records.AddSector(id, std::move(data));
  records.Last().count = kNoEnd;
  records.Last().data_size = data_size;
}

// The game's sectors that follow the block, with the directory set.
TrackBuilder GameSectors(const ChainedImagesShape& shape) {
  GameDiskBuilder disk('1');
  for (int32_t i = 0; i < shape.entries; ++i) {
    DirectoryEntryFields entry;
    entry.size = shape.entry_size;
    entry.start = static_cast<uint16_t>(
        shape.starts == 1 ? kProgRecord
                          : i * kLastSpreadRecord /
                                (shape.entries > 1 ? shape.entries - 1 : 1));
    disk.SetEntry(kFirstDirectoryEntry + i, entry);
  }
  const int32_t first = kProgSector.track;
  for (int32_t t = first; t < first + shape.file_tracks; ++t) {
    disk.SectorAt(t * kGameSectorsPerTrack);
  }
  TrackBuilder out;
  const auto add_track = [&](int32_t t, int32_t only_r) {
    for (const TrackSector& s : disk.image().Track(t).records()) {
      if (only_r != 0 && s.id.r != only_r) continue;
      AddRecord(out, s.id, s.data, static_cast<uint16_t>(s.data.size()));
    }
  };
  add_track(kSignatureSector.track, kSignatureSector.id.r);
  for (int32_t t = first; t < first + shape.file_tracks; ++t) add_track(t, 0);
  return out;
}

}  // namespace

int64_t ForEachChainedPiece(
    const ChainedImagesShape& shape,
    const std::function<void(int64_t offset, const Bytes& bytes)>& piece) {
  const int64_t image_size =
      static_cast<int64_t>(kImageHeaderSize) + 16 * int64_t{shape.starts};
  const int64_t block_start = image_size * shape.images;
  const int64_t record_size = 16 + int64_t{shape.block_gap};
  // A jump reaches at most 65,535 bytes: into a block of records with data,
  // every start enters at its first record.
  const int32_t entry_stride = shape.block_gap == 0 ? kChainedBlockStride : 0;
  Bytes images;
  for (int32_t k = 0; k < shape.images; ++k) {
    ImageBuilder image;
    image.SetName("CHAIN " + std::to_string(k));
    for (int32_t j = 0; j < shape.starts; ++j) {
      const int64_t here =
          image_size * k + static_cast<int64_t>(kImageHeaderSize) + 16 * j;
      // The next image's record j, or the block's record where start j
      // enters it.
      const int32_t entry = (j * entry_stride) % shape.block_records;
      const int64_t next =
          k + 1 < shape.images
              ? here + image_size
              : block_start +
                    record_size * (entry - entry % shape.runs + j % shape.runs);
      AddRecord(image.AddTrack(j), {0xFF, 0xFF, 0xFF, 0xFF}, Bytes{},
                static_cast<uint16_t>(next - here - 16));
    }
    for (int t = shape.starts; t < kTrackCount; ++t) {
      image.SetTrackOffset(
          t, static_cast<int64_t>(kImageHeaderSize) + 16 * (t % shape.starts));
    }
    Append(images, image.Build());
  }
  piece(0, images);

  // Distinct IDs that no lookup of the game asks for: head 2, N 0. Records
  // without data come in one piece.
  TrackBuilder block;
  for (int32_t i = 0; i < shape.block_records; ++i) {
    AddRecord(block,
              {static_cast<uint8_t>(i >> 8), 2, static_cast<uint8_t>(i), 0},
              Bytes{},
              static_cast<uint16_t>(
                  record_size *
                      std::min(shape.runs - 1, shape.block_records - 1 - i) +
                  shape.block_gap));
    // With one run, a walk from image k reaches record i at index
    // images - k + i.
    if (shape.spread_counts && i >= 1000) {
      block.Last().count = static_cast<uint16_t>(shape.images + 1 + i +
                                                 (i % 2 == 0 ? 1000 : -1000));
    }
    if (shape.block_gap != 0) {
      piece(block_start + record_size * i, BuildRecords(block));
      block = TrackBuilder();
    }
  }
  if (shape.block_gap == 0) piece(block_start, BuildRecords(block));
  const int64_t game_start = block_start + record_size * shape.block_records;
  const Bytes game = BuildRecords(GameSectors(shape));
  piece(game_start, game);
  return game_start + static_cast<int64_t>(game.size());
}

Bytes BuildChainedImages(const ChainedImagesShape& shape) {
  Bytes out;
  const int64_t size =
      ForEachChainedPiece(shape, [&out](int64_t offset, const Bytes& bytes) {
        out.resize(static_cast<size_t>(offset));
        Append(out, bytes);
      });
  out.resize(static_cast<size_t>(size));
  return out;
}

}  // namespace d88test
