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

namespace {

// Spreads offsets over the memo's slots, so that the offsets of one track,
// or of blocks of records alike, do not crowd into the same few slots.
size_t SlotOf(int64_t offset) {
  uint64_t x = static_cast<uint64_t>(offset);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  x ^= x >> 31;
  return static_cast<size_t>(x & (HeaderMemo::kSlots - 1));
}

}  // namespace

void HeaderMemo::Clear() {
  // Pages that no header touched stay untouched.
  if (!empty_) std::memset(slots_, 0, sizeof(slots_));
  empty_ = true;
}

bool HeaderMemo::Find(int64_t offset, SectorHeader* header) const {
  const uint64_t want = static_cast<uint64_t>(offset) + 1;
  size_t at = SlotOf(offset);
  for (size_t i = 0; i < kProbes; ++i, at = (at + 1) & (kSlots - 1)) {
    const Slot& slot = slots_[at];
    // Slots never empty again once filled, so an empty one ends the search.
    if (slot.key == 0) return false;
    if (slot.key >> kWalkBits != want) continue;
    header->offset = offset;
    header->id = {slot.id[0], slot.id[1], slot.id[2], slot.id[3]};
    header->count = slot.count;
    header->data_size = slot.data_size;
    return true;
  }
  return false;
}

void HeaderMemo::Keep(const SectorHeader& header) {
  // Walks stay far below this; a key must fit above the walk's number.
  if (header.offset < 0 || header.offset >= int64_t{1} << 39) return;
  const uint64_t key = (static_cast<uint64_t>(header.offset) + 1) << kWalkBits;
  size_t at = SlotOf(header.offset);
  Slot* oldest = nullptr;
  uint64_t oldest_age = 0;
  for (size_t i = 0; i < kProbes; ++i, at = (at + 1) & (kSlots - 1)) {
    Slot& slot = slots_[at];
    if (slot.key == 0) {
      oldest = &slot;
      break;
    }
    // Walks are numbered modulo 2^24; this walk's own slots have age 0.
    const uint64_t age = (walk_ - (slot.key & kWalkMask)) & kWalkMask;
    if (age > oldest_age) {
      oldest = &slot;
      oldest_age = age;
    }
  }
  if (oldest == nullptr) return;
  empty_ = false;
  *oldest = {key | walk_,
             {header.id.c, header.id.h, header.id.r, header.id.n},
             static_cast<uint16_t>(header.count),
             static_cast<uint16_t>(header.data_size)};
}

bool SectorWalk::ReadHeader(SectorHeader* header) {
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
      return false;
    }
  }
  header->offset = pos_;
  header->id = {bytes[kSectorCOffset], bytes[kSectorHOffset],
                bytes[kSectorROffset], bytes[kSectorNOffset]};
  header->count = DecodeU16(bytes + kSectorCountOffset);
  header->data_size = DecodeU16(bytes + kDataSizeOffset);
  return true;
}

bool SectorWalk::Next(SectorHeader* header) {
  if (done_) return false;
  if (!memo_.Find(pos_, header)) {
    if (!ReadHeader(header)) {
      done_ = true;
      file_ended_ = true;
      return false;
    }
    memo_.Keep(*header);
  }
  pos_ += static_cast<int64_t>(kSectorHeaderSize) + header->data_size;
  const int32_t i = index_++;
  if (i == 0) first_count_ = header->count;
  done_ = header->count == 0 || i == header->count - 1 || i + 1 >= first_count_;
  return true;
}

}  // namespace d88
