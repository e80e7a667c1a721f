// Whether the bytes of a file can be a D88 file at all, judged by its first
// image. d88info says so before anything else, so that a zip or a text file
// is not taken for a damaged disk image.

#ifndef INFO_FILE_VERDICT_H_
#define INFO_FILE_VERDICT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "d88/d88_image.h"

namespace info {

// An archive or compressed file, told by its magic bytes.
struct ArchiveKind {
  const char* what;  // "a zip archive"
  // A command that writes an image inside it to standard output, with FILE
  // and NAME.d88 for the user to fill in.
  const char* extract;
};

// The kind of archive whose magic bytes begin `bytes`, the first `len`
// bytes of a file (kArchiveMagicSize suffice); null for none. Zip (also an
// empty or a spanned one), gzip, LZH, 7z, rar 4 and 5, xz, bzip2, zstd and
// cab. The magic bytes are chosen so that no D88 header holds them.
constexpr size_t kArchiveMagicSize = 32;
const ArchiveKind* FindArchive(const uint8_t* bytes, size_t len);

// FindArchive on the first bytes of the file open in `image`.
const ArchiveKind* ArchiveOf(d88::D88Image& image);

// Why the file open in `image`, of `file_size` bytes, cannot be a D88 file;
// empty when it can be one, however damaged or truncated, and when its size
// is unknown (negative). The file cannot be one when it is shorter than an
// image header, or when no track of the first image starts with a plausible
// sector header, unless it is a sound header of a disk with no track at
// all. A track counts where the reader reads it, and also where the track
// table puts it right after the header, as D88 files lay it out, read from
// the file whatever the disk size says: there a count from 1 up and
// plausible marks suffice, or a file that ends inside that first record.
// Plausible: a count of 1 to 255 sectors, N up to 8, up to 32 KiB of data,
// and density, deleted-mark and status bytes that a drive records. An
// archive that stores a D88 file shows none where its own bytes taken as a
// track table point. The reason
// names the header field at fault: the disk size when it lies beyond the
// file or below the header's size, else the track table or the sector
// headers.
//
// Changes the selection: image 0 is selected when the file holds one.
std::string NotD88Reason(d88::D88Image& image, int64_t file_size);

}  // namespace info

#endif  // INFO_FILE_VERDICT_H_
