// The d88cut tool: finds the game's disks in a D88 file and extracts the
// program PROG and the data files of disk 1 into the current directory.

#ifndef CUT_D88CUT_H_
#define CUT_D88CUT_H_

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

}  // namespace cut

#endif  // CUT_D88CUT_H_
