// Fixed layout of the game's disks: where the signature, the program PROG
// and the directory lie, and how a directory record number maps to a sector.
//
// The disks are double-sided with eight 1024-byte sectors (N 3) per track,
// numbered 1 to 8; track index = cylinder * 2 + head.

#ifndef GAME_GAME_LAYOUT_H_
#define GAME_GAME_LAYOUT_H_

#include <cstddef>
#include <cstdint>

#include "d88/d88_format.h"

namespace game {

constexpr int32_t kGameFirstSector = 1;
constexpr int32_t kGameLastSector = 8;
constexpr int32_t kGameSectorsPerTrack = 8;
constexpr int32_t kGameSizeCode = 3;
constexpr int32_t kGameSectorSize = 1024;
constexpr int32_t kGameCylinders = 77;

// A sector of a game disk: its track index and its ID.
struct GamePosition {
  int32_t track;
  d88::SectorId id;
};

// The sector at linear position `index` (track * 8 + R - 1). Beyond
// cylinder 255 the cylinder no longer fits the ID; such a track lies far
// past the disk's 164 tracks and is never read.
constexpr GamePosition GamePositionAt(int32_t index) {
  const int32_t track = index / kGameSectorsPerTrack;
  return {track,
          {static_cast<uint8_t>(track / 2), static_cast<uint8_t>(track % 2),
           static_cast<uint8_t>(index % kGameSectorsPerTrack + 1),
           static_cast<uint8_t>(kGameSizeCode)}};
}

// Directory record numbers count from linear sector 9 (track 1, R 2).
constexpr int32_t kRecordBase = 9;
constexpr GamePosition RecordSector(int32_t record) {
  return GamePositionAt(record + kRecordBase);
}

// Signature sector: its first 512 bytes hold "GAME" at offset 1 and the disk
// character ('1' for the first disk) at offset 5.
constexpr GamePosition kSignatureSector = {0, {0, 0, 6, kGameSizeCode}};
constexpr int32_t kSignatureReadSize = 512;
constexpr size_t kSignatureOffset = 1;
constexpr char kSignature[] = {'G', 'A', 'M', 'E'};
constexpr size_t kDiskCharOffset = 5;
constexpr uint8_t kFirstDiskChar = '1';

// PROG: fifteen sectors from record 525, written to the file "PROG".
constexpr char kProgName[] = "PROG";
constexpr int32_t kProgRecord = 525;
constexpr GamePosition kProgSector = RecordSector(kProgRecord);
constexpr int32_t kProgSize = 15 * kGameSectorSize;

// The directory block: PROG's last four sectors, from record 536.
constexpr int32_t kDirectoryRecord = 536;
constexpr GamePosition kDirectorySector = RecordSector(kDirectoryRecord);
constexpr int32_t kDirectoryBlockSize = 4 * kGameSectorSize;

// Directory table inside the block. Entries 0 and 1 are never read; the
// table ends at the first entry whose bytes 0-3 are all zero, or after the
// last entry that fits in the block.
constexpr size_t kDirectoryTableOffset = 442;
constexpr size_t kDirectoryEntrySize = 10;
constexpr int32_t kFirstDirectoryEntry = 2;
constexpr int32_t kLastDirectoryEntry = static_cast<int32_t>(
    (kDirectoryBlockSize - kDirectoryTableOffset) / kDirectoryEntrySize - 1);

// DirectoryEntry fields: 1-byte disk number, 1 byte seen only by the
// end-of-table test, then little-endian 16-bit start record, size in bytes,
// load offset and load segment.
constexpr size_t kEntryDiskOffset = 0;
constexpr size_t kEntryStartOffset = 2;
constexpr size_t kEntrySizeOffset = 4;
constexpr size_t kEntryLoadOffsetOffset = 6;
constexpr size_t kEntryLoadSegmentOffset = 8;
constexpr uint8_t kExtractedDisk = 1;

constexpr size_t EntryOffset(int32_t k) {
  return kDirectoryTableOffset + kDirectoryEntrySize * static_cast<size_t>(k);
}

// Room for every sector of the 77 two-sided cylinders.
constexpr size_t kWorkAreaSize =
    size_t{kGameCylinders} * 2 * kGameSectorsPerTrack * kGameSectorSize;

static_assert(kProgSector.track == 66 &&
                  kProgSector.id == d88::SectorId{33, 0, 7, kGameSizeCode},
              "PROG starts at track 66, R 7");
static_assert(kDirectorySector.track == 68 && kDirectorySector.id.r == 2,
              "the directory starts at track 68, R 2");
static_assert(kDirectoryRecord + 4 == kProgRecord + 15,
              "the directory block is PROG's last four sectors");
static_assert(kLastDirectoryEntry == 364, "365 whole entries fit");

}  // namespace game

#endif  // GAME_GAME_LAYOUT_H_
