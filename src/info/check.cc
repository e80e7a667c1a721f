#include "info/check.h"

#include <algorithm>
#include <string>
#include <vector>

#include "game/game_disk.h"
#include "game/game_layout.h"
#include "info/report.h"
#include "info/text.h"

namespace info {

using game::DirectoryEntry;
using game::EntryFileName;
using game::GetDirectoryEntry;
using game::kDirectoryRecord;
using game::kExtractedDisk;
using game::kFirstDirectoryEntry;
using game::kFirstDiskChar;
using game::kProgName;
using game::kProgRecord;
using game::ReadDirectoryBlock;
using game::ReadRecords;
using game::ReadSignature;
using game::RecordSector;
using game::UseGameSectorRange;

using d88::D88Image;
using d88::NominalSectorSize;
using game::GamePosition;
using game::kDirectoryBlockSize;
using game::kGameSectorSize;
using game::kGameSizeCode;
using game::kProgSize;
using game::kSignatureReadSize;
using game::kWorkAreaSize;

namespace {

// The reads' buffers, in static storage for the run.
uint8_t g_signature[kSignatureReadSize];
uint8_t g_directory_block[kDirectoryBlockSize];
uint8_t g_file[kWorkAreaSize];

static_assert(kGameSectorSize == NominalSectorSize(kGameSizeCode),
              "a run of the game's sectors is read in whole sectors");
static_assert(kWorkAreaSize >= UINT16_MAX && kWorkAreaSize >= size_t{kProgSize},
              "the file buffer holds PROG and the largest directory file");

// Prints the line of one run of the game's sectors, of which `got` of
// `length` bytes were read, and adds `name` to `incomplete` if it is
// incomplete and not named there yet.
void PrintRun(const char* name, int32_t record, int32_t length, int32_t got,
              const std::string& detail, std::vector<std::string>* incomplete) {
  const std::string size = Count(length, "byte", "bytes");
  if (got == length) {
    PrintField(name, "complete, " + size + detail);
    return;
  }
  if (std::find(incomplete->begin(), incomplete->end(), name) ==
      incomplete->end()) {
    incomplete->push_back(name);
  }
  // Runs are read in whole sectors and stop at the first one that fails.
  const GamePosition at = RecordSector(record + got / kGameSectorSize);
  PrintField(name, Format("incomplete: %d of %s unreadable from track %d "
                          "sector %d",
                          length - got, size.c_str(), at.track, at.id.r) +
                       detail);
}

// Checks the selected disk-1 image: the same reads as d88cut's extraction.
void CheckDiskOne(D88Image& image, std::vector<std::string>* incomplete) {
  const int32_t block = ReadDirectoryBlock(image, g_directory_block);
  PrintRun(kProgName, kProgRecord, kProgSize,
           ReadRecords(image, kProgRecord, g_file, kProgSize), "", incomplete);

  int32_t entries = 0;
  int32_t on_disk_one = 0;
  DirectoryEntry e;
  for (int32_t k = kFirstDirectoryEntry;
       GetDirectoryEntry(g_directory_block, k, &e); ++k) {
    ++entries;
    if (e.disk == kExtractedDisk) ++on_disk_one;
  }
  PrintRun(
      "directory", kDirectoryRecord, kDirectoryBlockSize, block,
      Format("; %s, %d on disk %d", Count(entries, "entry", "entries").c_str(),
             on_disk_one, static_cast<int>(kExtractedDisk)),
      incomplete);

  for (int32_t k = kFirstDirectoryEntry;
       GetDirectoryEntry(g_directory_block, k, &e); ++k) {
    if (e.disk != kExtractedDisk) continue;
    PrintRun(EntryFileName(k).text, e.start, e.size,
             ReadRecords(image, e.start, g_file, e.size), "", incomplete);
  }
}

}  // namespace

int RunCheck(D88Image& image) {
  const int32_t count = image.GetImageCount();
  bool found = false;
  bool printed = false;
  std::vector<std::string> incomplete;
  EarlierTexts repeats;
  for (int32_t i = 0; i < count; ++i) {
    if (!image.SelectImage(i)) continue;
    UseGameSectorRange(image);
    uint8_t disk_char = 0;
    if (!ReadSignature(image, g_signature, &disk_char)) continue;
    if (printed) AccountOutput().Print("\n");
    printed = true;
    AccountOutput().Print("Image %d at offset %d: disk %s of the game", i,
                          image.GetImageBase(),
                          DiskCharText(disk_char).c_str());
    if (disk_char == kFirstDiskChar) {
      found = true;
      std::string lines;
      GatherLines(&lines);
      CheckDiskOne(image, &incomplete);
      GatherLines(nullptr);
      const int32_t earlier = repeats.Find(i, lines);
      if (earlier >= 0) {
        AccountOutput().Print(", the same as image %d\n", earlier);
      } else {
        AccountOutput().Print("\n%s", lines.c_str());
      }
    } else {
      AccountOutput().Print(", nothing to check\n");
    }
  }
  // A failed read looks like missing sectors or a missing image: after one,
  // only files found incomplete are certain, and the caller reports the
  // read error in place of any verdict on the whole.
  const bool read_failed = image.GetReadError() != nullptr;
  std::string verdict;
  int status = 1;
  if (!found) {
    if (!read_failed) verdict = "No disk 1 of the game found.\n";
  } else if (incomplete.empty()) {
    if (!read_failed) verdict = "Everything is complete.\n";
    status = 0;
  } else {
    std::string list;
    for (const std::string& name : incomplete) {
      list += (list.empty() ? "" : ", ") + name;
    }
    verdict = "Incomplete: " + list + ".\n";
  }
  if (!verdict.empty()) {
    if (printed) AccountOutput().Print("\n");
    AccountOutput().Print("%s", verdict.c_str());
  }
  return status;
}

}  // namespace info
