// Whether the bytes of a file can be a D88 file at all, judged by its first
// image. d88info says so before anything else, so that a zip or a text file
// is not taken for a damaged disk image.

#ifndef INFO_FILE_VERDICT_H_
#define INFO_FILE_VERDICT_H_

#include <cstdint>
#include <string>

#include "d88/d88_image.h"

namespace info {

// Why the file open in `image`, of `file_size` bytes, cannot be a D88 file;
// empty when it can be one, however damaged or truncated, and when its size
// is unknown (negative). The file cannot be one when it is shorter than an
// image header, or when the first image has neither a track table laid out
// as D88 files lay it out (a track right after the header) nor a track that
// starts with a plausible sector header, unless it is a sound header of a
// disk with no track at all. The reason names the header field at fault:
// the disk size when it lies beyond the file or below the header's size,
// else the track table or the sector headers.
//
// Changes the selection: image 0 is selected when the file holds one.
std::string NotD88Reason(d88::D88Image& image, int64_t file_size);

}  // namespace info

#endif  // INFO_FILE_VERDICT_H_
