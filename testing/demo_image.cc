#include "testing/demo_image.h"

#include <cstdio>
#include <string>

#include "testing/game_disk_builder.h"

namespace d88test {

using d88::kSectorHeaderSize;
using game::kGameSectorSize;

namespace {

// Readable invented contents of `size` bytes for file `k`.
Bytes SampleText(int k, size_t size) {
  std::string text;
  for (int line = 1; text.size() < size; ++line) {
    char buf[96];
    std::snprintf(buf, sizeof(buf),
                  "Sample file %03d, line %04d: invented demo data.\n", k,
                  line);
    text += buf;
  }
  return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

void AddOtherDisk(GameDiskBuilder& disk, int32_t k, uint16_t start,
                  uint16_t size) {
  DirectoryEntryFields entry;
  entry.disk = 2;
  entry.start = start;
  entry.size = size;
  entry.load_segment = 0x3000;
  disk.SetEntry(k, entry);
}

GameDiskBuilder DemoDiskOne() {
  GameDiskBuilder disk1('1');
  disk1.image().SetName("DEMO DISK 1");
  struct File {
    int32_t k;
    uint16_t start;
    uint16_t size;
  };
  // Record 5 starts at track 1 (head 1), R 7: four sectors cross to
  // cylinder 1. Record 13 starts at track 2, R 7: three sectors cross from
  // head 0 to head 1. 0x0500 and 0x1E00 end with a short last chunk.
  const File files[] = {
      {2, 0x0000, 0x0400}, {3, 0x0001, 0x0C00},  {4, 0x0005, 0x1000},
      {5, 0x000D, 0x0C00}, {6, 0x0010, 0x0500},  {7, 0x0012, 0x0000},
      {9, 0x0012, 0x1E00}, {11, 0x0028, 0x0123}, {12, 0x01F7, 0x0800},
  };
  for (const File& f : files) {
    disk1.AddFile(f.k, f.start, SampleText(f.k, f.size), 0x0100,
                  static_cast<uint16_t>(0x2000 + f.k));
  }
  AddOtherDisk(disk1, 8, 0x0100, 0x2000);
  AddOtherDisk(disk1, 10, 0x0140, 0x0800);
  AddOtherDisk(disk1, 13, 0x0300, 0x1234);
  return disk1;
}

GameDiskBuilder DemoDiskTwo() {
  GameDiskBuilder disk2('2');
  disk2.image().SetName("DEMO DISK 2");
  disk2.WriteAtRecord(0x0100, 0, SampleText(8, 0x2000));
  return disk2;
}

}  // namespace

Bytes BuildDemoImage() {
  Bytes out = DemoDiskOne().Build();
  Append(out, DemoDiskTwo().Build());
  return out;
}

Bytes BuildDamagedDemoImage() {
  GameDiskBuilder disk1 = DemoDiskOne();
  disk1.RemoveSector(1, 4);               // the middle of file 003
  disk1.SectorAt(4 * 8 + 1).resize(512);  // track 4 R 2, in file 009
  Bytes out = disk1.Build();
  Bytes disk2 = DemoDiskTwo().Build();
  // Disk 2's last track (34) keeps three whole sectors and part of a
  // fourth.
  disk2.resize(disk2.size() - 4 * (kSectorHeaderSize + kGameSectorSize) -
               kGameSectorSize / 2);
  Append(out, disk2);
  return out;
}

}  // namespace d88test
