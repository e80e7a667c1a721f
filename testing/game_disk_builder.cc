#include "testing/game_disk_builder.h"

#include <algorithm>

namespace d88test {

using game::GamePositionAt;

using d88::SectorId;
using game::EntryOffset;
using game::GamePosition;
using game::kDirectoryBlockSize;
using game::kDirectoryEntrySize;
using game::kDirectoryRecord;
using game::kDirectoryTableOffset;
using game::kDiskCharOffset;
using game::kEntryDiskOffset;
using game::kEntryLoadOffsetOffset;
using game::kEntryLoadSegmentOffset;
using game::kEntrySizeOffset;
using game::kEntryStartOffset;
using game::kFirstDiskChar;
using game::kGameFirstSector;
using game::kGameLastSector;
using game::kGameSectorSize;
using game::kGameSectorsPerTrack;
using game::kProgRecord;
using game::kProgSize;
using game::kSignature;
using game::kSignatureOffset;
using game::kSignatureSector;

GameDiskBuilder::GameDiskBuilder(uint8_t disk_char) {
  image_.SetName("GAME DISK");
  // Eight 1024-byte sectors a track: a 2HD disk.
  image_.SetMediaType(0x20);
  Bytes& signature = SectorAt(kSignatureSector.track * kGameSectorsPerTrack +
                              kSignatureSector.id.r - 1);
  std::copy(std::begin(kSignature), std::end(kSignature),
            signature.begin() + kSignatureOffset);
  signature[kDiskCharOffset] = disk_char;
  if (disk_char != kFirstDiskChar) return;

  for (int32_t i = 0; i < kProgSize / kGameSectorSize; ++i) {
    RecordData(kProgRecord + i);
  }
  // An empty table, with entries 0 and 1 (never read) left non-zero.
  WriteAtRecord(kDirectoryRecord,
                kDirectoryTableOffset + kDirectoryEntrySize * 2,
                Bytes(kDirectoryBlockSize - EntryOffset(2), 0));
}

Bytes& GameDiskBuilder::SectorAt(int32_t index) { return RecordAt(index).data; }

TrackSector& GameDiskBuilder::RecordAt(int32_t index) {
  const GamePosition at = GamePositionAt(index);
  if (!image_.HasTrack(at.track)) {
    TrackBuilder& track = image_.AddTrack(at.track);
    for (int32_t r = kGameFirstSector; r <= kGameLastSector; ++r) {
      const int32_t linear = at.track * kGameSectorsPerTrack + r - 1;
      SectorId id = at.id;
      id.r = static_cast<uint8_t>(r);
      track.AddSector(id,
                      Pattern(kGameSectorSize, static_cast<uint32_t>(linear)));
    }
  }
  for (TrackSector& record : image_.Track(at.track).records()) {
    if (record.id.r == at.id.r) return record;
  }
  // The sector was removed: put it back at the end of its track.
  image_.Track(at.track).AddSector(at.id, Bytes(kGameSectorSize, 0));
  return image_.Track(at.track).Last();
}

void GameDiskBuilder::WriteAtRecord(int32_t record, size_t offset,
                                    const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t at = offset + done;
    Bytes& sector =
        RecordData(record + static_cast<int32_t>(at / kGameSectorSize));
    const size_t in_sector = at % kGameSectorSize;
    const size_t n = std::min(bytes.size() - done, sector.size() - in_sector);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(done), n,
                sector.begin() + static_cast<std::ptrdiff_t>(in_sector));
    done += n;
  }
}

void GameDiskBuilder::SetEntry(int32_t k, const DirectoryEntryFields& entry) {
  Bytes raw(kDirectoryEntrySize, 0);
  raw[kEntryDiskOffset] = entry.disk;
  raw[kEntryDiskOffset + 1] = entry.reserved;
  StoreU16(raw, kEntryStartOffset, entry.start);
  StoreU16(raw, kEntrySizeOffset, entry.size);
  StoreU16(raw, kEntryLoadOffsetOffset, entry.load_offset);
  StoreU16(raw, kEntryLoadSegmentOffset, entry.load_segment);
  WriteAtRecord(kDirectoryRecord, EntryOffset(k), raw);
}

void GameDiskBuilder::AddFile(int32_t k, uint16_t start, const Bytes& contents,
                              uint16_t load_offset, uint16_t load_segment) {
  DirectoryEntryFields entry;
  entry.start = start;
  entry.size = static_cast<uint16_t>(contents.size());
  entry.load_offset = load_offset;
  entry.load_segment = load_segment;
  SetEntry(k, entry);
  WriteAtRecord(start, 0, contents);
}

void GameDiskBuilder::RemoveSector(int32_t track, int32_t r) {
  auto& records = image_.Track(track).records();
  records.erase(
      std::remove_if(records.begin(), records.end(),
                     [r](const TrackSector& s) { return s.id.r == r; }),
      records.end());
}

void GameDiskBuilder::RemoveTrack(int32_t track) {
  image_.Track(track).records().clear();
  image_.SetTrackOffset(track, 0);
}

Bytes GameDiskBuilder::Prog() {
  Bytes prog;
  for (int32_t i = 0; i < kProgSize / kGameSectorSize; ++i) {
    Append(prog, RecordData(kProgRecord + i));
  }
  return prog;
}

}  // namespace d88test
