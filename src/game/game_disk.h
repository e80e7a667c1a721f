// Reading the game's structures from the selected image of a D88Image: the
// signature, the directory and the runs of sectors that hold PROG and the
// directory's files. d88cut and d88info both read a disk through these, so
// that they always agree on what an image holds.

#ifndef GAME_GAME_DISK_H_
#define GAME_GAME_DISK_H_

#include <cstdint>

#include "d88/d88_image.h"
#include "game/game_layout.h"

namespace game {

// Sets the reader's sector range to the game's tracks (R 1 to 8), so that
// runs step from track to track as the game's disks lie.
void UseGameSectorRange(d88::D88Image& image);

// Zeroes the first kSignatureReadSize bytes of `buf` and reads the signature
// sector into them. Returns true if they hold the signature; `*disk_char`
// is then the disk character. Bytes of a short sector count, so a sector
// shorter than the read can still carry the signature.
bool ReadSignature(d88::D88Image& image, uint8_t* buf, uint8_t* disk_char);

// Reads `length` bytes of consecutive sectors from record `record` on (with
// the game's sector range set) into `buf`. Returns the bytes of the whole
// sectors read; the run stops at the first sector that cannot be read whole.
int32_t ReadRecords(d88::D88Image& image, int32_t record, uint8_t* buf,
                    int32_t length);

// Zeroes `block` (kDirectoryBlockSize bytes) and reads the directory block
// into it. Returns the bytes read; kDirectoryBlockSize when it is whole.
int32_t ReadDirectoryBlock(d88::D88Image& image, uint8_t* block);

struct DirectoryEntry {
  uint8_t disk;
  uint16_t start;  // record number of the file's first sector
  uint16_t size;   // bytes
  uint16_t load_offset;
  uint16_t load_segment;
};

// Decodes entry `k` of the directory table in `block`. Returns false when
// the table has ended before `k`: entry k's bytes 0-3 are all zero, or k is
// past kLastDirectoryEntry. The caller walks k from kFirstDirectoryEntry up
// and stops at the first false.
bool GetDirectoryEntry(const uint8_t* block, int32_t k, DirectoryEntry* entry);

// The name of the file that holds entry k's data: k in decimal, at least
// three digits ("002").
struct EntryFileName {
  explicit EntryFileName(int32_t k);
  char text[16];
};

}  // namespace game

#endif  // GAME_GAME_DISK_H_
