// What d88cut must leave in its working directory after a run on a D88
// file, for the tool's fuzz target and the replay of fuzz findings.

#ifndef FUZZ_EXPECTED_FILES_H_
#define FUZZ_EXPECTED_FILES_H_

#include <map>
#include <string>

#include "testing/d88_builder.h"

namespace d88test {

// Output files by name, with their contents.
using FileSet = std::map<std::string, Bytes>;

// The files that a run on the D88 file at `path` writes into an empty,
// writable directory: for every image recognised as disk 1, PROG and each
// file that its directory places on disk 1, of exactly the entry's size, with
// zero bytes where sectors cannot be read. A later disk 1 replaces the files
// of an earlier one. Worked out with a D88Image of its own, from the game's
// layout.
FileSet ExpectedFiles(const std::string& path);

// Compares the entries of directory `dir` with `expected`: only PROG and
// three-digit names may be there, each with the expected contents, and none
// may be missing. Returns an empty string or the first difference.
std::string CompareWithDirectory(const std::string& dir,
                                 const FileSet& expected);

}  // namespace d88test

#endif  // FUZZ_EXPECTED_FILES_H_
