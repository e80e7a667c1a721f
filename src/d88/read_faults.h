// Test seam of the reader: reads of the input that fail on purpose. Not part
// of the installed library.

#ifndef D88_READ_FAULTS_H_
#define D88_READ_FAULTS_H_

#include <cstdint>

namespace d88 {

// The `k`-th read of an input file from now on (1 for the next one), in any
// reader, and the `count` - 1 reads after it, fail with the system error
// `code` (an errno value; a Windows error code on Windows) and deliver no
// bytes. `k` of 0 turns it off.
void FailInputReadsForTesting(int64_t k, int code, int64_t count = 1);

}  // namespace d88

#endif  // D88_READ_FAULTS_H_
