#include "d88/sector_walk.h"

#include <cstring>

#include "d88/d88_format.h"

namespace d88 {

void BlockCache::Clear() {
  for (Slot& slot : slots_) slot = {-1, 0};
}

size_t BlockCache::ReadAt(const InputFile& file, int64_t offset, uint8_t* buf,
                          size_t len) {
  if (offset < 0) return 0;
  constexpr int64_t kBlockSize = static_cast<int64_t>(kFetchSize);
  size_t done = 0;
  while (done < len) {
    const int64_t at = offset + static_cast<int64_t>(done);
    const int64_t block = at / kBlockSize;
    const size_t index = static_cast<size_t>(block) % kCacheBlocks;
    Slot& slot = slots_[index];
    if (slot.block != block) {
      bool failed = false;
      slot.block = -1;
      const size_t got =
          file.ReadAt(block * kBlockSize, bytes_[index], kFetchSize, &failed);
      // A block cut short by an error is not what the file holds; what the
      // file gives for the request itself is.
      if (failed) return done + file.ReadAt(at, buf + done, len - done);
      slot = {block, got};
    }
    const size_t in = static_cast<size_t>(at - block * kBlockSize);
    // Past the end of the file.
    if (in >= slot.size) break;
    const size_t n = len - done < slot.size - in ? len - done : slot.size - in;
    std::memcpy(buf + done, bytes_[index] + in, n);
    done += n;
  }
  return done;
}

bool SectorWalk::Next(SectorHeader* header) {
  if (done_) return false;
  uint8_t bytes[kSectorHeaderSize];
  if (cache_.ReadAt(file_, pos_, bytes, sizeof(bytes)) != sizeof(bytes)) {
    done_ = true;
    file_ended_ = true;
    return false;
  }
  header->offset = pos_;
  header->id = {bytes[kSectorCOffset], bytes[kSectorHOffset],
                bytes[kSectorROffset], bytes[kSectorNOffset]};
  header->count = DecodeU16(bytes + kSectorCountOffset);
  header->data_size = DecodeU16(bytes + kDataSizeOffset);
  pos_ += static_cast<int64_t>(sizeof(bytes)) + header->data_size;
  const int32_t i = index_++;
  if (i == 0) first_count_ = header->count;
  done_ = header->count == 0 || i == header->count - 1 || i + 1 >= first_count_;
  return true;
}

}  // namespace d88
