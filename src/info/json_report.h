// d88info --json: the account, and with --check the manifest of what d88cut
// would write, as one JSON document on one line. docs/json.md describes it.

#ifndef INFO_JSON_REPORT_H_
#define INFO_JSON_REPORT_H_

#include <cstdint>
#include <string>

#include "d88/d88_image.h"

namespace info {

// Bounds of the document of any file: the sector records it lists in all
// (each track lists at most kMaxIdsShown of its own), the anomalies of an
// image, and the flagged sectors of a file in the manifest; the manifest
// lists every file of each disk 1, or names the earlier disk 1 it repeats.
// Lists that are cut say how much they left out.
constexpr int32_t kMaxJsonSectors = 32768;
constexpr int32_t kMaxJsonAnomalies = 16;
constexpr int32_t kMaxJsonFlagged = 16;
// The manifest's digests cover this many file bytes, more than every file
// of a disk 1 (363 of 65,535 bytes and PROG); later files have none, and
// the manifest counts them.
constexpr int64_t kMaxJsonDigestBytes = 32 << 20;

// Writes the document of the file open in `image`, named `name` as the user
// gave it, to the account's output; with `check`, the manifest too.
// Returns the exit status as for the text account and --check; 2 after a
// read of the file failed, which the document then holds.
int RunJson(d88::D88Image& image, const std::string& name, bool check);

// The code of an anomaly of the account by its text: "disk-size-small",
// "disk-size-past-file", "offset-outside-disk", "counts-disagree",
// "zero-count", "odd-data-size", "duplicate-id", "past-file-end",
// "past-image-end", "sector-status", "deleted-mark", "media-mismatch";
// "other" for none of them.
const char* AnomalyCode(const std::string& text);

}  // namespace info

#endif  // INFO_JSON_REPORT_H_
