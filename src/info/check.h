// d88info --check: whether d88cut would write every file of each disk 1 of
// the game whole.

#ifndef INFO_CHECK_H_
#define INFO_CHECK_H_

#include <bitset>
#include <cstdint>
#include <vector>

#include "d88/d88_image.h"
#include "game/game_layout.h"

namespace info {

// The status bytes of the selected image's game sectors, as the lookups of
// the game's runs find their records (the first record with the ID, never
// one whose count is 0), each track walked on first need.
class SectorStatuses {
 public:
  // Forgets every track, for another image; call before the first At.
  void Clear();

  // The status of the game's sector at linear position `index` (track * 8 +
  // R - 1); 0 where there is no such sector.
  uint8_t At(d88::D88Image& image, int32_t index);

 private:
  struct Walk {
    SectorStatuses* self;
    int32_t track;
    std::bitset<game::kGameSectorsPerTrack> found;
  };
  static void Visit(void* context, const d88::SectorHeader& header);

  std::vector<bool> walked_;
  std::vector<uint8_t> status_;
};

// Reads, for every disk 1 of the game in the file open in `image`, PROG, the
// directory and each file on disk 1 as d88cut would, and prints to the
// account's output what would be written incomplete, and what would be
// written whole from sectors whose status shows the drive's error. Returns
// 0 if all is complete and unflagged, 1 if something is incomplete or
// flagged or the file holds no disk 1. After a failed read of the file it
// names only the files found incomplete or flagged, with no verdict on the
// whole; the caller reports the read error.
int RunCheck(d88::D88Image& image);

}  // namespace info

#endif  // INFO_CHECK_H_
