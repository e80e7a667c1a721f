#include "d88/sector_walk.h"

#include <cstdlib>
#include <cstring>

#include "d88/d88_format.h"

namespace d88 {

void BlockCache::Clear() {
  for (Slot& slot : slots_) slot = {-1, 0};
}

const uint8_t* BlockCache::Block(const InputFile& file, int64_t block,
                                 size_t* size) {
  // Bytes in memory are read where they lie, without a copy.
  const uint8_t* in_memory =
      file.MemoryAt(block * static_cast<int64_t>(kFetchSize), size);
  if (in_memory != nullptr) {
    if (*size > kFetchSize) *size = kFetchSize;
    return in_memory;
  }
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

// Spreads offsets below 2^bits over a table's slots, so that the offsets of
// one track, or of records laid out alike, do not crowd into a few slots. A
// bijection on those offsets: each step multiplies by an odd number or folds
// high bits into low ones, modulo 2^bits.
uint64_t Mix(int64_t offset, int bits) {
  const uint64_t mask = (uint64_t{1} << bits) - 1;
  uint64_t x = static_cast<uint64_t>(offset);
  x = (x * 0x9E3779B1u) & mask;
  x ^= x >> 17;
  x = (x * 0x85EBCA77u) & mask;
  x ^= x >> 15;
  return x;
}

}  // namespace

void HeaderMemo::Clear() {
  if (slot_count_ == kMaxSlots) {
    // A large table goes back to the system; the next file starts small.
    Release();
  } else if (used_ != 0) {
    std::memset(slots_, 0, slot_count_ * sizeof(Slot));
    // The next file may have no marks.
    std::free(marks_);
    marks_ = nullptr;
  }
  used_ = 0;
}

void HeaderMemo::Release() {
  std::free(slots_);
  std::free(marks_);
  slots_ = nullptr;
  marks_ = nullptr;
  slot_count_ = 0;
  shift_ = 0;
  used_ = 0;
}

bool HeaderMemo::Grow(int64_t offset) {
  const int shift =
      slots_ == nullptr && offset >> (kSmallShift + kNamedBits) == 0
          ? kSmallShift
          : kMaxShift;
  if (slots_ != nullptr && shift_ == kMaxShift) return false;
  const size_t count = size_t{3} << shift;
  // Zeroed by calloc: its pages are touched only as headers are kept.
  void* table = std::calloc(count, sizeof(Slot));
  if (table == nullptr) return false;
  std::free(slots_);
  std::free(marks_);
  slots_ = static_cast<Slot*>(table);
  marks_ = nullptr;
  slot_count_ = count;
  shift_ = shift;
  used_ = 0;
  return true;
}

void HeaderMemo::Locate(int64_t offset, size_t* place,
                        uint32_t* quotient) const {
  // The table has 3 << shift_ slots: a division by 3 after a shift, which
  // compiles to a multiplication.
  const uint64_t hash = Mix(offset, shift_ + kNamedBits);
  const uint64_t q = (hash >> shift_) / 3;
  *quotient = static_cast<uint32_t>(q);
  *place = static_cast<size_t>(hash - (q * 3 << shift_));
}

void HeaderMemo::Prefetch(int64_t offset) const {
#if defined(__GNUC__)
  if (offset < 0 || !Names(offset)) return;
  size_t place = 0;
  uint32_t quotient = 0;
  Locate(offset, &place, &quotient);
  __builtin_prefetch(&slots_[place]);
#else
  (void)offset;
#endif
}

bool HeaderMemo::Find(int64_t offset, SectorHeader* header) const {
  if (offset < 0 || !Names(offset)) return false;
  size_t at = 0;
  uint32_t high = 0;
  Locate(offset, &at, &high);
  for (uint32_t i = 0; i < kProbes;
       ++i, at = at + 1 == slot_count_ ? 0 : at + 1) {
    const Slot& slot = slots_[at];
    // Slots never empty again once used, so an empty one ends the search.
    if (slot.tag == 0) return false;
    if (slot.tag >> kDistanceShift != (high << kDistanceBits | i)) continue;
    header->offset = offset;
    header->id = {slot.id[0], slot.id[1], slot.id[2], slot.id[3]};
    header->count = slot.count;
    header->data_size = slot.data_size;
    const uint8_t none[3] = {0, 0, 0};
    const uint8_t* marks = marks_ != nullptr ? marks_[at] : none;
    header->density = marks[0];
    header->deleted = marks[1];
    header->status = marks[2];
    return true;
  }
  return false;
}

void HeaderMemo::Keep(const SectorHeader& header) {
  if (header.offset < 0 || header.offset >= kMaxOffset) return;
  const bool named = Names(header.offset);
  if (!named || (used_ >= slot_count_ / 3 * 2 && slot_count_ < kMaxSlots)) {
    if (!Grow(header.offset) && !named) return;
  }
  // The marks take room only once a header with marks is kept: those of
  // crafted long walks, and of most images, have none.
  const bool marked =
      header.density != 0 || header.deleted != 0 || header.status != 0;
  if (marked && marks_ == nullptr) {
    marks_ =
        static_cast<uint8_t(*)[3]>(std::calloc(slot_count_, sizeof(marks_[0])));
    // Kept without its marks, the header would read wrong.
    if (marks_ == nullptr) return;
  }
  size_t at = 0;
  uint32_t high = 0;
  Locate(header.offset, &at, &high);
  Slot* chosen = nullptr;
  uint32_t distance = 0;
  uint32_t oldest_age = 0;
  for (uint32_t i = 0; i < kProbes;
       ++i, at = at + 1 == slot_count_ ? 0 : at + 1) {
    Slot& slot = slots_[at];
    if (slot.tag == 0) {
      chosen = &slot;
      distance = i;
      ++used_;
      break;
    }
    // This walk's own slots have age 0 and stay.
    const uint32_t age = (walk_ - ((slot.tag >> 1) & kWalkMask)) & kWalkMask;
    if (age > oldest_age) {
      chosen = &slot;
      distance = i;
      oldest_age = age;
    }
  }
  if (chosen == nullptr) return;
  *chosen = {high << kHashShift | distance << kDistanceShift | walk_ << 1 | 1u,
             {header.id.c, header.id.h, header.id.r, header.id.n},
             static_cast<uint16_t>(header.count),
             static_cast<uint16_t>(header.data_size)};
  if (marks_ != nullptr) {
    uint8_t* marks = marks_[chosen - slots_];
    marks[0] = header.density;
    marks[1] = header.deleted;
    marks[2] = header.status;
  }
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
  header->density = bytes[kDensityOffset];
  header->deleted = bytes[kDeletedOffset];
  header->status = bytes[kStatusOffset];
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
  if (!done_) memo_.Prefetch(pos_);
  return true;
}

}  // namespace d88
