#include "d88/sector_walk.h"

#include <cstring>

#include "d88/d88_format.h"

namespace d88 {

void BlockCache::Clear() {
  for (Slot& slot : slots_) slot = {-1, 0};
}

const uint8_t* BlockCache::Block(const InputFile& file, int64_t block,
                                 size_t* size) {
  const size_t index = static_cast<size_t>(block) % kCacheBlocks;
  Slot& slot = slots_[index];
  if (slot.block != block) {
    bool failed = false;
    slot.block = -1;
    const size_t got = file.ReadAhead(block * static_cast<int64_t>(kFetchSize),
                                      bytes_[index], kFetchSize, &failed);
    // A block cut short by an error is not what the file holds.
    if (failed) return nullptr;
    slot = {block, got};
  }
  *size = slot.size;
  return bytes_[index];
}

size_t BlockCache::ReadAt(const InputFile& file, int64_t offset, uint8_t* buf,
                          size_t len) {
  if (offset < 0) return 0;
  constexpr int64_t kBlockSize = static_cast<int64_t>(kFetchSize);
  size_t done = 0;
  while (done < len) {
    const int64_t at = offset + static_cast<int64_t>(done);
    const int64_t block = at / kBlockSize;
    size_t size = 0;
    const uint8_t* bytes = Block(file, block, &size);
    // Where a read fails, what the file gives for the request itself is
    // what counts.
    if (bytes == nullptr) return done + file.ReadAt(at, buf + done, len - done);
    const size_t in = static_cast<size_t>(at - block * kBlockSize);
    // Past the end of the file.
    if (in >= size) break;
    const size_t n = len - done < size - in ? len - done : size - in;
    std::memcpy(buf + done, bytes + in, n);
    done += n;
  }
  return done;
}

bool SectorWalk::Next(SectorHeader* header) {
  if (done_) return false;
  constexpr int64_t kBlockSize = static_cast<int64_t>(BlockCache::kFetchSize);
  const int64_t block = pos_ / kBlockSize;
  if (block != block_) {
    block_ = block;
    block_bytes_ = cache_.Block(file_, block, &block_size_);
  }
  const size_t in = static_cast<size_t>(pos_ - block * kBlockSize);
  uint8_t copy[kSectorHeaderSize];
  const uint8_t* bytes = copy;
  if (block_bytes_ != nullptr && in <= block_size_ &&
      sizeof(copy) <= block_size_ - in) {
    bytes = block_bytes_ + in;
  } else {
    // Across the end of the block, or where a read failed.
    block_ = -1;
    if (cache_.ReadAt(file_, pos_, copy, sizeof(copy)) != sizeof(copy)) {
      done_ = true;
      file_ended_ = true;
      return false;
    }
  }
  header->offset = pos_;
  header->id = {bytes[kSectorCOffset], bytes[kSectorHOffset],
                bytes[kSectorROffset], bytes[kSectorNOffset]};
  header->count = DecodeU16(bytes + kSectorCountOffset);
  header->data_size = DecodeU16(bytes + kDataSizeOffset);
  header->density = bytes[kDensityOffset];
  header->deleted = bytes[kDeletedOffset];
  header->status = bytes[kStatusOffset];
  pos_ += static_cast<int64_t>(kSectorHeaderSize) + header->data_size;
  const int32_t i = index_++;
  if (i == 0) first_count_ = header->count;
  done_ = header->count == 0 || i == header->count - 1 || i + 1 >= first_count_;
  return true;
}

}  // namespace d88
