// Byte layout of a D88 disk image file.
//
// A file holds one or more images back to back. Each image starts with an
// ImageHeader; the next image starts at this image's start plus its disk size.
//
//   ImageHeader (688 bytes)
//     0x00  16  disk name, NUL-padded (no NUL when all 16 bytes are used)
//     0x10  10  name terminator, reserved (not read)
//     0x1A   1  write protect (not read by the reader; 0x10: protected)
//     0x1B   1  media type
//     0x1C   4  disk size, header included
//     0x20 656  track table: 164 offsets of 4 bytes from the image start,
//               0 for an absent track
//
// A track is a run of sector records, each a SectorHeader followed by
// data-size bytes of data.
//
//   SectorHeader (16 bytes)
//     0  1  C (cylinder)
//     1  1  H (head)
//     2  1  R (sector number)
//     3  1  N (size code: nominal size 128 << N)
//     4  2  number of sectors in the track
//     6  1  density
//     7  1  deleted-data mark
//     8  1  status
//     9  5  reserved (not read)
//    14  2  data size
//
// All multi-byte fields are little-endian.

#ifndef D88_D88_FORMAT_H_
#define D88_D88_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace d88 {

constexpr int kMaxImages = 64;
constexpr int kTrackCount = 164;

constexpr size_t kImageHeaderSize = 0x2B0;
constexpr size_t kDiskNameOffset = 0x00;
constexpr size_t kDiskNameSize = 16;
constexpr size_t kWriteProtectOffset = 0x1A;
constexpr size_t kMediaTypeOffset = 0x1B;
constexpr size_t kDiskSizeOffset = 0x1C;
constexpr size_t kTrackTableOffset = 0x20;
constexpr size_t kTrackEntrySize = 4;

constexpr size_t kSectorHeaderSize = 16;
constexpr size_t kSectorCOffset = 0;
constexpr size_t kSectorHOffset = 1;
constexpr size_t kSectorROffset = 2;
constexpr size_t kSectorNOffset = 3;
constexpr size_t kSectorCountOffset = 4;
constexpr size_t kDensityOffset = 6;
constexpr size_t kDeletedOffset = 7;
constexpr size_t kStatusOffset = 8;
constexpr size_t kDataSizeOffset = 14;

// Largest value of a sector header's count of sectors in the track.
constexpr int32_t kMaxSectorCount = 0xFFFF;

// Largest size code whose nominal size 128 << N fits a signed 32-bit value.
constexpr int kMaxSizeCode = 23;

// Nominal size of a sector of size code `n` (0 to kMaxSizeCode).
constexpr int64_t NominalSectorSize(int n) { return int64_t{128} << n; }

// The ID that names a sector: cylinder C, head H, sector number R and size
// code N, as the first four bytes of its SectorHeader hold them. A lookup
// matches all four exactly.
struct SectorId {
  uint8_t c = 0;
  uint8_t h = 0;
  uint8_t r = 0;
  uint8_t n = 0;
};

constexpr bool operator==(SectorId a, SectorId b) {
  return a.c == b.c && a.h == b.h && a.r == b.r && a.n == b.n;
}
constexpr bool operator!=(SectorId a, SectorId b) { return !(a == b); }

// A sector header as a walk over a track sees it: where it lies in the file,
// the sector's ID, the track's sector count as this header gives it, and the
// number of data bytes that follow the header; then the marks the dumping
// drive recorded, which are reported and never decide a lookup.
struct SectorHeader {
  int64_t offset;  // file offset of the header
  SectorId id;
  int32_t count;
  int32_t data_size;
  uint8_t density = 0;  // 0x00 double, 0x40 single, 0x01 high density
  uint8_t deleted = 0;  // 0x10: the sector carries a deleted-data mark
  uint8_t status = 0;   // the drive's status: 0x00 normal, else an error
};

static_assert(kTrackTableOffset + kTrackCount * kTrackEntrySize ==
                  kImageHeaderSize,
              "the track table ends the image header");

// Little-endian fields, assembled byte by byte.
inline uint16_t DecodeU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t DecodeU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// A 4-byte field as the signed value the reader keeps: 2^31 and above are
// negative.
inline int32_t DecodeI32(const uint8_t* p) {
  const uint32_t u = DecodeU32(p);
  return u <= 0x7FFFFFFFu
             ? static_cast<int32_t>(u)
             : static_cast<int32_t>(u - 0x80000000u) - 0x7FFFFFFF - 1;
}

}  // namespace d88

#endif  // D88_D88_FORMAT_H_
