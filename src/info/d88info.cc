#include "info/d88info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "d88/d88_format.h"
#include "d88/d88_image.h"
#include "d88/version.h"
#include "game/game_disk.h"
#include "game/game_layout.h"
#include "info/check.h"
#include "info/file_verdict.h"
#include "info/json_report.h"
#include "info/report.h"
#include "info/text.h"
#include "info/track_analysis.h"

namespace info {

using common::ConsoleOutput;
using common::PathForConsole;
using d88::D88Image;
using d88::kImageHeaderSize;
using d88::kMaxImages;
using game::kSignature;
using game::kSignatureOffset;
using game::kSignatureReadSize;
using game::kSignatureSector;
using game::ReadSignature;
using game::UseGameSectorRange;

namespace {

// The tool's state for the run.
D88Image g_image;
uint8_t g_signature[kSignatureReadSize];
// The account's standard output.
ConsoleOutput& g_out = AccountOutput();

// Sector ID lists wrap before this many bytes, which keeps them within 78
// columns after their indent.
constexpr size_t kIdLineWidth = 64;

// Where standard input is read from, for the FILE "-": Windows has no name
// for it.
#ifdef _WIN32
const char* const kStdinName = nullptr;
#else
const char* const kStdinName = "/dev/stdin";
#endif

const char kUsage[] =
    "Usage: d88info [--check] [--json] FILE...\n"
    "\n"
    "Tells what each disk image in the D88 file FILE holds: its name, media\n"
    "type and size, its tracks and sector layout, the tracks that differ\n"
    "from that layout, anything damaged or flagged by the dumping drive, and\n"
    "whether it is a disk of the game. For a file that cannot be a D88 file,\n"
    "an archive say, it says so and why. Several files are described in\n"
    "turn, each under a line \"==> FILE <==\"; FILE - is standard input.\n"
    "\n"
    "  --check      for each disk 1 of the game, tell whether PROG, the\n"
    "               directory and every file on disk 1 can be read whole,\n"
    "               and list the files that d88cut would write incomplete\n"
    "               or from sectors flagged with a drive error\n"
    "  --json       the same as one JSON document per file, one a line\n"
    "               (see docs/json.md)\n"
    "  -h, --help   show this text\n"
    "  --version    show the version of d88info\n"
    "\n"
    "Exit status, the worst of all files: 0 on success; with --check, 0\n"
    "only when everything is complete and 1 when something is incomplete\n"
    "or flagged, or no disk 1 is found; 2 for a usage error, a file that\n"
    "cannot be opened or read, or output that cannot be written.\n";

std::string LayoutText(const Layout& layout) {
  if (layout.sectors == 0) return "no sectors";
  const std::string sectors = Count(layout.sectors, "sector", "sectors");
  if (layout.mixed) return sectors + " of mixed sizes";
  return Format("%s of N %d, %d bytes", sectors.c_str(), layout.n,
                layout.data_size);
}

void PrintAnomalies(const Anomalies& anomalies) {
  const std::vector<Anomalies::Entry>& entries = anomalies.entries();
  if (entries.empty()) {
    PrintField("anomalies", "none");
    return;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == kMaxAnomalyLines) {
      PrintMore(Format("and %d more", static_cast<int>(entries.size() - i)));
      break;
    }
    const Anomalies::Entry& e = entries[i];
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

// Why the selected image does not carry the signature.
std::string NoSignatureReason(bool track_present, bool sector_found) {
  const std::string id = IdText(kSignatureSector.id);
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

// The IDs of a track's records, wrapped; each followed by its data size
// when the track mixes sizes.
void PrintIds(const std::vector<ShownSector>& headers, const Layout& layout) {
  std::string line;
  auto add = [&line](const std::string& item) {
    if (!line.empty() && line.size() + 1 + item.size() > kIdLineWidth) {
      PrintMore(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + item;
  };
  for (const ShownSector& header : headers) {
    add(IdText(header.id) +
        (layout.mixed ? Format("[%d]", header.data_size) : ""));
  }
  if (headers.size() < static_cast<size_t>(layout.sectors)) {
    add(Format("and %d more",
               layout.sectors - static_cast<int32_t>(headers.size())));
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
  const TrackListing listing =
      ListDifferingTracks(scan, has_common ? &common : nullptr);
  for (const TrackListing::Listed& entry : listing.listed) {
    const size_t t = static_cast<size_t>(entry.track);
    PrintField(Format("track %d", entry.track), LayoutText(scan.layouts[t]));
    PrintIds(ShownSectors(g_image, entry.track, scan.shown_count[t]),
             scan.layouts[t]);
    if (entry.same.size() == 1) {
      PrintMore("the same on track " + TrackList(entry.same));
    } else if (!entry.same.empty()) {
      PrintMore("the same on tracks " + TrackList(entry.same));
    }
  }
  if (!listing.not_listed.empty()) {
    PrintField("not listed",
               Count(static_cast<long long>(listing.not_listed.size()),
                     "more track that differs", "more tracks that differ") +
                   ": " + TrackList(listing.not_listed));
  }
}

// The name, media type and disk size of the selected image.
void PrintHeaderFields() {
  const char* name = g_image.GetDiskName();
  PrintField("name", "\"" + Printable(name, std::strlen(name)) + "\"");
  const int32_t media = g_image.GetMediaType();
  const char* media_name = MediaName(media);
  PrintField(
      "media type",
      media_name != nullptr
          ? Format("0x%02X (%s)", static_cast<unsigned>(media), media_name)
          : Format("0x%02X", static_cast<unsigned>(media)));
  PrintField("disk size", Count(g_image.GetDiskSize(), "byte", "bytes"));
}

// Prints the account of the selected image; from its tracks on, only a line
// if that part repeats an earlier image's.
void ReportImage(int32_t index, int64_t file_size, EarlierTexts* repeats,
                 WalkTrails* trails) {
  g_out.Print("Image %d at offset %d\n", index, g_image.GetImageBase());
  PrintHeaderFields();

  Anomalies anomalies;
  std::string lines;
  GatherLines(&lines);
  const TrackScan scan = ScanImage(g_image, file_size, &anomalies, trails);
  PrintTracks(scan);
  PrintAnomalies(anomalies);

  UseGameSectorRange(g_image);
  uint8_t disk_char = 0;
  if (ReadSignature(g_image, g_signature, &disk_char)) {
    PrintField("game", "signature found: disk " + DiskCharText(disk_char));
  } else {
    PrintField("game",
               NoSignatureReason(scan.signature_track, scan.signature_sector));
  }
  GatherLines(nullptr);
  const int32_t earlier = repeats->Find(index, lines);
  if (earlier < 0) {
    g_out.Print("%s", lines.c_str());
  } else {
    PrintField("layout", Format("same as image %d, with the same tracks, "
                                "anomalies and game",
                                earlier));
  }
}

// The verdict on a file that cannot be a D88 file, then what its first
// bytes would mean as an image header: its tracks would be read from bytes
// that are no track table, which tells nothing.
void ReportNotD88(const std::string& reason, int64_t file_size) {
  g_out.Print("not a D88 file: %s\n", reason.c_str());
  g_out.Print("File: %s\n", Count(file_size, "byte", "bytes").c_str());
  if (!g_image.SelectImage(0)) return;  // no whole header to show
  g_out.Print("\nIts first %d bytes as an image header:\n",
              static_cast<int>(kImageHeaderSize));
  PrintHeaderFields();
}

// The verdict on an archive, and how to read an image inside it.
void ReportArchive(const ArchiveKind& archive, int64_t file_size) {
  g_out.Print("not a D88 file: %s\n", archive.what);
  g_out.Print("File: %s\n", Count(file_size, "byte", "bytes").c_str());
  g_out.Print("To read a disk image inside it, pipe it in: %s | d88info -\n",
              archive.extract);
}

int RunAccount() {
  const int64_t file_size = g_image.GetFileSize();
  const ArchiveKind* archive =
      g_image.GetReadError() != nullptr ? nullptr : ArchiveOf(g_image);
  if (archive != nullptr) {
    ReportArchive(*archive, file_size);
    return 0;
  }
  // Bytes that could not be read judge nothing: a failed read looks like
  // the end of the file, and a D88 file would pass for a short one.
  const std::string not_d88 = g_image.GetReadError() != nullptr
                                  ? std::string()
                                  : NotD88Reason(g_image, file_size);
  if (!not_d88.empty()) {
    ReportNotD88(not_d88, file_size);
    return 0;
  }
  const int32_t count = g_image.GetImageCount();
  g_out.Print("File: %s, %s\n", Count(file_size, "byte", "bytes").c_str(),
              Count(count, "image", "images").c_str());
  int64_t end = 0;  // where the images end, when that is known
  EarlierTexts repeats;
  WalkTrails trails;
  for (int32_t i = 0; i < count; ++i) {
    g_out.Print("\n");
    if (!g_image.SelectImage(i)) {
      // Only if the file shrank after it was indexed.
      g_out.Print("Image %d: its header cannot be read\n", i);
      end = -1;
      continue;
    }
    ReportImage(i, file_size, &repeats, &trails);
    const int32_t disk_size = g_image.GetDiskSize();
    end = disk_size < static_cast<int64_t>(kImageHeaderSize)
              ? -1
              : int64_t{g_image.GetImageBase()} + disk_size;
    if (disk_size == 0 && i + 1 < count) {
      // Every later image starts at the same offset and reads the same.
      g_out.Print(
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
    g_out.Print("\nNot an image: %s at offset %lld, %s\n",
                Count(tail, "byte", "bytes").c_str(),
                static_cast<long long>(end), why.c_str());
  }
  return 0;
}

// A usage error: what is wrong, and where to read more.
int UsageError(const std::string& what) {
  std::fprintf(stderr, "d88info: %s\nTry 'd88info --help'.\n", what.c_str());
  return 2;
}

// A path or argument as the console shows it, control bytes as '.'.
std::string ForConsole(const char* text) {
  static char converted[3 * 4096];
  const char* shown = PathForConsole(text, converted, sizeof(converted));
  return Printable(shown, std::strlen(shown));
}

std::string Quoted(const char* arg) { return "'" + ForConsole(arg) + "'"; }

// What the command line asks of each file.
struct Options {
  bool check = false;
  bool json = false;
};

// Describes the file `arg` names ("-": standard input), after the header
// `header` (a format for the name) unless it is null; returns its exit
// status.
int DescribeFile(const char* arg, const Options& options, const char* header) {
  const bool is_stdin = std::strcmp(arg, "-") == 0;
  const std::string shown = is_stdin ? "standard input" : ForConsole(arg);
  const char* path = is_stdin ? kStdinName : arg;
  if (path == nullptr) {
    g_out.Flush();
    std::fprintf(stderr,
                 "d88info: cannot read standard input here; name the "
                 "file\n");
    std::fflush(stderr);
    return 2;
  }
  if (!g_image.Open(path) ||
      (g_image.GetFileSize() < 0 && g_image.GetReadError() != nullptr)) {
    // A stream that cannot be read to its end has no size to account for.
    const D88Image::OpenFailure failure = g_image.GetOpenFailure();
    // In order with what standard output holds so far.
    g_out.Flush();
    std::fprintf(stderr, "d88info: cannot %s %s: %s\n",
                 failure == D88Image::OpenFailure::kFile ||
                         failure == D88Image::OpenFailure::kMemory
                     ? "open"
                     : "read",
                 shown.c_str(), g_image.GetError());
    std::fflush(stderr);
    return 2;
  }
  if (options.json) {
    // The name as given, in UTF-8 where it is; not for a console.
    return RunJson(g_image, is_stdin ? "-" : arg, options.check);
  }
  if (header != nullptr) g_out.Print(header, shown.c_str());
  int status = options.check ? RunCheck(g_image) : RunAccount();
  // A read that failed made part of the file look absent; the account
  // says so, and the run fails.
  if (g_image.GetReadError() != nullptr) {
    g_out.Print("\nRead error: %s; the account above is incomplete.\n",
                g_image.GetReadError());
    status = 2;
  }
  return status;
}

}  // namespace

int RunD88Info(int argc, char** argv) {
  Options options;
  bool help = false;
  bool version = false;
  bool options_done = false;
  std::vector<const char*> paths;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      if (std::strcmp(arg, "--") == 0) {
        options_done = true;
      } else if (std::strcmp(arg, "--check") == 0) {
        options.check = true;
      } else if (std::strcmp(arg, "--json") == 0) {
        options.json = true;
      } else if (std::strcmp(arg, "--help") == 0 ||
                 std::strcmp(arg, "-h") == 0) {
        help = true;
      } else if (std::strcmp(arg, "--version") == 0) {
        version = true;
      } else {
        return UsageError("unknown option " + Quoted(arg));
      }
    } else {
      paths.push_back(arg);
    }
  }
  g_out.Reset();
  int status = 0;
  if (help) {
    g_out.Print("%s", kUsage);
  } else if (version) {
    g_out.Print("d88info %s\n", D88_VERSION_STRING);
  } else if (paths.empty()) {
    return UsageError("no FILE given");
  } else {
    for (size_t i = 0; i < paths.size(); ++i) {
      const char* header = paths.size() == 1
                               ? nullptr
                               : (i == 0 ? "==> %s <==\n" : "\n==> %s <==\n");
      status = std::max(status, DescribeFile(paths[i], options, header));
    }
  }
  g_out.Flush();
  if (g_out.error() != 0) {
    std::fprintf(stderr, "error: standard output: %s\n",
                 std::strerror(g_out.error()));
    return 2;
  }
  return status;
}

}  // namespace info
