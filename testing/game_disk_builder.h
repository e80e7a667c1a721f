// Builds images of the game's disks for tests, the sample image and
// benchmarks: tracks of eight 1024-byte sectors, the signature sector, PROG
// and the directory at their fixed places.

#ifndef TESTING_GAME_DISK_BUILDER_H_
#define TESTING_GAME_DISK_BUILDER_H_

#include <cstdint>

#include "game/game_layout.h"
#include "testing/d88_builder.h"

namespace d88test {

struct DirectoryEntryFields {
  uint8_t disk = 1;
  uint8_t reserved = 0;
  uint16_t start = 0;
  uint16_t size = 0;
  uint16_t load_offset = 0;
  uint16_t load_segment = 0;
};

class GameDiskBuilder {
 public:
  // A 2HD disk with the signature sector naming `disk_char`. For disk '1' it
  // also holds PROG (patterned bytes) with an empty directory.
  explicit GameDiskBuilder(uint8_t disk_char);

  // The data of the sector at linear position `index` (track * 8 + R - 1).
  // The sector's whole track is created on first use, each sector filled
  // with a pattern of its own.
  Bytes& SectorAt(int32_t index);
  // The record of that sector, to set its header fields.
  TrackSector& RecordAt(int32_t index);
  Bytes& RecordData(int32_t record) {
    return SectorAt(record + game::kRecordBase);
  }

  // Writes `bytes` into consecutive sectors from record `record`, byte
  // `offset` on.
  void WriteAtRecord(int32_t record, size_t offset, const Bytes& bytes);

  // Sets directory entry `k` (2 to 364) inside PROG's last sectors.
  void SetEntry(int32_t k, const DirectoryEntryFields& entry);

  // Sets entry `k` for a file on disk 1 and writes `contents` to its
  // sectors; the size field is the length of `contents`.
  void AddFile(int32_t k, uint16_t start, const Bytes& contents,
               uint16_t load_offset = 0, uint16_t load_segment = 0);

  // Removes the record R `r` of track `track`, or the whole track.
  void RemoveSector(int32_t track, int32_t r);
  void RemoveTrack(int32_t track);

  // PROG's bytes as the disk holds them, directory included.
  Bytes Prog();

  ImageBuilder& image() { return image_; }
  Bytes Build() const { return image_.Build(); }

 private:
  ImageBuilder image_;
};

}  // namespace d88test

#endif  // TESTING_GAME_DISK_BUILDER_H_
