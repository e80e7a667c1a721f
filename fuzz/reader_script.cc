#include "fuzz/reader_script.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "d88/d88_format.h"
#include "d88/d88_image.h"

namespace d88test {

using d88::D88Image;
using d88::DecodeI32;
using d88::DecodeU16;
using d88::kDataSizeOffset;
using d88::kDiskNameSize;
using d88::kDiskSizeOffset;
using d88::kImageHeaderSize;
using d88::kMaxImages;
using d88::kMaxSizeCode;
using d88::kMediaTypeOffset;
using d88::kSectorCOffset;
using d88::kSectorCountOffset;
using d88::kSectorHeaderSize;
using d88::kSectorHOffset;
using d88::kSectorNOffset;
using d88::kSectorROffset;
using d88::kTrackCount;
using d88::kTrackEntrySize;
using d88::kTrackTableOffset;
using d88::SectorId;

namespace {

// Keys of C, H and N that CompareEveryLookup tries on a track, its
// game's key included.
constexpr size_t kMaxKeysPerTrack = 5;

// The reader's documented behaviour, computed on the file's bytes in memory
// instead of through seeks and reads.
class ReaderModel {
 public:
  explicit ReaderModel(const Bytes& file) : file_(file) {}

  void Open() {
    Close();
    open_ = true;
    int64_t total = 0;
    while (count_ < kMaxImages && total >= 0 && total <= INT32_MAX &&
           Holds(total, kImageHeaderSize)) {
      offsets_[count_++] = static_cast<int32_t>(total);
      total += DecodeI32(&file_[static_cast<size_t>(total) + kDiskSizeOffset]);
    }
  }

  void Close() {
    open_ = false;
    count_ = 0;
    media_type_ = -1;
  }

  int32_t count() const { return count_; }
  int32_t media_type() const { return media_type_; }
  int32_t disk_size() const { return disk_size_; }
  int32_t base() const { return base_; }
  const std::string& name() const { return name_; }

  bool SelectImage(int32_t index) {
    if (!open_) return false;
    base_ = -1;
    media_type_ = -1;
    disk_size_ = 0;
    name_.clear();
    if (index < 0 || index >= count_) return false;
    base_ = offsets_[index];
    const uint8_t* header = &file_[static_cast<size_t>(base_)];
    for (int i = 0; i < kTrackCount; ++i) {
      table_[i] = DecodeI32(header + kTrackTableOffset +
                            kTrackEntrySize * static_cast<size_t>(i));
    }
    media_type_ = header[kMediaTypeOffset];
    disk_size_ = DecodeI32(header + kDiskSizeOffset);
    for (size_t i = 0; i < kDiskNameSize && header[i] != 0; ++i) {
      name_ += static_cast<char>(header[i]);
    }
    return true;
  }

  void SetSectorRange(int32_t first, int32_t last) {
    first_ = first;
    last_ = last;
  }

  int32_t TrackOffset(int32_t track) const {
    return track < 0 || track >= kTrackCount ? 0 : table_[track];
  }

  int32_t ReadSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                     uint8_t* buf, int32_t max_len) const {
    if (!TrackIsValid(track)) return 0;
    int64_t pos = int64_t{base_} + table_[track];
    int32_t first_count = 0;
    for (int32_t i = 0;; ++i) {
      if (!Holds(pos, kSectorHeaderSize)) return 0;
      const uint8_t* header = &file_[static_cast<size_t>(pos)];
      pos += static_cast<int64_t>(kSectorHeaderSize);
      const int32_t count = DecodeU16(header + kSectorCountOffset);
      const int32_t data_size = DecodeU16(header + kDataSizeOffset);
      if (count == 0) return 0;
      if (i == 0) first_count = count;
      if (header[kSectorCOffset] == c && header[kSectorHOffset] == h &&
          header[kSectorROffset] == r && header[kSectorNOffset] == n) {
        int64_t want = data_size < max_len ? data_size : max_len;
        if (want <= 0) return 0;
        const int64_t left = static_cast<int64_t>(file_.size()) - pos;
        if (want > left) want = left > 0 ? left : 0;
        if (want > 0) {
          std::memcpy(buf, &file_[static_cast<size_t>(pos)],
                      static_cast<size_t>(want));
        }
        return static_cast<int32_t>(want);
      }
      pos += data_size;
      // The first header's count bounds the walk as well as each header's.
      if (i == count - 1 || i + 1 >= first_count) return 0;
    }
  }

  int32_t ReadSectors(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                      uint8_t* buf, int32_t len) const {
    if (n < 0 || n > kMaxSizeCode) return 0;
    int32_t chunk = int32_t{128} << n;
    int32_t done = 0;
    while (done < len) {
      if (len - done < chunk) chunk = len - done;
      if (ReadSector(track, c, h, r, n, buf + done, chunk) < chunk) break;
      done += chunk;
      if (r == last_) {
        ++track;
        c += h == 0 ? 0 : 1;
        h = h == 0 ? 1 : 0;
        r = first_;
      } else {
        ++r;
      }
    }
    return done;
  }

  // The IDs of the records that a lookup's walk over `track` visits, at
  // most `max` of them.
  std::vector<SectorId> WalkIds(int32_t track, size_t max) const {
    std::vector<SectorId> ids;
    if (!TrackIsValid(track)) return ids;
    int64_t pos = int64_t{base_} + table_[track];
    int32_t first_count = 0;
    for (int32_t i = 0; ids.size() < max; ++i) {
      if (!Holds(pos, kSectorHeaderSize)) break;
      const uint8_t* header = &file_[static_cast<size_t>(pos)];
      const int32_t count = DecodeU16(header + kSectorCountOffset);
      ids.push_back({header[kSectorCOffset], header[kSectorHOffset],
                     header[kSectorROffset], header[kSectorNOffset]});
      if (count == 0) break;
      if (i == 0) first_count = count;
      pos += static_cast<int64_t>(kSectorHeaderSize) +
             DecodeU16(header + kDataSizeOffset);
      if (i == count - 1 || i + 1 >= first_count) break;
    }
    return ids;
  }

  int32_t ReadTrackIds(int32_t track, uint8_t* buf, int32_t len) const {
    if (!TrackIsValid(track)) return 0;
    int64_t pos = int64_t{base_} + table_[track];
    int32_t stored = 0;
    for (int32_t i = 0; len - stored >= 4; ++i) {
      if (!Holds(pos, kSectorHeaderSize)) break;
      const uint8_t* header = &file_[static_cast<size_t>(pos)];
      std::memcpy(buf + stored, header, 4);
      stored += 4;
      pos += static_cast<int64_t>(kSectorHeaderSize) +
             DecodeU16(header + kDataSizeOffset);
      if (i == DecodeU16(header + kSectorCountOffset) - 1) break;
    }
    return stored;
  }

 private:
  bool Holds(int64_t pos, size_t len) const {
    return pos >= 0 && static_cast<uint64_t>(pos) <= file_.size() &&
           len <= file_.size() - static_cast<size_t>(pos);
  }

  bool TrackIsValid(int32_t track) const {
    if (!open_ || track < 0 || track >= kTrackCount) return false;
    return table_[track] > 0 && table_[track] <= disk_size_ && base_ >= 0;
  }

  const Bytes& file_;
  bool open_ = false;
  int32_t count_ = 0;
  int32_t offsets_[kMaxImages] = {};
  int32_t first_ = 1;
  int32_t last_ = 16;
  int32_t base_ = 0;
  int32_t disk_size_ = 0;
  int32_t table_[kTrackCount] = {};
  int32_t media_type_ = -1;
  std::string name_;
};

std::string Describe(size_t index, const ReaderCall& call, const char* what) {
  std::string text = "call " + std::to_string(index) + " (op " +
                     std::to_string(static_cast<int>(call.op)) + " args";
  for (int32_t a : call.a) text += " " + std::to_string(a);
  return text + "): " + what;
}

// A pair of buffers of exactly one length, for the two sides of a lookup,
// so that a write past the length shows.
struct LookupBuffers {
  explicit LookupBuffers(int32_t length)
      : size(static_cast<size_t>(length)),
        got(new uint8_t[size]),
        want(new uint8_t[size]) {}

  size_t size;
  std::unique_ptr<uint8_t[]> got;
  std::unique_ptr<uint8_t[]> want;
};

// Makes ReadSector's call on `image` and `model` with `buffers`; returns an
// empty string if the two agree in result and bytes.
std::string CompareLookup(D88Image& image, const ReaderModel& model,
                          int32_t track, SectorId id, LookupBuffers& buffers) {
  const int32_t max_len = static_cast<int32_t>(buffers.size);
  std::memset(buffers.got.get(), 0xA5, buffers.size);
  std::memset(buffers.want.get(), 0xA5, buffers.size);
  const int32_t n_got = image.ReadSector(track, id.c, id.h, id.r, id.n,
                                         buffers.got.get(), max_len);
  const int32_t n_want = model.ReadSector(track, id.c, id.h, id.r, id.n,
                                          buffers.want.get(), max_len);
  if (n_got == n_want &&
      std::memcmp(buffers.got.get(), buffers.want.get(), buffers.size) == 0) {
    return "";
  }
  return "track " + std::to_string(track) + " sector " + std::to_string(id.c) +
         "/" + std::to_string(id.h) + "/" + std::to_string(id.r) + "/" +
         std::to_string(id.n) + " max " + std::to_string(max_len) +
         ": returned " + std::to_string(n_got) + ", expected " +
         std::to_string(n_want);
}

// The length a call reads with, and so the size of its buffer.
int32_t ReadLength(int32_t length) {
  return length > kMaxReadLength ? length % (kMaxReadLength + 1) : length;
}

}  // namespace

ReaderScript ParseReaderScript(const uint8_t* data, size_t size) {
  ReaderScript script;
  if (size == 0) return script;
  size_t count = data[0] < kMaxReaderCalls ? data[0] : kMaxReaderCalls;
  if (count > (size - 1) / kReaderCallSize) {
    count = (size - 1) / kReaderCallSize;
  }
  const uint8_t* p = data + 1;
  for (size_t i = 0; i < count; ++i, p += kReaderCallSize) {
    ReaderCall call;
    call.op = static_cast<ReaderOp>(p[0] % kReaderOpCount);
    for (size_t k = 0; k < 6; ++k) call.a[k] = DecodeI32(p + 1 + 4 * k);
    script.calls.push_back(call);
  }
  script.file.assign(p, data + size);
  return script;
}

Bytes EncodeReaderScript(const std::vector<ReaderCall>& calls,
                         const Bytes& file) {
  Bytes out(1, static_cast<uint8_t>(calls.size()));
  for (const ReaderCall& call : calls) {
    const size_t at = out.size();
    out.resize(at + kReaderCallSize);
    out[at] = static_cast<uint8_t>(call.op);
    for (size_t k = 0; k < 6; ++k) {
      StoreU32(out, at + 1 + 4 * k, static_cast<uint32_t>(call.a[k]));
    }
  }
  Append(out, file);
  return out;
}

std::string RunReaderScript(const ReaderScript& script,
                            const std::string& path) {
  if (!WriteFileBytes(path, script.file)) return "cannot write " + path;
  D88Image image;
  ReaderModel model(script.file);
  if (!image.Open(path.c_str())) return "Open failed";
  model.Open();

  for (size_t i = 0; i < script.calls.size(); ++i) {
    const ReaderCall& call = script.calls[i];
    const int32_t* a = call.a;
    switch (call.op) {
      case ReaderOp::kOpen:
        if (!image.Open(path.c_str())) return Describe(i, call, "Open failed");
        model.Open();
        break;
      case ReaderOp::kClose:
        if (!image.Open(nullptr)) return Describe(i, call, "close failed");
        model.Close();
        break;
      case ReaderOp::kSelectImage:
        if (image.SelectImage(a[0]) != model.SelectImage(a[0])) {
          return Describe(i, call, "SelectImage result");
        }
        break;
      case ReaderOp::kSetSectorRange:
        image.SetSectorRange(a[0], a[1]);
        model.SetSectorRange(a[0], a[1]);
        break;
      case ReaderOp::kGetTrackOffset:
        if (image.GetTrackOffset(a[0]) != model.TrackOffset(a[0])) {
          return Describe(i, call, "GetTrackOffset");
        }
        break;
      case ReaderOp::kReadSector:
      case ReaderOp::kReadSectors:
      case ReaderOp::kReadTrackIds: {
        // Buffers of exactly the length, so that a write past it shows.
        const int32_t len = ReadLength(a[5]);
        const size_t size = len > 0 ? static_cast<size_t>(len) : 0;
        std::unique_ptr<uint8_t[]> got(new uint8_t[size]);
        std::unique_ptr<uint8_t[]> want(new uint8_t[size]);
        std::memset(got.get(), 0xA5, size);
        std::memset(want.get(), 0xA5, size);
        int32_t n_got = 0;
        int32_t n_want = 0;
        if (call.op == ReaderOp::kReadSector) {
          n_got =
              image.ReadSector(a[0], a[1], a[2], a[3], a[4], got.get(), len);
          n_want =
              model.ReadSector(a[0], a[1], a[2], a[3], a[4], want.get(), len);
        } else if (call.op == ReaderOp::kReadSectors) {
          n_got =
              image.ReadSectors(a[0], a[1], a[2], a[3], a[4], got.get(), len);
          n_want =
              model.ReadSectors(a[0], a[1], a[2], a[3], a[4], want.get(), len);
        } else {
          n_got = image.ReadTrackIds(a[0], got.get(), len);
          n_want = model.ReadTrackIds(a[0], want.get(), len);
        }
        if (n_got != n_want) {
          return Describe(i, call,
                          ("returned " + std::to_string(n_got) + ", expected " +
                           std::to_string(n_want))
                              .c_str());
        }
        if (std::memcmp(got.get(), want.get(), size) != 0) {
          return Describe(i, call, "buffer contents");
        }
        break;
      }
    }

    // The selection's fields after every call.
    if (image.GetImageCount() != model.count()) {
      return Describe(i, call, "image count");
    }
    if (image.GetMediaType() != model.media_type() ||
        image.GetDiskSize() != model.disk_size() ||
        image.GetImageBase() != model.base() ||
        model.name() != image.GetDiskName()) {
      return Describe(i, call, "selected image's fields");
    }
  }
  return "";
}

std::string CompareEveryLookup(const Bytes& file, const std::string& path,
                               size_t max_lookups) {
  if (!WriteFileBytes(path, file)) return "cannot write " + path;
  D88Image image;
  ReaderModel model(file);
  if (!image.Open(path.c_str())) return "Open failed";
  model.Open();
  // Lengths that cut data short, fit the game's sectors and take the
  // largest data whole (seldom: its buffer is the largest to check).
  LookupBuffers short_data(100);
  LookupBuffers sector(1024);
  LookupBuffers largest(0xFFFF);
  LookupBuffers* const lengths[] = {&sector, &short_data, &sector, &largest};
  size_t lookups = 0;
  for (int32_t i = 0; i < model.count(); ++i) {
    if (image.SelectImage(i) != model.SelectImage(i)) {
      return "image " + std::to_string(i) + ": SelectImage result";
    }
    std::vector<int32_t> starts;
    for (int32_t t = 0; t < kTrackCount; ++t) {
      // The game's C, H and N for the track; on the first track that starts
      // where it does, also those of the first records the walk visits, and
      // the game's again, since each change walks the track anew.
      std::vector<SectorId> keys = {
          {static_cast<uint8_t>(t / 2), static_cast<uint8_t>(t % 2), 0, 3}};
      std::vector<SectorId> walked;
      const int32_t start = model.TrackOffset(t);
      if (std::find(starts.begin(), starts.end(), start) == starts.end()) {
        starts.push_back(start);
        walked = model.WalkIds(t, 64);
      }
      for (const SectorId& id : walked) {
        if (keys.size() == kMaxKeysPerTrack) break;
        const bool known =
            std::any_of(keys.begin(), keys.end(), [&id](const SectorId& k) {
              return k.c == id.c && k.h == id.h && k.n == id.n;
            });
        if (!known) keys.push_back(id);
      }
      if (keys.size() > 1) keys.push_back(keys.front());
      for (const SectorId& key : keys) {
        std::vector<uint8_t> rs = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 255};
        for (const SectorId& id : walked) {
          if (id.c == key.c && id.h == key.h && id.n == key.n) {
            rs.push_back(id.r);
          }
        }
        for (const uint8_t r : rs) {
          if (lookups == max_lookups) return "";
          const std::string problem = CompareLookup(
              image, model, t, {key.c, key.h, r, key.n},
              *lengths[lookups++ % (sizeof(lengths) / sizeof(lengths[0]))]);
          if (!problem.empty()) {
            return "image " + std::to_string(i) + " " + problem;
          }
        }
      }
    }
  }
  return "";
}

}  // namespace d88test
