// The d88paste tool: puts the files that d88cut extracted (PROG and the
// directory's disk-1 files), edited or not, back into a copy of the D88
// file, so that the copy extracts to exactly those files.

#ifndef PASTE_D88PASTE_H_
#define PASTE_D88PASTE_H_

namespace common {
class FilePublisher;
}  // namespace common

namespace paste {

// Sets up the signals of the tool's process: a closed pipe on standard
// output and a file size limit make a write fail instead of killing the
// process, and SIGINT, SIGTERM and SIGHUP remove a temporary file before
// they end it. For main, before RunD88Paste.
void SetUpSignals();

// Runs the tool on a command line: `d88paste [-C DIR] [--image N] [-n]
// IN.d88 OUT.d88`, `--help` or `--version`. Prints one line per changed
// file and writes OUT whole, or lists every error on standard error and
// writes nothing. Returns the exit status: 0 done (also when nothing
// changed), 1 when anything was refused, 2 for a usage error. May be called
// again in the same process; each call is a run of its own.
int RunD88Paste(int argc, char** argv);

// The same, publishing OUT through `publisher`, which must be new.
int RunD88Paste(int argc, char** argv, common::FilePublisher* publisher);

}  // namespace paste

#endif  // PASTE_D88PASTE_H_
