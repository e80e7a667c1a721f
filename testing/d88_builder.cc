#include "testing/d88_builder.h"

#include <cstdio>
#include <cstring>

namespace d88test {

using d88::kDataSizeOffset;
using d88::kDeletedOffset;
using d88::kDensityOffset;
using d88::kDiskNameOffset;
using d88::kDiskNameSize;
using d88::kDiskSizeOffset;
using d88::kImageHeaderSize;
using d88::kMediaTypeOffset;
using d88::kSectorCOffset;
using d88::kSectorCountOffset;
using d88::kSectorHeaderSize;
using d88::kSectorHOffset;
using d88::kSectorNOffset;
using d88::kSectorROffset;
using d88::kStatusOffset;
using d88::kTrackCount;
using d88::kTrackEntrySize;
using d88::kTrackTableOffset;
using d88::SectorId;

TrackBuilder& TrackBuilder::AddSector(SectorId id, Bytes data) {
  TrackSector record;
  record.id = id;
  record.data = std::move(data);
  records_.push_back(std::move(record));
  return *this;
}

ImageBuilder& ImageBuilder::SetName(const std::string& name) {
  name_ = name.substr(0, kDiskNameSize);
  return *this;
}

ImageBuilder& ImageBuilder::SetMediaType(uint8_t type) {
  media_type_ = type;
  return *this;
}

ImageBuilder& ImageBuilder::SetReservedFill(uint8_t fill) {
  reserved_fill_ = fill;
  return *this;
}

ImageBuilder& ImageBuilder::SetDiskSize(int64_t size) {
  disk_size_ = size;
  return *this;
}

ImageBuilder& ImageBuilder::SetTrackOffset(int track, int64_t offset) {
  track_offsets_[track] = offset;
  return *this;
}

TrackBuilder& ImageBuilder::AddTrack(int track) { return tracks_[track]; }

void StoreU16(Bytes& out, size_t offset, uint16_t value) {
  out[offset] = static_cast<uint8_t>(value & 0xFF);
  out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void StoreU32(Bytes& out, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) {
    out[offset + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
  }
}

Bytes BuildRecords(const TrackBuilder& track) {
  Bytes out;
  const size_t count = track.records().size();
  for (const TrackSector& record : track.records()) {
    const size_t at = out.size();
    out.resize(at + kSectorHeaderSize, record.filler);
    out[at + kSectorCOffset] = record.id.c;
    out[at + kSectorHOffset] = record.id.h;
    out[at + kSectorROffset] = record.id.r;
    out[at + kSectorNOffset] = record.id.n;
    if (record.density) out[at + kDensityOffset] = *record.density;
    if (record.deleted) out[at + kDeletedOffset] = *record.deleted;
    if (record.status) out[at + kStatusOffset] = *record.status;
    StoreU16(out, at + kSectorCountOffset,
             record.count.value_or(static_cast<uint16_t>(count)));
    StoreU16(
        out, at + kDataSizeOffset,
        record.data_size.value_or(static_cast<uint16_t>(record.data.size())));
    Append(out, record.data);
  }
  return out;
}

Bytes ImageBuilder::Build() const {
  Bytes out(kImageHeaderSize, 0);
  std::memcpy(out.data() + kDiskNameOffset, name_.data(), name_.size());
  for (size_t i = kDiskNameOffset + kDiskNameSize; i < kMediaTypeOffset; ++i) {
    out[i] = reserved_fill_;
  }
  out[kMediaTypeOffset] = media_type_;

  std::map<int, int64_t> offsets;
  for (const auto& [index, track] : tracks_) {
    offsets[index] = static_cast<int64_t>(out.size());
    Append(out, BuildRecords(track));
  }
  for (const auto& [index, offset] : track_offsets_) offsets[index] = offset;
  for (const auto& [index, offset] : offsets) {
    if (index < 0 || index >= kTrackCount) continue;
    StoreU32(out,
             kTrackTableOffset + kTrackEntrySize * static_cast<size_t>(index),
             static_cast<uint32_t>(offset));
  }
  StoreU32(out, kDiskSizeOffset,
           static_cast<uint32_t>(
               disk_size_.value_or(static_cast<int64_t>(out.size()))));
  return out;
}

Bytes Pattern(size_t size, uint32_t seed) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) {
    out[i] = static_cast<uint8_t>((seed * 31 + i * 7 + i / 256) & 0xFF);
  }
  return out;
}

void Append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool ReadFileBytes(const std::string& path, Bytes* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), f)) > 0) {
    out->insert(out->end(), chunk, chunk + got);
  }
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

}  // namespace d88test
