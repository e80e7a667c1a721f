// The files of a disk-1 image: PROG and the entries of its directory, in the
// order d88cut lists them. Every program walks this one list, so that they
// agree on which sectors hold which file.

#ifndef GAME_GAME_FILES_H_
#define GAME_GAME_FILES_H_

#include <cstdint>

#include "game/game_disk.h"
#include "game/game_layout.h"

namespace game {

// One file of the list.
struct GameFile {
  char name[16];         // "PROG" or the entry's file name ("005")
  bool is_prog;          // PROG; `k` and `entry` are then unused
  int32_t k;             // the directory entry's number, 2 to 364
  DirectoryEntry entry;  // the entry as the directory holds it
  bool on_disk_one;      // its bytes lie on this disk (PROG's always do)
  int32_t record;        // record number of the first sector
  int32_t length;        // bytes
};

// PROG: kProgSize bytes from kProgRecord.
GameFile ProgFile();

// Directory entry `k` of `block` as a file; false where the table has ended
// before `k` (as GetDirectoryEntry).
bool EntryFile(const uint8_t* block, int32_t k, GameFile* file);

// Calls `visit(const GameFile&)` for PROG and then for every entry of the
// directory block `block` (kDirectoryBlockSize bytes), disk 1 or not, in
// entry order up to the end of the table.
template <typename Visit>
void ForEachGameFile(const uint8_t* block, Visit&& visit) {
  visit(ProgFile());
  GameFile file;
  for (int32_t k = kFirstDirectoryEntry; EntryFile(block, k, &file); ++k) {
    visit(static_cast<const GameFile&>(file));
  }
}

}  // namespace game

#endif  // GAME_GAME_FILES_H_
