// The d88cut tool: finds the game's disks in a D88 file and extracts the
// program PROG and the data files of disk 1 into the current directory.

#ifndef CUT_D88CUT_H_
#define CUT_D88CUT_H_

#include <cstdint>

#include "game/game_layout.h"

namespace common {
class FilePublisher;
}  // namespace common

namespace cut {

// Sets up the signals of the tool's process: a closed pipe on standard
// output and a file size limit make a write fail instead of killing the
// process, and the signals that end it (RemoveTemporaryFileOnSignals)
// remove a temporary file first. For main, before RunD88Cut.
void SetUpSignals();

// Runs the tool on a command line (program name, D88 file, an ignored
// second argument). Writes the console text and the files; returns the
// exit status: 0 after every image was visited, 1 for a usage error, an
// unopenable file or an output file that could not be written (the input
// file is never replaced, even where it has an output name; where the
// system cannot tell which file the input is, no existing file is
// replaced). May be called again in the same process; each call is a run
// of its own.
int RunD88Cut(int argc, char** argv);

// The same, writing the files through `publisher`, which must be new.
int RunD88Cut(int argc, char** argv, common::FilePublisher* publisher);

// Test seam: while `hide` is set, runs take the input file's identity as
// unknown, as where the system cannot tell it.
void HideInputIdentityForTesting(bool hide);

// Writes PROG and the directory's disk-1 files of the selected image,
// listing every directory entry on standard output. Call only during a run,
// while the tool's image is open with a disk-1 image selected and the
// sector range set to the game's.
void ExtractGameFiles();

// What became of one extracted file.
struct ExtractReport {
  int32_t missing;   // bytes at the end that could not be read whole
  char reason[256];  // why the file was not written, when it was not
};

// Reads `length` bytes of consecutive sectors from `from` on into
// the start of the work area, after zeroing that range, and writes the bytes
// from `offset` on to the file `name`, replacing any file of that name.
// Returns true if the file was written whole; `report` tells how many bytes
// were missing and, on failure, why. Call only during a run. The caller
// ensures that `offset` and `length` are not negative and `offset + length`
// lies within the work area.
bool ExtractFile(const char* name, game::GamePosition from, int32_t offset,
                 int32_t length, ExtractReport* report);

}  // namespace cut

#endif  // CUT_D88CUT_H_
