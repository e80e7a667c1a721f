#include "game/game_disk.h"

#include <cstdio>
#include <cstring>

#include "d88/d88_format.h"

namespace game {

using d88::D88Image;
using d88::DecodeU16;

void UseGameSectorRange(D88Image& image) {
  image.SetSectorRange(kGameFirstSector, kGameLastSector);
}

bool ReadSignature(D88Image& image, uint8_t* buf, uint8_t* disk_char) {
  // Cleared so that an unreadable signature sector does not show bytes of
  // an earlier read.
  std::memset(buf, 0, kSignatureReadSize);
  image.ReadSectors(kSignatureSector.track, kSignatureSector.id, buf,
                    kSignatureReadSize);
  if (std::memcmp(buf + kSignatureOffset, kSignature, sizeof(kSignature)) !=
      0) {
    return false;
  }
  *disk_char = buf[kDiskCharOffset];
  return true;
}

int32_t ReadRecords(D88Image& image, int32_t record, uint8_t* buf,
                    int32_t length) {
  const GamePosition at = RecordSector(record);
  return image.ReadSectors(at.track, at.id, buf, length);
}

int32_t ReadDirectoryBlock(D88Image& image, uint8_t* block) {
  // Cleared so that missing sectors read as the end of the table rather
  // than as entries of an earlier disk.
  std::memset(block, 0, kDirectoryBlockSize);
  return ReadRecords(image, kDirectoryRecord, block, kDirectoryBlockSize);
}

bool GetDirectoryEntry(const uint8_t* block, int32_t k, DirectoryEntry* entry) {
  if (k < kFirstDirectoryEntry || k > kLastDirectoryEntry) return false;
  const uint8_t* e = block + EntryOffset(k);
  if (e[0] == 0 && e[1] == 0 && e[2] == 0 && e[3] == 0) return false;
  entry->disk = e[kEntryDiskOffset];
  entry->start = DecodeU16(e + kEntryStartOffset);
  entry->size = DecodeU16(e + kEntrySizeOffset);
  entry->load_offset = DecodeU16(e + kEntryLoadOffsetOffset);
  entry->load_segment = DecodeU16(e + kEntryLoadSegmentOffset);
  return true;
}

EntryFileName::EntryFileName(int32_t k) {
  std::snprintf(text, sizeof(text), "%03d", static_cast<int>(k));
}

}  // namespace game
