// The walk over a track's sector records, shared by the reader's lookups and
// listings, and the file bytes and record headers it reads. Internal to the
// reader.

#ifndef D88_SECTOR_WALK_H_
#define D88_SECTOR_WALK_H_

#include <cstddef>
#include <cstdint>

#include "d88/d88_format.h"
#include "d88/input_file.h"

namespace d88 {

// File bytes kept across reads and walks: kCacheBlocks blocks of kFetchSize
// bytes. Bytes that the file holds in memory are read in place instead. Block b
// holds the file's bytes from b * kFetchSize on, fetched with one positioned
// read, and stays in slot b % kCacheBlocks until another block takes that slot.
// A read returns what the file holds at its offset, as long as the file does
// not change while blocks are kept: fewer bytes only where the file ends, or
// where a read fails, which is then made straight on the file and not kept.
//
// Large (kCacheBlocks * kFetchSize bytes): the reader allocates it once.
// Its slots hold nothing until Clear is called.
class BlockCache {
 public:
  static constexpr size_t kCacheBlocks = 8;
  static constexpr size_t kFetchSize = 16384;

  // Forgets every block, for a file that has just been opened.
  void Clear();

  // Reads up to `len` bytes at `offset` of `file`; returns the number read.
  size_t ReadAt(const InputFile& file, int64_t offset, uint8_t* buf,
                size_t len);

  // The bytes of block `block` (0 or more) of `file`, and their number in
  // `*size`; null if the read of the block failed. Valid until the next
  // call of ReadAt or Block.
  const uint8_t* Block(const InputFile& file, int64_t block, size_t* size);

 private:
  struct Slot {
    int64_t block;  // -1: empty
    size_t size;    // less than kFetchSize where the file ends
  };

  Slot slots_[kCacheBlocks];
  uint8_t bytes_[kCacheBlocks][kFetchSize];
};

// The record headers that walks have read whole, by file offset, so that a
// later walk that reaches one of them, from any start and in any image,
// reads nothing from the file. Exact as long as the file does not change.
//
// A table of slots of 12 bytes and 3 bytes of marks each (the marks only
// once a header with marks other than 0 is kept), small at first:
// kSmallSlots (90 KiB), as much as the walks of ordinary images need. When
// two thirds of it are used, or an offset lies beyond what its slots can
// name (1 GiB), it is replaced by the large table of kMaxSlots (1.41 MiB),
// and what it kept is dropped: later walks read those 4,096 headers at most
// once more. A header is kept in one of the kProbes slots that follow the
// place its offset hashes to, in an empty one if there is one, else in place
// of the one that the oldest walk kept (a walk's headers replace the earlier
// walks', never its own; walks are told apart modulo 256, so a header kept a
// multiple of 256 walks earlier passes for the current walk's own and stays,
// which can cost a later read, never a wrong result). So the headers of a
// run as long as the longest walk fill two thirds of the large table and
// stay kept, whichever walks reach them, but for a rare few whose place is
// crowded; a file whose walks reach far more records than that keeps those
// that the latest walks read. Finding or keeping a header looks at kProbes
// slots at most, whatever the offsets. Offsets from kMaxOffset on are not
// kept (walks stay below it), nor are headers that need the large table
// while it cannot be allocated.
//
// Zeroed memory is an empty memo that holds no table. Release frees the
// table; the destructor does too.
class HeaderMemo {
 public:
  static constexpr size_t kSmallSlots = 3 << 11;
  static constexpr size_t kMaxSlots = 3 << 15;
  static constexpr uint32_t kProbes = 32;
  static constexpr int kOffsetBits = 34;
  static constexpr int64_t kMaxOffset = int64_t{1} << kOffsetBits;

  HeaderMemo() = default;
  ~HeaderMemo() { Release(); }
  HeaderMemo(const HeaderMemo&) = delete;
  HeaderMemo& operator=(const HeaderMemo&) = delete;

  // Forgets every header, for a file that has just been opened; a large
  // table is freed.
  void Clear();

  // Frees the table.
  void Release();

  // Starts a walk: the headers it keeps replace those of earlier walks.
  void StartWalk() { walk_ = (walk_ + 1) & kWalkMask; }

  // Stores the header at `offset` into `header` if it is kept.
  bool Find(int64_t offset, SectorHeader* header) const;

  // Starts fetching the memory where the header at `offset` would be kept,
  // so that the caller's work on the current header overlaps the wait.
  void Prefetch(int64_t offset) const;

  // Keeps `header`, read whole from the file.
  void Keep(const SectorHeader& header);

  // The number of slots of the table, 0 before anything is kept.
  size_t slot_count() const { return slot_count_; }

 private:
  // A slot's tag, from the low bit up: 1 when the slot is used; the number
  // of the walk that kept it, modulo 2^kWalkBits; its distance from the
  // place its offset hashes to (below kProbes); the hash divided by the
  // number of slots, whose remainder is the place. A table of 3 << shift
  // slots names the offsets below 2^(shift + kNamedBits): the hash is a
  // bijection on them, so the place and the quotient name the offset.
  static constexpr int kWalkBits = 8;
  static constexpr uint32_t kWalkMask = (uint32_t{1} << kWalkBits) - 1;
  static constexpr int kDistanceShift = 1 + kWalkBits;
  static constexpr int kDistanceBits = 5;
  static constexpr int kHashShift = kDistanceShift + kDistanceBits;
  static constexpr int kSmallShift = 11;
  static constexpr int kMaxShift = 15;
  static constexpr int kNamedBits = kOffsetBits - kMaxShift;
  static_assert(kSmallSlots == size_t{3} << kSmallShift, "3 << shift slots");
  static_assert(kMaxSlots == size_t{3} << kMaxShift, "3 << shift slots");
  static_assert(kProbes <= uint32_t{1} << kDistanceBits,
                "distances fit their bits");
  static_assert(((uint64_t{1} << kNamedBits) - 1) / 3 <
                    uint64_t{1} << (32 - kHashShift),
                "quotients fit their bits");

  struct Slot {
    uint32_t tag;  // 0: empty
    uint8_t id[4];
    uint16_t count;
    uint16_t data_size;
  };
  static_assert(sizeof(Slot) == 12, "slots of 12 bytes");

  // The table's place and quotient for `offset`, which its level names.
  void Locate(int64_t offset, size_t* place, uint32_t* quotient) const;
  // Whether the table names `offset`.
  bool Names(int64_t offset) const {
    return slots_ != nullptr && offset >> (shift_ + kNamedBits) == 0;
  }
  // Replaces the table with an empty one that names `offset`: the small one
  // if there is none yet and it does, else the large one. False if none can
  // be taken.
  bool Grow(int64_t offset);

  uint32_t walk_ = 0;
  // The table: slot_count_ slots, null until a header is kept; and their
  // marks (each slot's header's density, deleted mark and status, apart so
  // that the slots the searches probe stay small), null, that is all 0,
  // until a header with marks is kept.
  Slot* slots_ = nullptr;
  uint8_t (*marks_)[3] = nullptr;
  size_t slot_count_ = 0;  // 3 << shift_, or 0 without a table
  int shift_ = 0;
  size_t used_ = 0;  // slots that hold a header
};

// The walk of a sector lookup over one track's records, from the header at
// `start`. It ends after a record whose count is 0, after the last record
// that a header's count names, after the first header's count of records
// (damaged counts may never name the current record), or where a whole
// header cannot be read.
//
// A header that `memo` keeps costs no read; others are read through `cache`
// (one read of kFetchSize bytes, two where a header crosses the end of a
// block, none where the block is kept) and then kept in `memo`.
class SectorWalk {
 public:
  SectorWalk(const InputFile& file, BlockCache& cache, HeaderMemo& memo,
             int64_t start)
      : SectorWalk(file, cache, memo, start, 0, 0) {}

  // A walk that goes on from the header at `pos`, as a walk that has
  // visited `index` records before it, the first with count `first_count`.
  SectorWalk(const InputFile& file, BlockCache& cache, HeaderMemo& memo,
             int64_t pos, int32_t index, int32_t first_count)
      : file_(file),
        cache_(cache),
        memo_(memo),
        pos_(pos),
        index_(index),
        first_count_(first_count) {
    memo_.StartWalk();
  }

  SectorWalk(const SectorWalk&) = delete;
  SectorWalk& operator=(const SectorWalk&) = delete;

  // Reads the next record's header into `header`; false when the walk has
  // ended.
  bool Next(SectorHeader* header);

  // Whether the walk ended because a header could not be read whole.
  bool file_ended() const { return file_ended_; }

  // The records visited so far, counted from the walk's first record, and
  // that record's count (0 before it).
  int32_t index() const { return index_; }
  // The offset of the next header the walk reads.
  int64_t pos() const { return pos_; }
  int32_t first_count() const { return first_count_; }

 private:
  // Reads the header at pos_ from the file; false if it cannot be read
  // whole.
  bool ReadHeader(SectorHeader* header);

  const InputFile& file_;
  BlockCache& cache_;
  HeaderMemo& memo_;
  // The block that the last header read lay in, read in place while the
  // next header lies wholly inside it too.
  int64_t block_ = -1;
  const uint8_t* block_bytes_ = nullptr;
  size_t block_size_ = 0;
  int64_t pos_;
  int32_t index_ = 0;
  int32_t first_count_ = 0;
  bool done_ = false;
  bool file_ended_ = false;
};

}  // namespace d88

#endif  // D88_SECTOR_WALK_H_
