// Seed inputs for the fuzz targets, built with the project's D88 builders.

#ifndef FUZZ_SEEDS_H_
#define FUZZ_SEEDS_H_

#include <string>
#include <vector>

#include "testing/d88_builder.h"

namespace d88test {

struct Seed {
  std::string name;
  Bytes bytes;
};

// D88 files for the tool's target: a minimal disk 1, a disk 2, disk 1
// damaged in the ways a worn or edited image is: truncated, tracks and
// sectors missing, sector counts that disagree, negative and huge sizes and
// offsets, a directory without a terminator; and chained images whose
// tracks all lead into one long block of records, some of 16 KiB each.
std::vector<Seed> ToolSeeds();

// Inputs for the reader's target: each file of `files` with a script that
// reads the game's sectors the way the tool does, and some with a script of
// hostile arguments.
std::vector<Seed> ReaderSeeds(const std::vector<Seed>& files);

}  // namespace d88test

#endif  // FUZZ_SEEDS_H_
