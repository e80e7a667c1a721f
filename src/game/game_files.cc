#include "game/game_files.h"

#include <cstdio>

namespace game {

GameFile ProgFile() {
  GameFile file = {};
  std::snprintf(file.name, sizeof(file.name), "%s", kProgName);
  file.is_prog = true;
  file.k = -1;
  file.on_disk_one = true;
  file.record = kProgRecord;
  file.length = kProgSize;
  return file;
}

bool EntryFile(const uint8_t* block, int32_t k, GameFile* file) {
  DirectoryEntry e;
  if (!GetDirectoryEntry(block, k, &e)) return false;
  std::snprintf(file->name, sizeof(file->name), "%s", EntryFileName(k).text);
  file->is_prog = false;
  file->k = k;
  file->entry = e;
  file->on_disk_one = e.disk == kExtractedDisk;
  file->record = e.start;
  file->length = e.size;
  return true;
}

}  // namespace game
