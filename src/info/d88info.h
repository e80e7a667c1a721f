// The d88info tool: tells a user what the images of a D88 file hold and,
// with --check, whether d88cut would write the game's files whole.

#ifndef INFO_D88INFO_H_
#define INFO_D88INFO_H_

namespace info {

// Runs the tool on a command line (program name, options, D88 files) and
// returns the exit status, the worst of the files':
//   d88info FILE...          an account of every image: 0 once the file
//                            opened;
//   d88info --check FILE...  0 if every disk 1 of the game can be extracted
//                            whole from unflagged sectors, 1 if something
//                            would be incomplete or flagged or no disk 1 is
//                            found;
//   --json                   the same as JSON, one document a line;
//   d88info --help, -h    the usage on standard output, 0;
//   d88info --version     the version on standard output, 0.
// Several files are described in turn, each under a header line; "-" is
// standard input. A file that cannot be a D88 file gets a verdict that says so
// in place of the account. A usage error (what is wrong, on standard error), a
// file that cannot be opened or read (the account then says so), or standard
// output that cannot be written gives 2.
int RunD88Info(int argc, char** argv);

}  // namespace info

#endif  // INFO_D88INFO_H_
