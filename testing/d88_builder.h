// Builds D88 files in memory, for tests, sample images and benchmarks.
//
//   ImageBuilder disk;
//   disk.SetName("GAME1");
//   disk.AddTrack(0).AddSector({0, 0, 1, 3}, Pattern(1024, 7));
//   std::vector<uint8_t> file = disk.Build();
//
// Every header field can be overridden to describe damage: a sector count
// that disagrees, a data size that does not match the data, a track table
// entry that points anywhere, a disk size that lies.

#ifndef TESTING_D88_BUILDER_H_
#define TESTING_D88_BUILDER_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "d88/d88_format.h"

namespace d88test {

using Bytes = std::vector<uint8_t>;

struct TrackSector {
  d88::SectorId id;
  Bytes data;
  // Header fields; unset means "what a sound image would hold": the number
  // of records in the track and the length of `data`.
  std::optional<uint16_t> count;
  std::optional<uint16_t> data_size;
  // Bytes 6-13 of the header (density, deleted mark, status, reserved).
  uint8_t filler = 0;
  // Set: bytes 6, 7 and 8 in place of `filler`.
  std::optional<uint8_t> density;
  std::optional<uint8_t> deleted;
  std::optional<uint8_t> status;
};

class TrackBuilder {
 public:
  TrackBuilder& AddSector(d88::SectorId id, Bytes data);
  // The record added last, to adjust its fields.
  TrackSector& Last() { return records_.back(); }
  std::vector<TrackSector>& records() { return records_; }
  const std::vector<TrackSector>& records() const { return records_; }

 private:
  std::vector<TrackSector> records_;
};

// The track's records back to back, as a track of an image holds them.
Bytes BuildRecords(const TrackBuilder& track);

class ImageBuilder {
 public:
  ImageBuilder& SetName(const std::string& name);  // at most 16 bytes
  ImageBuilder& SetMediaType(uint8_t type);
  // Fill for header bytes 0x10-0x1A.
  ImageBuilder& SetReservedFill(uint8_t fill);
  // Overrides the disk size field; unset, it is the built image's length.
  ImageBuilder& SetDiskSize(int64_t size);
  // Overrides a track table entry, whether or not the track has records.
  ImageBuilder& SetTrackOffset(int track, int64_t offset);

  // The track at index `track`, created empty (and present) on first use.
  TrackBuilder& AddTrack(int track);
  TrackBuilder& Track(int track) { return AddTrack(track); }
  bool HasTrack(int track) const { return tracks_.count(track) != 0; }

  // The image: header, then the tracks in index order.
  Bytes Build() const;

 private:
  std::string name_;
  uint8_t media_type_ = 0;
  uint8_t reserved_fill_ = 0;
  std::optional<int64_t> disk_size_;
  std::map<int, int64_t> track_offsets_;
  std::map<int, TrackBuilder> tracks_;
};

// `size` bytes that differ from sector to sector: byte i is
// (seed * 31 + i * 7 + i / 256) mod 256.
Bytes Pattern(size_t size, uint32_t seed);

// Appends `more` to `out`.
void Append(Bytes& out, const Bytes& more);

// Writes `bytes` to `path`; returns false on failure.
bool WriteFileBytes(const std::string& path, const Bytes& bytes);

// Reads a whole file; returns false if it cannot be read.
bool ReadFileBytes(const std::string& path, Bytes* out);

// Little-endian stores, for patching built bytes.
void StoreU16(Bytes& out, size_t offset, uint16_t value);
void StoreU32(Bytes& out, size_t offset, uint32_t value);

}  // namespace d88test

#endif  // TESTING_D88_BUILDER_H_
