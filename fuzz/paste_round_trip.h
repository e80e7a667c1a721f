// The round trip of d88cut and d88paste on one D88 file, for d88paste's
// property test and its fuzz target: d88cut's files, edited at random, go
// back with d88paste, and the result must be the refusal the edit calls for
// or exactly the edit.

#ifndef FUZZ_PASTE_ROUND_TRIP_H_
#define FUZZ_PASTE_ROUND_TRIP_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "testing/d88_builder.h"

namespace d88test {

using Files = std::map<std::string, Bytes>;

// The names in directory `dir`, sorted, and its files with their bytes.
std::vector<std::string> Names(const std::string& dir);
Files ReadFiles(const std::string& dir);

// Runs d88cut in this process on `image_path`, in a new directory `dir`,
// and returns the files it wrote.
Files CutInProcess(const std::string& image_path, const std::string& dir);

// Where the size field of directory entry `k` lies inside PROG.
size_t SizeFieldInProg(int32_t k);

// In the empty directory `dir`: writes `image` as in.d88, extracts it with
// d88cut, edits the files as `seed` decides (sizes within their sectors
// mostly, some beyond, some files left out, a PROG of another size, a
// number the directory may not list on disk 1; seed 0 edits nothing) and
// runs d88paste. What it must do follows from the edit and the image as
// the reader reads it: where a file must be refused (a PROG of another
// size, a number not listed on disk 1, a file larger than its sectors), exit
// status 1, an error line naming each such file and no OUT and no
// temporary file; otherwise OUT, on which d88cut gives exactly the edited
// files, PROG's directory with the new sizes, and every byte of OUT outside
// the edited files equals the input's. Files with sectors the image does
// not hold whole, or that share bytes, may instead be refused by name.
// An unedited folder must give OUT equal to the input when the file holds
// one disk 1. Returns an empty string or what went wrong; `*round_trip`
// tells whether d88paste wrote OUT.
std::string CheckPasteRoundTrip(const Bytes& image, uint32_t seed,
                                const std::string& dir, bool* round_trip);

}  // namespace d88test

#endif  // FUZZ_PASTE_ROUND_TRIP_H_
