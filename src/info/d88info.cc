#include "info/d88info.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "d88/d88_format.h"
#include "d88/d88_image.h"
#include "tool/game_disk.h"
#include "tool/game_layout.h"

namespace d88 {

namespace {

// The tool's state for the run; the large buffers live in static storage.
D88Image g_image;
RecordHeader g_records[kMaxSectorCount];
uint32_t g_scratch[kMaxSectorCount];  // one value per record, for sorting
uint8_t g_signature[kSignatureReadSize];
uint8_t g_directory_block[kDirectoryBlockSize];
uint8_t g_file[kWorkAreaSize];

static_assert(kGameSectorSize == NominalSectorSize(kGameSizeCode),
              "a run of the game's sectors is read in whole sectors");
static_assert(kWorkAreaSize >= UINT16_MAX && kWorkAreaSize >= size_t{kProgSize},
              "the file buffer holds PROG and the largest directory file");

// Sector ID lists wrap before this many bytes, which keeps them within 78
// columns after their indent.
constexpr size_t kIdLineWidth = 64;
// Real tracks hold a few dozen sectors; a damaged header can make a walk
// list thousands of records, of which only the first are shown.
constexpr int32_t kMaxIdsShown = 256;
// Likewise for the sector counts and the duplicate IDs of one track.
constexpr int32_t kMaxListed = 8;

const char kUsage[] =
    "Usage: d88info [--check] FILE\n"
    "\n"
    "Tells what each disk image in the D88 file FILE holds: its name, media\n"
    "type and size, its tracks and sector layout, the tracks that differ\n"
    "from that layout, anything damaged, and whether it is a disk of the\n"
    "game.\n"
    "\n"
    "  --check  for each disk 1 of the game, tell whether PROG, the\n"
    "           directory and every file on disk 1 can be read whole, and\n"
    "           list the files that d88cut would write incomplete\n"
    "  --help   show this text\n"
    "\n"
    "Exit status: 0 on success; with --check, 0 only when everything is\n"
    "complete and 1 when something is incomplete or no disk 1 is found;\n"
    "2 for a usage error or a file that cannot be opened.\n";

std::string Format(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  return buf;
}

// The bytes as they are, which keeps Shift-JIS text intact, with control
// bytes shown as '.' so that a name cannot end a line or move the cursor.
std::string Printable(const char* bytes, size_t len) {
  std::string out(bytes, len);
  for (char& ch : out) {
    const unsigned char u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u == 0x7F) ch = '.';
  }
  return out;
}

std::string Count(long long count, const char* one, const char* many) {
  return Format("%lld %s", count, count == 1 ? one : many);
}

std::string IdText(int c, int h, int r, int n) {
  return Format("%d/%d/%d/%d", c, h, r, n);
}

std::string IdText(const RecordHeader& record) {
  return IdText(record.c, record.h, record.r, record.n);
}

// The disk character of a signature; a byte outside printable ASCII is also
// given in hex.
std::string DiskCharText(uint8_t disk_char) {
  const char ch = static_cast<char>(disk_char);
  std::string text = Printable(&ch, 1);
  if (disk_char < 0x20 || disk_char > 0x7E) {
    text += Format(" (0x%02X)", static_cast<unsigned>(disk_char));
  }
  return text;
}

// Sorted track indexes as ranges: "0-4, 6, 64".
std::string TrackList(const std::vector<int32_t>& tracks) {
  std::string out;
  for (size_t i = 0; i < tracks.size();) {
    size_t j = i;
    while (j + 1 < tracks.size() && tracks[j + 1] == tracks[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += j == i ? Format("%d", tracks[i])
                  : Format("%d-%d", tracks[i], tracks[j]);
    i = j + 1;
  }
  return out;
}

void PrintField(const std::string& label, const std::string& text) {
  std::printf("  %-12s%s\n", label.c_str(), text.c_str());
}

// A further line of the field above.
void PrintMore(const std::string& text) {
  std::printf("%14s%s\n", "", text.c_str());
}

const char* MediaName(int32_t type) {
  switch (type) {
    case 0x00:
      return "2D";
    case 0x10:
      return "2DD";
    case 0x20:
      return "2HD";
    default:
      return nullptr;
  }
}

// The sector layout of a track: how many records, and their N and data
// size when all records agree on both.
struct Layout {
  int32_t sectors = 0;
  bool mixed = false;
  int n = 0;
  int32_t data_size = 0;

  bool operator==(const Layout& other) const {
    return sectors == other.sectors && mixed == other.mixed && n == other.n &&
           data_size == other.data_size;
  }
};

Layout LayoutOf(const RecordHeader* records, int32_t count) {
  Layout layout;
  layout.sectors = count;
  if (count == 0) return layout;
  layout.n = records[0].n;
  layout.data_size = records[0].data_size;
  for (int32_t i = 1; i < count; ++i) {
    if (records[i].n != layout.n || records[i].data_size != layout.data_size) {
      layout.mixed = true;
    }
  }
  return layout;
}

std::string LayoutText(const Layout& layout) {
  if (layout.sectors == 0) return "no sectors";
  const std::string sectors = Count(layout.sectors, "sector", "sectors");
  if (layout.mixed) return sectors + " of mixed sizes";
  return Format("%s of N %d, %d bytes", sectors.c_str(), layout.n,
                layout.data_size);
}

// Anomalies, gathered by their text with the tracks that show each.
class Anomalies {
 public:
  void Add(const std::string& what) { Find(what); }
  void Add(const std::string& what, int32_t track) {
    std::vector<int32_t>& tracks = Find(what).tracks;
    if (tracks.empty() || tracks.back() != track) tracks.push_back(track);
  }

  void Print() const {
    if (entries_.empty()) {
      PrintField("anomalies", "none");
      return;
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      std::string text = e.what;
      if (!e.tracks.empty()) {
        text += e.tracks.size() == 1 ? ": track " : ": tracks ";
        text += TrackList(e.tracks);
      }
      if (i == 0) {
        PrintField("anomalies", text);
      } else {
        PrintMore(text);
      }
    }
  }

 private:
  struct Entry {
    std::string what;
    std::vector<int32_t> tracks;
  };

  Entry& Find(const std::string& what) {
    // Indexed, since a damaged track can give thousands of texts.
    const auto [it, added] = index_.emplace(what, entries_.size());
    if (added) entries_.push_back({what, {}});
    return entries_[it->second];
  }

  std::vector<Entry> entries_;  // in the order first seen
  std::map<std::string, size_t> index_;
};

// The checks below look at the `count` records of track `track` that
// WalkTrack left in g_records, and sort values in g_scratch.

// Sector counts that disagree: the first header's count, then the others in
// ascending order.
void NoteCounts(int32_t track, int32_t count, Anomalies* anomalies) {
  bool zero_count = false;
  int32_t nonzero = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (g_records[i].count == 0) {
      zero_count = true;
    } else {
      g_scratch[nonzero++] = static_cast<uint32_t>(g_records[i].count);
    }
  }
  std::sort(g_scratch, g_scratch + nonzero);
  const int32_t distinct = static_cast<int32_t>(
      std::unique(g_scratch, g_scratch + nonzero) - g_scratch);
  if (distinct > 1) {
    const uint32_t first = static_cast<uint32_t>(g_records[0].count);
    std::string list = Format("%u", first);
    int32_t listed = 1;
    for (int32_t i = 0; i < distinct; ++i) {
      if (g_scratch[i] == first) continue;
      if (listed++ == kMaxListed) {
        list += ", ...";
        break;
      }
      list += Format(", %u", g_scratch[i]);
    }
    anomalies->Add("sector counts disagree (" + list + ")", track);
  }
  if (zero_count) {
    anomalies->Add("a sector count of 0 hides that sector and those after it",
                   track);
  }
}

// Data sizes other than 128 << N: each pair of N and data size once per
// track, by N, then size.
void NoteDataSizes(int32_t track, int32_t count, Anomalies* anomalies) {
  int32_t odd = 0;
  for (int32_t i = 0; i < count; ++i) {
    const RecordHeader& record = g_records[i];
    if (record.n > kMaxSizeCode ||
        record.data_size != NominalSectorSize(record.n)) {
      g_scratch[odd++] = static_cast<uint32_t>(record.n) << 16 |
                         static_cast<uint32_t>(record.data_size);
    }
  }
  std::sort(g_scratch, g_scratch + odd);
  odd =
      static_cast<int32_t>(std::unique(g_scratch, g_scratch + odd) - g_scratch);
  for (int32_t i = 0; i < odd; ++i) {
    if (i == kMaxListed) {
      anomalies->Add("more data sizes that differ from 128 << N", track);
      break;
    }
    const int n = static_cast<int>(g_scratch[i] >> 16);
    const int size = static_cast<int>(g_scratch[i] & 0xFFFF);
    anomalies->Add(
        n > kMaxSizeCode
            ? Format("data size %d with N %d (128 << %d is too large)", size, n,
                     n)
            : Format("data size %d with N %d (128 << %d is %lld)", size, n, n,
                     static_cast<long long>(NominalSectorSize(n))),
        track);
  }
}

void NoteDuplicates(int32_t track, int32_t count, Anomalies* anomalies) {
  for (int32_t i = 0; i < count; ++i) {
    const RecordHeader& r = g_records[i];
    g_scratch[i] = static_cast<uint32_t>(r.c) << 24 |
                   static_cast<uint32_t>(r.h) << 16 |
                   static_cast<uint32_t>(r.r) << 8 | r.n;
  }
  std::sort(g_scratch, g_scratch + count);
  std::string duplicates;
  int32_t duplicated = 0;
  for (int32_t i = 1; i < count; ++i) {
    if (g_scratch[i] != g_scratch[i - 1] ||
        (i >= 2 && g_scratch[i] == g_scratch[i - 2])) {
      continue;
    }
    if (duplicated++ >= kMaxListed) continue;
    const uint32_t id = g_scratch[i];
    duplicates +=
        (duplicates.empty() ? "" : ", ") +
        IdText(static_cast<int>(id >> 24), static_cast<int>(id >> 16 & 0xFF),
               static_cast<int>(id >> 8 & 0xFF), static_cast<int>(id & 0xFF));
  }
  if (duplicated > kMaxListed) {
    duplicates += Format(" and %d more", duplicated - kMaxListed);
  }
  if (duplicated > 0) {
    anomalies->Add(
        (duplicated == 1 ? "duplicate sector ID " : "duplicate sector IDs ") +
            duplicates,
        track);
  }
}

// A track whose records run past the end of the file or, inside the file,
// past the end of the image.
void NoteEnds(int32_t track, int32_t count, bool file_ended, int64_t file_size,
              Anomalies* anomalies) {
  const int64_t image_end =
      int64_t{g_image.GetImageBase()} + g_image.GetDiskSize();
  int32_t whole = 0;
  bool past_image = false;
  for (int32_t i = 0; i < count; ++i) {
    const int64_t end = g_records[i].offset +
                        static_cast<int64_t>(kSectorHeaderSize) +
                        g_records[i].data_size;
    if (end <= file_size) ++whole;
    if (end > image_end) past_image = true;
  }
  if (file_ended || whole < count) {
    if (count == 0) {
      anomalies->Add("runs past the end of the file (no whole sector header)",
                     track);
    } else {
      const int32_t declared = std::max(g_records[0].count, count);
      anomalies->Add(
          Format("runs past the end of the file (%d of %s whole)", whole,
                 Count(declared, "sector", "sectors").c_str()),
          track);
    }
  } else if (past_image) {
    anomalies->Add("runs past the end of the image's disk size", track);
  }
}

// Walks track `track` into g_records. Returns false, noting why, when the
// reader does not read the track: absent, or an offset outside the image.
bool WalkTrack(int32_t track, int32_t* count, bool* file_ended,
               Anomalies* anomalies) {
  *count = 0;
  *file_ended = false;
  if (g_image.GetTrackOffset(track) == 0) return false;
  *count =
      g_image.ReadTrackRecords(track, g_records, kMaxSectorCount, file_ended);
  // A track that lists nothing without reaching the end of the file fails
  // the reader's offset test.
  if (*count == 0 && !*file_ended) {
    anomalies->Add("offset outside the disk size, read as absent", track);
    return false;
  }
  return true;
}

// Why the selected image does not carry the signature.
std::string NoSignatureReason(bool track_present, bool sector_found) {
  const std::string id = IdText(kSignatureSector.c, kSignatureSector.h,
                                kSignatureSector.r, kGameSizeCode);
  if (!track_present) {
    return Format("no signature: track %d is absent", kSignatureSector.track);
  }
  if (!sector_found) {
    return Format("no signature: track %d has no sector %s",
                  kSignatureSector.track, id.c_str());
  }
  return Format("no signature: sector %s does not hold \"%.*s\" at byte %d",
                id.c_str(), static_cast<int>(sizeof(kSignature)), kSignature,
                static_cast<int>(kSignatureOffset));
}

// What the walks over the selected image's tracks found.
struct TrackScan {
  std::vector<int32_t> present;  // the tracks the reader reads
  std::vector<Layout> layouts = std::vector<Layout>(kTrackCount);
  // The first kMaxIdsShown records of each track, for the tracks that
  // differ from the common layout.
  std::vector<std::vector<RecordHeader>> shown =
      std::vector<std::vector<RecordHeader>>(kTrackCount);
  bool signature_track = false;   // the signature's track is present
  bool signature_sector = false;  // and holds a sector with its ID
};

void ScanTracks(int64_t file_size, TrackScan* scan, Anomalies* anomalies) {
  for (int32_t t = 0; t < kTrackCount; ++t) {
    int32_t count = 0;
    bool file_ended = false;
    if (!WalkTrack(t, &count, &file_ended, anomalies)) continue;
    const size_t at = static_cast<size_t>(t);
    scan->present.push_back(t);
    scan->layouts[at] = LayoutOf(g_records, count);
    scan->shown[at].assign(g_records,
                           g_records + std::min(count, kMaxIdsShown));
    NoteCounts(t, count, anomalies);
    NoteDataSizes(t, count, anomalies);
    NoteDuplicates(t, count, anomalies);
    NoteEnds(t, count, file_ended, file_size, anomalies);
    if (t != kSignatureSector.track) continue;
    scan->signature_track = true;
    for (int32_t i = 0; i < count; ++i) {
      const RecordHeader& r = g_records[i];
      // ReadSector never finds a record whose count is 0.
      if (r.count != 0 && r.c == kSignatureSector.c &&
          r.h == kSignatureSector.h && r.r == kSignatureSector.r &&
          r.n == kGameSizeCode) {
        scan->signature_sector = true;
      }
    }
  }
}

// The most common layout among the tracks whose records agree, and how
// many tracks have it; the lowest track decides a tie. False if no track's
// records agree.
bool CommonLayout(const TrackScan& scan, Layout* common, int32_t* tracks) {
  std::vector<std::pair<Layout, int32_t>> seen;
  for (int32_t t : scan.present) {
    const Layout& layout = scan.layouts[static_cast<size_t>(t)];
    if (layout.sectors == 0 || layout.mixed) continue;
    auto it = std::find_if(seen.begin(), seen.end(),
                           [&](const auto& s) { return s.first == layout; });
    if (it == seen.end()) {
      seen.push_back({layout, 1});
    } else {
      ++it->second;
    }
  }
  *tracks = 0;
  for (const auto& [layout, count] : seen) {
    if (count > *tracks) {
      *common = layout;
      *tracks = count;
    }
  }
  return *tracks > 0;
}

// The IDs of a track's records, wrapped; each followed by its data size
// when the track mixes sizes.
void PrintIds(const std::vector<RecordHeader>& records, const Layout& layout) {
  std::string line;
  auto add = [&line](const std::string& item) {
    if (!line.empty() && line.size() + 1 + item.size() > kIdLineWidth) {
      PrintMore(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + item;
  };
  for (const RecordHeader& record : records) {
    add(IdText(record) +
        (layout.mixed ? Format("[%d]", record.data_size) : ""));
  }
  if (records.size() < static_cast<size_t>(layout.sectors)) {
    add(Format("and %d more",
               layout.sectors - static_cast<int32_t>(records.size())));
  }
  if (!line.empty()) PrintMore(line);
}

// The tracks present, the common layout and the tracks that differ.
void PrintTracks(const TrackScan& scan) {
  if (scan.present.empty()) {
    PrintField("tracks", "none present");
    return;
  }
  const int32_t total = static_cast<int32_t>(scan.present.size());
  PrintField("tracks", Format("%d present: ", total) + TrackList(scan.present));
  Layout common;
  int32_t on_common = 0;
  const bool has_common = CommonLayout(scan, &common, &on_common);
  if (!has_common) {
    PrintField("layout", "none: no track has sectors all of one size");
  } else if (on_common < total) {
    PrintField("layout", LayoutText(common) +
                             Format(", on %d of %d tracks", on_common, total));
  } else {
    PrintField("layout",
               LayoutText(common) +
                   (total == 1 ? std::string(", on the one track")
                               : Format(", on all %d tracks", total)));
  }
  for (int32_t t : scan.present) {
    const Layout& layout = scan.layouts[static_cast<size_t>(t)];
    if (has_common && layout == common) continue;
    PrintField(Format("track %d", t), LayoutText(layout));
    PrintIds(scan.shown[static_cast<size_t>(t)], layout);
  }
}

// Prints the account of the selected image.
void ReportImage(int32_t index, int64_t file_size) {
  const int32_t base = g_image.GetImageBase();
  const int32_t disk_size = g_image.GetDiskSize();
  std::printf("Image %d at offset %d\n", index, base);
  const char* name = g_image.GetDiskName();
  PrintField("name", "\"" + Printable(name, std::strlen(name)) + "\"");
  const int32_t media = g_image.GetMediaType();
  const char* media_name = MediaName(media);
  PrintField(
      "media type",
      media_name != nullptr
          ? Format("0x%02X (%s)", static_cast<unsigned>(media), media_name)
          : Format("0x%02X", static_cast<unsigned>(media)));
  PrintField("disk size", Count(disk_size, "byte", "bytes"));

  Anomalies anomalies;
  if (disk_size < static_cast<int64_t>(kImageHeaderSize)) {
    anomalies.Add(Format("disk size %d is smaller than the %d-byte header",
                         disk_size, static_cast<int>(kImageHeaderSize)));
  } else if (disk_size > file_size - base) {
    anomalies.Add(
        Format("disk size runs %lld bytes past the end of the file",
               static_cast<long long>(int64_t{base} + disk_size - file_size)));
  }
  TrackScan scan;
  ScanTracks(file_size, &scan, &anomalies);
  PrintTracks(scan);
  anomalies.Print();

  UseGameSectorRange(g_image);
  uint8_t disk_char = 0;
  if (ReadSignature(g_image, g_signature, &disk_char)) {
    PrintField("game", "signature found: disk " + DiskCharText(disk_char));
  } else {
    PrintField("game",
               NoSignatureReason(scan.signature_track, scan.signature_sector));
  }
}

int RunAccount() {
  const int64_t file_size = g_image.GetFileSize();
  const int32_t count = g_image.GetImageCount();
  std::printf("File: %s, %s\n", Count(file_size, "byte", "bytes").c_str(),
              Count(count, "image", "images").c_str());
  int64_t end = 0;  // where the images end, when that is known
  for (int32_t i = 0; i < count; ++i) {
    std::printf("\n");
    if (!g_image.SelectImage(i)) {
      // Only if the file shrank after it was indexed.
      std::printf("Image %d: its header cannot be read\n", i);
      end = -1;
      continue;
    }
    ReportImage(i, file_size);
    const int32_t disk_size = g_image.GetDiskSize();
    end = disk_size < static_cast<int64_t>(kImageHeaderSize)
              ? -1
              : int64_t{g_image.GetImageBase()} + disk_size;
    if (disk_size == 0 && i + 1 < count) {
      // Every later image starts at the same offset and reads the same.
      std::printf(
          "\nImages %d-%d repeat image %d: a disk size of 0 puts the "
          "next image at the same offset\n",
          i + 1, count - 1, i);
      break;
    }
  }
  if (end >= 0 && file_size > end) {
    const int64_t tail = file_size - end;
    std::string why = "not read as an image";
    if (tail < static_cast<int64_t>(kImageHeaderSize)) {
      why = "too short for an image header";
    } else if (count == kMaxImages) {
      why = Format("past the last image read (%d at most)", kMaxImages);
    }
    std::printf("\nNot an image: %s at offset %lld, %s\n",
                Count(tail, "byte", "bytes").c_str(),
                static_cast<long long>(end), why.c_str());
  }
  return 0;
}

// Prints the line of one run of the game's sectors, of which `got` of
// `length` bytes were read, and adds `name` to `incomplete` if it is
// incomplete.
void PrintRun(const char* name, int32_t record, int32_t length, int32_t got,
              const std::string& detail, std::vector<std::string>* incomplete) {
  const std::string size = Count(length, "byte", "bytes");
  if (got == length) {
    PrintField(name, "complete, " + size + detail);
    return;
  }
  incomplete->push_back(name);
  // Runs are read in whole sectors and stop at the first one that fails.
  const GameSector at = RecordSector(record + got / kGameSectorSize);
  PrintField(name, Format("incomplete: %d of %s unreadable from track %d "
                          "sector %d",
                          length - got, size.c_str(), at.track, at.r) +
                       detail);
}

// Checks the selected disk-1 image: the same reads as d88cut's extraction.
void CheckDiskOne(std::vector<std::string>* incomplete) {
  const int32_t block = ReadDirectoryBlock(g_image, g_directory_block);
  PrintRun(kProgName, kProgRecord, kProgSize,
           ReadRecords(g_image, kProgRecord, g_file, kProgSize), "",
           incomplete);

  int32_t entries = 0;
  int32_t on_disk_one = 0;
  DirectoryEntry e;
  for (int32_t k = kFirstDirectoryEntry;
       GetDirectoryEntry(g_directory_block, k, &e); ++k) {
    ++entries;
    if (e.disk == kExtractedDisk) ++on_disk_one;
  }
  PrintRun(
      "directory", kDirectoryRecord, kDirectoryBlockSize, block,
      Format("; %s, %d on disk %d", Count(entries, "entry", "entries").c_str(),
             on_disk_one, static_cast<int>(kExtractedDisk)),
      incomplete);

  for (int32_t k = kFirstDirectoryEntry;
       GetDirectoryEntry(g_directory_block, k, &e); ++k) {
    if (e.disk != kExtractedDisk) continue;
    PrintRun(EntryFileName(k).text, e.start, e.size,
             ReadRecords(g_image, e.start, g_file, e.size), "", incomplete);
  }
}

int RunCheck() {
  const int32_t count = g_image.GetImageCount();
  bool found = false;
  bool printed = false;
  std::vector<std::string> incomplete;
  for (int32_t i = 0; i < count; ++i) {
    if (!g_image.SelectImage(i)) continue;
    UseGameSectorRange(g_image);
    uint8_t disk_char = 0;
    if (!ReadSignature(g_image, g_signature, &disk_char)) continue;
    if (printed) std::printf("\n");
    printed = true;
    std::printf("Image %d at offset %d: disk %s of the game", i,
                g_image.GetImageBase(), DiskCharText(disk_char).c_str());
    if (disk_char == kFirstDiskChar) {
      std::printf("\n");
      found = true;
      CheckDiskOne(&incomplete);
    } else {
      std::printf(", nothing to check\n");
    }
  }
  if (printed) std::printf("\n");
  if (!found) {
    std::printf("No disk 1 of the game found.\n");
    return 1;
  }
  if (incomplete.empty()) {
    std::printf("Everything is complete.\n");
    return 0;
  }
  std::string list;
  for (const std::string& name : incomplete) {
    list += (list.empty() ? "" : ", ") + name;
  }
  std::printf("Incomplete: %s.\n", list.c_str());
  return 1;
}

}  // namespace

int RunD88Info(int argc, char** argv) {
  bool check = false;
  bool help = false;
  bool bad = false;
  bool options_done = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      if (std::strcmp(arg, "--") == 0) {
        options_done = true;
      } else if (std::strcmp(arg, "--check") == 0) {
        check = true;
      } else if (std::strcmp(arg, "--help") == 0 ||
                 std::strcmp(arg, "-h") == 0) {
        help = true;
      } else {
        bad = true;
      }
    } else if (path == nullptr) {
      path = arg;
    } else {
      bad = true;
    }
  }
  if (help && !bad) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (bad || path == nullptr) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!g_image.Open(path)) {
    std::fprintf(stderr, "d88info: cannot open %s\n",
                 Printable(path, std::strlen(path)).c_str());
    return 2;
  }
  const int status = check ? RunCheck() : RunAccount();
  std::fflush(stdout);
  return status;
}

}  // namespace d88
