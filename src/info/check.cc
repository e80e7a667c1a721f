#include "info/check.h"

#include <algorithm>
#include <bitset>
#include <map>
#include <string>
#include <vector>

#include "game/game_disk.h"
#include "game/game_files.h"
#include "game/game_layout.h"
#include "info/report.h"
#include "info/text.h"
#include "info/track_analysis.h"

namespace info {

using game::ForEachGameFile;
using game::GameFile;
using game::kDirectoryRecord;
using game::kExtractedDisk;
using game::kFirstDiskChar;
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

void SectorStatuses::Clear() {
  walked_.assign(d88::kTrackCount, false);
  status_.assign(size_t{d88::kTrackCount} * game::kGameSectorsPerTrack, 0);
}

uint8_t SectorStatuses::At(D88Image& image, int32_t index) {
  const GamePosition at = game::GamePositionAt(index);
  if (index < 0 || at.track >= d88::kTrackCount) return 0;
  const size_t track = static_cast<size_t>(at.track);
  if (!walked_[track]) {
    walked_[track] = true;
    Walk walk = {this, at.track, {}};
    image.VisitTrackHeaders(at.track, &Visit, &walk, nullptr);
  }
  return status_[static_cast<size_t>(index)];
}

void SectorStatuses::Visit(void* context, const d88::SectorHeader& h) {
  Walk& walk = *static_cast<Walk*>(context);
  const int32_t r = h.id.r;
  if (h.count == 0 || r < game::kGameFirstSector || r > game::kGameLastSector) {
    return;
  }
  const int32_t index =
      walk.track * game::kGameSectorsPerTrack + r - game::kGameFirstSector;
  const size_t bit = static_cast<size_t>(r - game::kGameFirstSector);
  if (walk.found[bit] || !(h.id == game::GamePositionAt(index).id)) return;
  walk.found[bit] = true;
  walk.self->status_[static_cast<size_t>(index)] = h.status;
}

namespace {

SectorStatuses g_statuses;

// The sectors of the run of `length` bytes from record `record` whose
// status is not 00, for the text "with N sectors flagged ..."; empty when
// none is.
std::string FlaggedText(D88Image& image, int32_t record, int32_t length,
                        int32_t* flagged) {
  std::map<uint8_t, int32_t> by_status;
  const int32_t sectors = (length + kGameSectorSize - 1) / kGameSectorSize;
  *flagged = 0;
  for (int32_t i = 0; i < sectors; ++i) {
    const uint8_t status = g_statuses.At(image, record + game::kRecordBase + i);
    if (status == 0) continue;
    ++by_status[status];
    ++*flagged;
  }
  if (*flagged == 0) return "";
  std::string text =
      "with " + Count(*flagged, "sector", "sectors") + " flagged ";
  if (by_status.size() == 1)
    return text + StatusMeaning(by_status.begin()->first);
  std::string list;
  for (const auto& [status, count] : by_status) {
    list += (list.empty() ? "" : ", ") +
            Format("%d %s", count, StatusMeaning(status).c_str());
  }
  return text + "(" + list + ")";
}

// The reads' buffers, in static storage for the run.
uint8_t g_signature[kSignatureReadSize];
uint8_t g_directory_block[kDirectoryBlockSize];
uint8_t g_file[kWorkAreaSize];

static_assert(kGameSectorSize == NominalSectorSize(kGameSizeCode),
              "a run of the game's sectors is read in whole sectors");
static_assert(kWorkAreaSize >= UINT16_MAX && kWorkAreaSize >= size_t{kProgSize},
              "the file buffer holds PROG and the largest directory file");

// Adds `name` to `names` unless it is there already.
void AddName(const char* name, std::vector<std::string>* names) {
  if (std::find(names->begin(), names->end(), name) == names->end()) {
    names->push_back(name);
  }
}

// What the check found wrong, by file name.
struct Findings {
  std::vector<std::string> incomplete;
  std::vector<std::string> flagged;  // complete, with sectors flagged
};

// Prints the line of one run of the game's sectors, of which `got` of
// `length` bytes were read, and adds `name` to the findings if it is
// incomplete or its sectors are flagged.
void PrintRun(D88Image& image, const char* name, int32_t record, int32_t length,
              int32_t got, const std::string& detail, Findings* findings) {
  const std::string size = Count(length, "byte", "bytes");
  if (got == length) {
    int32_t flagged = 0;
    const std::string flags = FlaggedText(image, record, length, &flagged);
    if (flagged > 0) AddName(name, &findings->flagged);
    PrintField(name, "complete, " + (flags.empty() ? "" : flags + ", ") + size +
                         detail);
    return;
  }
  AddName(name, &findings->incomplete);
  // Runs are read in whole sectors and stop at the first one that fails.
  const GamePosition at = RecordSector(record + got / kGameSectorSize);
  PrintField(name, Format("incomplete: %d of %s unreadable from track %d "
                          "sector %d",
                          length - got, size.c_str(), at.track, at.id.r) +
                       detail);
}

// Checks the selected disk-1 image: the same reads as d88cut's extraction.
void CheckDiskOne(D88Image& image, Findings* findings) {
  g_statuses.Clear();
  const int32_t block = ReadDirectoryBlock(image, g_directory_block);
  int32_t entries = 0;
  int32_t on_disk_one = 0;
  ForEachGameFile(g_directory_block, [&](const GameFile& file) {
    if (file.is_prog) return;
    ++entries;
    if (file.on_disk_one) ++on_disk_one;
  });
  ForEachGameFile(g_directory_block, [&](const GameFile& file) {
    if (!file.on_disk_one) return;
    PrintRun(image, file.name, file.record, file.length,
             ReadRecords(image, file.record, g_file, file.length), "",
             findings);
    if (!file.is_prog) return;
    PrintRun(image, "directory", kDirectoryRecord, kDirectoryBlockSize, block,
             Format("; %s, %d on disk %d",
                    Count(entries, "entry", "entries").c_str(), on_disk_one,
                    static_cast<int>(kExtractedDisk)),
             findings);
  });
}

}  // namespace

int RunCheck(D88Image& image) {
  const int32_t count = image.GetImageCount();
  bool found = false;
  bool printed = false;
  Findings findings;
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
      CheckDiskOne(image, &findings);
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
  // only files found incomplete or flagged are certain, and the caller
  // reports the read error in place of any verdict on the whole.
  const bool read_failed = image.GetReadError() != nullptr;
  auto names = [](const char* what, const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& name : list) {
      text += (text.empty() ? "" : ", ") + name;
    }
    return list.empty() ? std::string() : std::string(what) + text + ".\n";
  };
  std::string verdict;
  int status = 1;
  if (!found) {
    if (!read_failed) verdict = "No disk 1 of the game found.\n";
  } else if (findings.incomplete.empty() && findings.flagged.empty()) {
    if (!read_failed) verdict = "Everything is complete.\n";
    status = 0;
  } else {
    verdict = names("Incomplete: ", findings.incomplete) +
              names("Complete with sectors flagged: ", findings.flagged);
  }
  if (!verdict.empty()) {
    if (printed) AccountOutput().Print("\n");
    AccountOutput().Print("%s", verdict.c_str());
  }
  return status;
}

}  // namespace info
