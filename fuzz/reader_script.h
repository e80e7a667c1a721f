// Inputs of the reader's fuzz target: a script of D88Image calls and the D88
// file they run on. Shared by the fuzz target, the seed generator and the
// replay of fuzz findings.
//
//   byte 0     number of calls; at most kMaxReaderCalls are used
//   25 bytes   per call: a kind byte (ReaderOp, modulo kReaderOpCount), then
//              six little-endian signed 32-bit arguments
//   the rest   the D88 file
//
// Arguments reach the reader unchanged, negative and huge values included,
// with one exception: a read length above kMaxReadLength is taken modulo
// kMaxReadLength + 1, since the script must allocate the buffer it names.

#ifndef FUZZ_READER_SCRIPT_H_
#define FUZZ_READER_SCRIPT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testing/d88_builder.h"

namespace d88test {

// What a call does with its arguments a[0] .. a[5].
enum class ReaderOp : uint8_t {
  kOpen,            // Open the file again
  kClose,           // Open(nullptr)
  kSelectImage,     // SelectImage(a[0])
  kSetSectorRange,  // SetSectorRange(a[0], a[1])
  kReadSector,      // ReadSector(a[0] track, a[1] c, a[2] h, a[3] r, a[4] n,
                    //            buffer, a[5] length)
  kReadSectors,     // ReadSectors, arguments as ReadSector
  kReadTrackIds,    // ReadTrackIds(a[0] track, buffer, a[5] length)
  kGetTrackOffset,  // GetTrackOffset(a[0])
};
constexpr int kReaderOpCount = 8;

struct ReaderCall {
  ReaderOp op;
  int32_t a[6];
};

constexpr size_t kMaxReaderCalls = 32;
constexpr size_t kReaderCallSize = 25;
constexpr int32_t kMaxReadLength = 1 << 18;

struct ReaderScript {
  std::vector<ReaderCall> calls;
  Bytes file;
};

// Splits an input into its calls and its file. Every input is a script: a
// count larger than the calls that follow it is lowered.
ReaderScript ParseReaderScript(const uint8_t* data, size_t size);

// The input that ParseReaderScript turns into `calls` and `file`.
Bytes EncodeReaderScript(const std::vector<ReaderCall>& calls,
                         const Bytes& file);

// Writes the script's file to `path`, opens it with a D88Image and makes the
// script's calls. Each result, and each byte of each destination buffer, is
// compared with an in-memory model of the reader's documented behaviour.
// Returns an empty string, or a description of the first difference.
std::string RunReaderScript(const ReaderScript& script,
                            const std::string& path);

// Writes `file` to `path` and compares ReadSector's results and bytes with
// the model's plain walk for lookups on every track of every image: for
// R 0 to 9 and 255 with the game's C, H and N of the track, and on the
// first track that starts at a place, also with those of the first records
// that its walk visits, for every R those records have; with lengths that
// cut data short and that take it whole. Lookups with another C, H or N
// come between, as the reader's notes of a track must handle. Stops after
// `max_lookups` lookups. Returns an empty string, or a description of the
// first difference.
std::string CompareEveryLookup(const Bytes& file, const std::string& path,
                               size_t max_lookups = SIZE_MAX);

}  // namespace d88test

#endif  // FUZZ_READER_SCRIPT_H_
