// Runs a tool's entry point (RunD88Cut, RunD88Info) inside the test
// process, for tests that use a seam of the code, such as a read that fails.

#ifndef TESTING_IN_PROCESS_H_
#define TESTING_IN_PROCESS_H_

#include <string>
#include <vector>

#include "testing/run_process.h"

namespace d88test {

// Calls `entry` with `argv` (argv[0] included) in the working directory
// `cwd`, with standard output and standard error going to files, and
// returns what it wrote there and its result as the exit code. The working
// directory and both streams are restored afterwards.
ProcessResult RunInProcess(int (*entry)(int, char**),
                           const std::vector<std::string>& argv,
                           const std::string& cwd);

}  // namespace d88test

#endif  // TESTING_IN_PROCESS_H_
