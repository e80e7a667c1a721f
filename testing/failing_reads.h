// A file source whose reads fail on purpose, put in place of the system's
// for every reader in the process.

#ifndef TESTING_FAILING_READS_H_
#define TESTING_FAILING_READS_H_

#include <cstdint>

namespace d88test {

// The `k`-th positioned read of an input file from now on (1 for the next
// one), in any reader, and the `count` - 1 reads after it, fail with the
// system error `code` (an errno value; a Windows error code on Windows) and
// deliver no bytes; other reads read the file. `k` of 0 puts the system's
// reads back.
void FailInputReads(int64_t k, int code, int64_t count = 1);

}  // namespace d88test

#endif  // TESTING_FAILING_READS_H_
