// The walk over a track's sector records, shared by the reader's lookups and
// listings, and the file bytes it reads. Internal to the reader.

#ifndef D88_SECTOR_WALK_H_
#define D88_SECTOR_WALK_H_

#include <cstddef>
#include <cstdint>

#include "d88/d88_image.h"
#include "d88/input_file.h"

namespace d88 {

// File bytes kept across reads and walks: kCacheBlocks blocks of kFetchSize
// bytes. Block b holds the file's bytes from b * kFetchSize on, fetched with
// one positioned read, and stays in slot b % kCacheBlocks until another
// block takes that slot. A read returns what the file holds at its offset,
// as long as the file does not change while blocks are kept: fewer bytes
// only where the file ends, or where a read fails, which is then made
// straight on the file and not kept.
//
// Large (kCacheBlocks * kFetchSize bytes): the reader allocates it once.
// Its slots hold nothing until Clear is called.
class BlockCache {
 public:
  static constexpr size_t kCacheBlocks = 32;
  static constexpr size_t kFetchSize = D88Image::kFetchSize;

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

// The walk of a sector lookup over one track's records, from the header at
// `start`. It ends after a record whose count is 0, after the last record
// that a header's count names, after the first header's count of records
// (damaged counts may never name the current record), or where a whole
// header cannot be read.
class SectorWalk {
 public:
  SectorWalk(const InputFile& file, BlockCache& cache, int64_t start)
      : file_(file), cache_(cache), pos_(start) {}

  SectorWalk(const SectorWalk&) = delete;
  SectorWalk& operator=(const SectorWalk&) = delete;

  // Reads the next record's header into `header`; false when the walk has
  // ended.
  bool Next(SectorHeader* header);

  // Whether the walk ended because a header could not be read whole.
  bool file_ended() const { return file_ended_; }

 private:
  const InputFile& file_;
  BlockCache& cache_;
  // The block that the last header lay in, read in place while the next
  // header lies wholly inside it too.
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
