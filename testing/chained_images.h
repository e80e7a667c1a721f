// Builds hostile D88 files of one class: images chained back to back whose
// tracks all lead, record by record, into one long shared block of records
// that match no lookup, with the game's sectors after it. Every walk over
// any track of any image runs through the whole block, so a reader that
// walks a track again for every lookup spends images x lookups x block
// records on such a file.
//
// Image k holds its header and `starts` records of 16 bytes, one per
// distinct track start. Record j of image k has a data size that jumps over
// the next image's header to record j of image k + 1; record j of the last
// image jumps to record j * kChainedBlockStride of the block, so walks from
// different starts merge into the block at different records (all at its
// first record when the block's records have data, which a jump cannot
// cross). Track t of every image starts at record t % `starts`. Every record
// claims 65,535 sectors, so only the end of the walk's records or of the
// file ends it. Each record of the block is followed by `block_gap` bytes of
// zeros: with 16 KiB, every header lies in a block of the file of its own.
//
// After the block come the game's sectors: track 0 R 6 (the signature of
// disk 1) and tracks 66 to 65 + `file_tracks` whole (PROG, the directory
// and the sectors of files), each record with the ID its track gives it.
// The directory holds `entries` entries from entry 2 on, each a file on
// disk 1 of `entry_size` bytes. With one start per image they all start at
// PROG's first record; otherwise their starts spread over tracks 1 to 163,
// most of them on tracks that hold no sector.

#ifndef TESTING_CHAINED_IMAGES_H_
#define TESTING_CHAINED_IMAGES_H_

#include <cstdint>
#include <functional>

#include "testing/d88_builder.h"

namespace d88test {

// Records of the block between the places where two starts enter it.
constexpr int32_t kChainedBlockStride = 20;

struct ChainedImagesShape {
  int32_t images = 64;  // 1 to 64
  int32_t starts = 1;   // distinct track starts per image, 1 to 164
  int32_t block_records = 16384;
  uint16_t block_gap = 0;   // data bytes after each record of the block
  int32_t file_tracks = 9;  // tracks from 66 on that hold sectors, >= 3
  // From the block's record 1000 on, counts that tell walks apart: each
  // would end a walk whose index there is 1,000 more, or 1,000 less, than
  // that of a walk from the first image, so none ends any walk but they
  // spread over 2,000 values within any 512 records (with one run, and
  // fewer than 64,000 records in the block).
  bool spread_counts = false;
  // Runs that take the block's records by turns: each record's data jumps
  // over the records of the other runs, the last of each to the game's
  // sectors, and start j enters run j % runs. `runs` divides block_records,
  // and a jump, (runs - 1) * (16 + block_gap) + block_gap, stays below
  // 65,536 bytes.
  int32_t runs = 1;
  int32_t entries = 363;  // directory entries, 0 to 363
  uint16_t entry_size = 0xFFFF;
};

// The file `shape` describes; the default shape makes 64 images of one
// start each, a block of 16,384 records and a directory of 363 files of
// 65,535 bytes: about 375 KB.
Bytes BuildChainedImages(const ChainedImagesShape& shape = {});

// The same file in pieces, for writing it sparse: calls `piece` with each
// stretch that holds bytes other than zeros, in file order, and returns the
// file's length; the bytes between the stretches are zeros.
int64_t ForEachChainedPiece(
    const ChainedImagesShape& shape,
    const std::function<void(int64_t offset, const Bytes& bytes)>& piece);

}  // namespace d88test

#endif  // TESTING_CHAINED_IMAGES_H_
