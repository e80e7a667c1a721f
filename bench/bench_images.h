// The benchmark inputs, built with the D88 builders.
//
// The full disk 1 holds all 77 cylinders. Its directory is full: entries 2
// to 364 are disk-1 files of 1 to 8 KiB that cover every sector after PROG,
// one file after the other, so extracting it reads every sector from PROG
// to the end of the disk.

#ifndef BENCH_BENCH_IMAGES_H_
#define BENCH_BENCH_IMAGES_H_

#include <string>

#include "testing/chained_images.h"
#include "testing/d88_builder.h"

namespace d88test {

// Number of images in the many-images file: disk 1, then disk 2 repeated.
constexpr int kManyImageCount = 64;

// The full disk 1 alone.
Bytes BuildFullDisk();

// kManyImageCount images: the full disk 1, then full disk 2 images.
Bytes BuildManyDisks();

// Writes full.d88, many.d88 and worst.d88 (the chained images of
// testing/chained_images.h in their default shape) into `dir` (which must
// exist); returns false and names the file that failed in `failed` on
// failure.
bool WriteBenchImages(const std::string& dir, std::string* failed);

// The long walks: one image whose 164 tracks each start a walk of their own
// that leads through the same 64,000 records, each followed by 16 KiB of
// zeros (1 GB); and 64 images chained in front of such a block, the tracks
// of each sharing one start, which leads through the later images' starts
// into the block; and 64 such images whose 164 tracks each start a walk of
// their own (10,496 walks into the block); those with counts in the block
// that end no walk but spread wide; and those whose starts take turns
// between two runs through the block, each of every other record
// (ChainedImagesShape).
ChainedImagesShape LongWalkShape();
ChainedImagesShape ChainedLongWalkShape();
ChainedImagesShape ChainedStartsLongWalkShape();
ChainedImagesShape SpreadCountsLongWalkShape();
ChainedImagesShape TwoRunsLongWalkShape();

// Writes the file `shape` describes to `path` as a sparse file: only the
// stretches that hold bytes other than zeros take room on the disk (1 GB
// apparent, about 260 MB written for LongWalkShape). False on failure.
bool WriteSparseChainedImages(const std::string& path,
                              const ChainedImagesShape& shape);

}  // namespace d88test

#endif  // BENCH_BENCH_IMAGES_H_
