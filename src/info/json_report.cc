#include "info/json_report.h"

#include <cstring>
#include <vector>

#include "d88/d88_format.h"
#include "game/game_disk.h"
#include "game/game_files.h"
#include "game/game_layout.h"
#include "info/check.h"
#include "info/file_verdict.h"
#include "info/json.h"
#include "info/report.h"
#include "info/sha256.h"
#include "info/text.h"
#include "info/track_analysis.h"

namespace info {

using d88::D88Image;
using d88::kDiskNameSize;
using d88::kImageHeaderSize;
using d88::kWriteProtectOffset;
using game::DirectoryEntry;
using game::GamePosition;

namespace {

// The reads' buffers, in static storage for the run.
uint8_t g_signature[game::kSignatureReadSize];
uint8_t g_directory_block[game::kDirectoryBlockSize];
uint8_t g_file[game::kWorkAreaSize];

SectorStatuses g_statuses;

// File bytes the document may still digest, and the digests left out.
int64_t g_digest_budget = 0;
int32_t g_digests_left_out = 0;

void WriteLayout(JsonWriter& j, const Layout& layout) {
  j.BeginObject();
  j.Member("sectors", layout.sectors);
  j.BoolMember("mixed", layout.mixed);
  if (layout.sectors > 0 && !layout.mixed) {
    j.Member("n", layout.n);
    j.Member("data_size", layout.data_size);
  }
  j.EndObject();
}

void WriteAnomalies(JsonWriter& j, const Anomalies& anomalies) {
  const std::vector<Anomalies::Entry>& entries = anomalies.entries();
  j.Key("anomalies");
  j.BeginArray();
  for (size_t i = 0;
       i < entries.size() && i < static_cast<size_t>(kMaxJsonAnomalies); ++i) {
    j.BeginObject();
    j.Member("code", AnomalyCode(entries[i].what));
    j.Member("text", entries[i].what);
    j.Key("tracks");
    j.BeginArray();
    for (const int32_t t : entries[i].tracks) j.Int(t);
    j.EndArray();
    j.EndObject();
  }
  j.EndArray();
  const size_t shown = static_cast<size_t>(kMaxJsonAnomalies);
  j.Member("anomalies_left_out",
           static_cast<long long>(
               entries.size() > shown ? entries.size() - shown : 0));
}

// The tracks of the selected image; `sectors_left` counts down the sector
// records the document may still list.
void WriteTracks(JsonWriter& j, D88Image& image, const TrackScan& scan,
                 int32_t* sectors_left) {
  j.Key("tracks");
  j.BeginArray();
  for (const int32_t t : scan.present) {
    const size_t at = static_cast<size_t>(t);
    const Layout& layout = scan.layouts[at];
    j.BeginObject();
    j.Member("index", t);
    j.Member("offset", image.GetTrackOffset(t));
    j.Member("sector_count", layout.sectors);
    j.Key("layout");
    WriteLayout(j, layout);
    j.Member("data_bytes", static_cast<long long>(scan.data_bytes[at]));
    j.Key("sectors");
    j.BeginArray();
    int32_t listed = 0;
    const int32_t wanted = scan.shown_count[at] < *sectors_left
                               ? scan.shown_count[at]
                               : *sectors_left;
    for (const ShownSector& s : ShownSectors(image, t, wanted)) {
      if (*sectors_left == 0) break;
      --*sectors_left;
      ++listed;
      j.BeginObject();
      j.Member("c", s.id.c);
      j.Member("h", s.id.h);
      j.Member("r", s.id.r);
      j.Member("n", s.id.n);
      j.Member("data_size", s.data_size);
      j.Member("status", s.status);
      j.BoolMember("deleted", s.deleted == kDeletedMark);
      j.Member("density", s.density);
      j.EndObject();
    }
    j.EndArray();
    j.Member("sectors_left_out", layout.sectors - listed);
    j.EndObject();
  }
  j.EndArray();
}

void WriteImage(JsonWriter& j, D88Image& image, int32_t index,
                int64_t file_size, int32_t* sectors_left, WalkTrails* trails) {
  j.BeginObject();
  j.Member("index", index);
  j.Member("offset", image.GetImageBase());
  // The name's 16 bytes up to the first NUL, as the reader keeps them.
  const char* name = image.GetDiskName();
  const size_t len = strnlen(name, kDiskNameSize);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(name);
  j.Key("name");
  j.BeginObject();
  j.Member("hex", HexBytes(bytes, len));
  j.Member("text", ShiftJisToUtf8(bytes, len));
  j.EndObject();
  const int32_t media = image.GetMediaType();
  j.Key("media");
  j.BeginObject();
  j.Member("type", media);
  j.Key("name");
  if (MediaName(media) != nullptr) {
    j.String(MediaName(media));
  } else {
    j.Null();
  }
  j.EndObject();
  uint8_t protect = 0;
  const bool read =
      image.ReadFileBytes(
          image.GetImageBase() + static_cast<int64_t>(kWriteProtectOffset),
          &protect, 1) == 1;
  j.BoolMember("write_protected", read && protect != 0);
  j.Member("disk_size", image.GetDiskSize());

  Anomalies anomalies;
  const TrackScan scan = ScanImage(image, file_size, &anomalies, trails);
  WriteAnomalies(j, anomalies);
  WriteTracks(j, image, scan, sectors_left);

  game::UseGameSectorRange(image);
  uint8_t disk_char = 0;
  j.Key("game");
  j.BeginObject();
  const bool signature = game::ReadSignature(image, g_signature, &disk_char);
  j.BoolMember("signature", signature);
  j.Key("disk");
  if (signature) {
    j.String(std::string(1, static_cast<char>(disk_char)));
  } else {
    j.Null();
  }
  j.EndObject();
  j.EndObject();
}

// One file of the manifest: what d88cut would write of the run of `length`
// bytes from record `record`. Adds to the counts of files incomplete and
// flagged.
void WriteManifestFile(JsonWriter& j, D88Image& image, const char* name,
                       const DirectoryEntry* entry, int32_t k, int32_t record,
                       int32_t length, int32_t* incomplete, int32_t* flagged) {
  // As d88cut writes it: zeros where the run stops.
  std::memset(g_file, 0, static_cast<size_t>(length));
  const int32_t got = game::ReadRecords(image, record, g_file, length);
  const GamePosition at = game::RecordSector(record);
  j.BeginObject();
  j.Member("name", name);
  if (entry == nullptr) {
    j.Key("entry");
    j.Null();
    j.Key("disk");
    j.Null();
  } else {
    j.Member("entry", k);
    j.Member("disk", entry->disk);
  }
  j.Member("record", record);
  j.Member("track", at.track);
  j.Member("sector", at.id.r);
  j.Member("size", length);
  j.Key("load_address");
  if (entry == nullptr) {
    j.Null();
  } else {
    j.BeginObject();
    j.Member("segment", entry->load_segment);
    j.Member("offset", entry->load_offset);
    j.EndObject();
  }
  j.Key("sha256");
  if (length <= g_digest_budget) {
    g_digest_budget -= length;
    j.String(Sha256Hex(g_file, static_cast<size_t>(length)));
  } else {
    ++g_digests_left_out;
    j.Null();
  }
  j.BoolMember("complete", got == length);
  j.Member("bytes_read", got);
  if (got != length) ++*incomplete;
  // The flagged sectors among those read whole.
  const int32_t sectors =
      (got + game::kGameSectorSize - 1) / game::kGameSectorSize;
  int32_t count = 0;
  j.Key("flagged");
  j.BeginArray();
  for (int32_t i = 0; i < sectors; ++i) {
    const int32_t index = record + game::kRecordBase + i;
    const uint8_t status = g_statuses.At(image, index);
    if (status == 0) continue;
    if (count++ >= kMaxJsonFlagged) continue;
    const GamePosition s = game::GamePositionAt(index);
    j.BeginObject();
    j.Member("track", s.track);
    j.Member("sector", s.id.r);
    j.Member("status", status);
    j.Member("meaning", StatusMeaning(status));
    j.EndObject();
  }
  j.EndArray();
  j.Member("flagged_left_out",
           count > kMaxJsonFlagged ? count - kMaxJsonFlagged : 0);
  if (count > 0 && got == length) ++*flagged;
  j.EndObject();
}

// The manifest of the selected disk-1 image, as a JSON array of files.
std::string DiskOneFiles(D88Image& image, int32_t* incomplete,
                         int32_t* flagged) {
  g_statuses.Clear();
  JsonWriter j;
  const int32_t block = game::ReadDirectoryBlock(image, g_directory_block);
  j.BeginObject();
  j.BoolMember("directory_complete", block == game::kDirectoryBlockSize);
  j.Key("files");
  j.BeginArray();
  game::ForEachGameFile(g_directory_block, [&](const game::GameFile& f) {
    if (!f.on_disk_one) return;
    WriteManifestFile(j, image, f.name, f.is_prog ? nullptr : &f.entry, f.k,
                      f.record, f.length, incomplete, flagged);
  });
  j.EndArray();
  j.EndObject();
  if (block != game::kDirectoryBlockSize) ++*incomplete;
  return j.text();
}

// The "check" member: each disk 1 with its files, and the verdict.
int WriteCheck(JsonWriter& j, D88Image& image) {
  g_digest_budget = kMaxJsonDigestBytes;
  g_digests_left_out = 0;
  j.Key("check");
  j.BeginObject();
  j.Key("disks");
  j.BeginArray();
  bool found = false;
  int32_t incomplete = 0;
  int32_t flagged = 0;
  EarlierTexts repeats;
  for (int32_t i = 0; i < image.GetImageCount(); ++i) {
    if (!image.SelectImage(i)) continue;
    game::UseGameSectorRange(image);
    uint8_t disk_char = 0;
    if (!game::ReadSignature(image, g_signature, &disk_char) ||
        disk_char != game::kFirstDiskChar) {
      continue;
    }
    found = true;
    j.BeginObject();
    j.Member("image", i);
    j.Member("offset", image.GetImageBase());
    int32_t disk_incomplete = 0;
    int32_t disk_flagged = 0;
    const std::string files =
        DiskOneFiles(image, &disk_incomplete, &disk_flagged);
    incomplete += disk_incomplete;
    flagged += disk_flagged;
    const int32_t earlier = repeats.Find(i, files);
    j.Key("same_as");
    if (earlier >= 0) {
      j.Int(earlier);
    } else {
      j.Null();
    }
    j.Key("manifest");
    if (earlier >= 0) {
      j.Null();
    } else {
      j.Raw(files);
    }
    j.EndObject();
  }
  j.EndArray();
  j.Member("digests_left_out", g_digests_left_out);
  const bool read_failed = image.GetReadError() != nullptr;
  const char* verdict = !found           ? "no disk 1"
                        : incomplete > 0 ? "incomplete"
                        : flagged > 0    ? "flagged"
                                         : "complete";
  j.Key("verdict");
  if (read_failed && incomplete == 0 && flagged == 0) {
    j.Null();  // a failed read leaves the whole unknown
  } else {
    j.String(verdict);
  }
  j.EndObject();
  return found && incomplete == 0 && flagged == 0 ? 0 : 1;
}

}  // namespace

const char* AnomalyCode(const std::string& text) {
  static const struct {
    const char* prefix;
    const char* code;
  } kCodes[] = {
      {"disk size runs", "disk-size-past-file"},
      {"disk size", "disk-size-small"},
      {"offset outside", "offset-outside-disk"},
      {"sector counts disagree", "counts-disagree"},
      {"a sector count of 0", "zero-count"},
      {"data size", "odd-data-size"},
      {"more data sizes", "odd-data-size"},
      {"duplicate sector ID", "duplicate-id"},
      {"runs past the end of the file", "past-file-end"},
      {"runs past the end of the image", "past-image-end"},
      {"sectors with status", "sector-status"},
      {"sectors with a deleted", "deleted-mark"},
      {"media type", "media-mismatch"},
  };
  for (const auto& c : kCodes) {
    if (text.compare(0, std::strlen(c.prefix), c.prefix) == 0) return c.code;
  }
  return "other";
}

int RunJson(D88Image& image, const std::string& name, bool check) {
  JsonWriter j;
  j.BeginObject();
  j.Member("format", 1);
  j.Member("file", name);
  const int64_t file_size = image.GetFileSize();
  j.Member("size", static_cast<long long>(file_size));
  const bool read_failed = image.GetReadError() != nullptr;
  const ArchiveKind* archive = read_failed ? nullptr : ArchiveOf(image);
  const std::string not_d88 = read_failed || archive != nullptr
                                  ? std::string()
                                  : NotD88Reason(image, file_size);
  const bool is_d88 = archive == nullptr && not_d88.empty();
  j.Key("verdict");
  j.BeginObject();
  // A file whose reads failed gets no verdict, as in the text account; what
  // could be read is still listed.
  j.Key("d88");
  if (read_failed) {
    j.Null();
  } else {
    j.Bool(is_d88);
  }
  j.Key("reason");
  if (archive != nullptr) {
    j.String(archive->what);
  } else if (!not_d88.empty()) {
    j.String(not_d88);
  } else {
    j.Null();
  }
  j.Key("extract");
  if (archive != nullptr) {
    j.String(std::string(archive->extract) + " | d88info -");
  } else {
    j.Null();
  }
  j.EndObject();
  int status = 0;
  if (is_d88) {
    int32_t sectors_left = kMaxJsonSectors;
    WalkTrails trails;
    j.Key("images");
    j.BeginArray();
    for (int32_t i = 0; i < image.GetImageCount(); ++i) {
      if (!image.SelectImage(i)) continue;
      WriteImage(j, image, i, file_size, &sectors_left, &trails);
    }
    j.EndArray();
    if (check) status = WriteCheck(j, image);
  } else if (check) {
    j.Key("check");
    j.BeginObject();
    j.Key("disks");
    j.BeginArray();
    j.EndArray();
    j.Member("verdict", "no disk 1");
    j.EndObject();
    status = 1;
  }
  j.Key("read_error");
  if (image.GetReadError() != nullptr) {
    j.String(image.GetReadError());
    status = 2;
  } else {
    j.Null();
  }
  j.EndObject();
  AccountOutput().Print("%s\n", j.text().c_str());
  return status;
}

}  // namespace info
