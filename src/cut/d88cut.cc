#include "cut/d88cut.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/command_line.h"
#include "common/output_file.h"
#include "d88/d88_image.h"
#include "game/game_disk.h"
#include "game/game_layout.h"

namespace cut {

using common::FilePublisher;

using game::RecordSector;

using common::ConsoleOutput;
using common::IgnoreWriteSignals;
using common::OwnExecutablePath;
using common::PathForConsole;
using common::RemoveTemporaryFileOnSignals;
using common::WriteError;
using d88::D88Image;
using d88::FileIdentity;
using game::DirectoryEntry;
using game::EntryFileName;
using game::GamePosition;
using game::GetDirectoryEntry;
using game::kDirectoryBlockSize;
using game::kExtractedDisk;
using game::kFirstDirectoryEntry;
using game::kFirstDiskChar;
using game::kProgName;
using game::kProgSector;
using game::kProgSize;
using game::kWorkAreaSize;
using game::ReadDirectoryBlock;
using game::ReadSignature;
using game::UseGameSectorRange;

namespace {

// The tool's whole state, in static storage for the run. The image's
// destructor closes the input file at exit.
D88Image g_image;
uint8_t g_work_area[kWorkAreaSize];
uint8_t g_directory_block[kDirectoryBlockSize];
bool g_write_failed = false;
// The listing. When a write to it fails, the listing stops there; the files
// are still written.
ConsoleOutput g_listing;
FilePublisher* g_publisher = nullptr;  // the run's
bool g_hide_input_identity = false;    // test seam

// Console texts. The Japanese ones are Shift-JIS bytes, written unchanged.
#define D88CUT_USAGE "Usage: %s [d88file]\n"
// "ファイルをオープンできません"
#define D88CUT_CANNOT_OPEN                                               \
  "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x83\x49\x81\x5B\x83\x76\x83" \
  "\x93\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\n"
// "Disk %c を認識しました."
#define D88CUT_RECOGNISED \
  "Disk %c \x82\xF0\x94\x46\x8E\xAF\x82\xB5\x82\xDC\x82\xB5\x82\xBD.\n"
#define D88CUT_ENTRY                                                   \
  "%03d : Disk %1d / start=%04x(TRK=%03d SEC=%1d) size=%04x loadaddr=" \
  "%04X:%04X "

// Room for a path as the console shows it.
char g_shown[3 * 4096];

// Diagnostics go to standard error after the console line they belong to,
// so standard output is flushed first to keep the order on a terminal.
void ReportFile(const char* name, int32_t length, bool written,
                const ExtractReport& report) {
  if (written && report.missing == 0) return;
  g_listing.Flush();
  if (!written) {
    g_write_failed = true;
    std::fprintf(stderr, "error: %s: %s\n", name, report.reason);
  } else {
    // The run stops at the first sector that cannot be read whole; what
    // follows it is zero, except for any bytes of that sector that did
    // arrive.
    std::fprintf(stderr,
                 "warning: %s: %d of %d bytes could not be read, from byte %d "
                 "on\n",
                 name, report.missing, length, length - report.missing);
  }
}

}  // namespace

bool ExtractFile(const char* name, GamePosition from, int32_t offset,
                 int32_t length, ExtractReport* report) {
  // Clearing first keeps bytes of an earlier file out of this one where
  // sectors are missing.
  std::memset(g_work_area, 0, static_cast<size_t>(length));
  const int32_t got =
      g_image.ReadSectors(from.track, from.id, g_work_area, length);
  report->missing = length - got;
  report->reason[0] = '\0';
  WriteError error;
  if (!g_publisher->Publish(name, g_work_area + offset,
                            static_cast<size_t>(length), &error)) {
    std::snprintf(report->reason, sizeof(report->reason), "%s", error.reason);
    return false;
  }
  return true;
}

void ExtractGameFiles() {
  ReadDirectoryBlock(g_image, g_directory_block);

  ExtractReport report;
  const bool prog_written =
      ExtractFile(kProgName, kProgSector, 0, kProgSize, &report);
  if (prog_written) g_listing.Print("PROG cutted.\n");
  ReportFile(kProgName, kProgSize, prog_written, report);

  DirectoryEntry e;
  for (int32_t k = kFirstDirectoryEntry;
       GetDirectoryEntry(g_directory_block, k, &e); ++k) {
    const int disk = e.disk;
    const uint16_t start = e.start;
    const uint16_t size = e.size;
    const GamePosition at = RecordSector(start);
    g_listing.Print(D88CUT_ENTRY, static_cast<int>(k), disk,
                    static_cast<unsigned>(start), static_cast<int>(at.track),
                    static_cast<int>(at.id.r), static_cast<unsigned>(size),
                    static_cast<unsigned>(e.load_segment),
                    static_cast<unsigned>(e.load_offset));
    if (disk != kExtractedDisk) {
      g_listing.Print("\n");
      continue;
    }
    const EntryFileName name(k);
    const bool written = ExtractFile(name.text, at, 0, size, &report);
    g_listing.Print(written ? " ...cutted.\n" : "\n");
    ReportFile(name.text, size, written, report);
  }
}

void SetUpSignals() {
  // A reader of the listing that goes away (`| head`), or a file size
  // limit, must not end the run before every file is written: the writes
  // fail instead, and are reported like any other write error.
  IgnoreWriteSignals();
  RemoveTemporaryFileOnSignals();
}

void HideInputIdentityForTesting(bool hide) { g_hide_input_identity = hide; }

int RunD88Cut(int argc, char** argv) {
  FilePublisher publisher;
  return RunD88Cut(argc, argv, &publisher);
}

int RunD88Cut(int argc, char** argv, FilePublisher* publisher) {
  // An empty command line counts as the executable's path alone; some
  // systems pass it as no words, others as one empty word.
  const bool has_name = argc >= 1 && argv[0] != nullptr && argv[0][0] != '\0';
  const char* program = has_name ? argv[0] : OwnExecutablePath("d88cut");
  const int words = argc < 1 ? 1 : argc;
  if (words < 2 || words > 3) {
    std::fprintf(stderr, D88CUT_USAGE,
                 PathForConsole(program, g_shown, sizeof(g_shown)));
    return 1;
  }
  // A run reports only its own failures, also when the tool is run more
  // than once in one process.
  g_write_failed = false;
  g_listing.Reset();
  const char* const path = argv[1];
  if (!g_image.Open(path)) {
    // A file that cannot be opened gets the tool's message alone; where
    // the reader failed, the reason follows (alone for a stream that
    // cannot be copied, which did open).
    const D88Image::OpenFailure failure = g_image.GetOpenFailure();
    if (failure != D88Image::OpenFailure::kStream) {
      std::fputs(D88CUT_CANNOT_OPEN, stderr);
    }
    if (failure != D88Image::OpenFailure::kFile) {
      std::fprintf(stderr, "error: %s: %s\n",
                   PathForConsole(path, g_shown, sizeof(g_shown)),
                   g_image.GetError());
    }
    return 1;
  }
  // Output names are checked against the input only where they exist. Where
  // the system cannot tell which file the input is, any existing name might
  // be it, and none is replaced.
  FileIdentity input;
  if (!g_hide_input_identity && g_image.GetFileIdentity(&input)) {
    publisher->ProtectFile(input);
  } else {
    publisher->ProtectUnknownFile();
  }
  g_publisher = publisher;

  const int32_t count = g_image.GetImageCount();
  for (int32_t i = 0; i < count; ++i) {
    g_image.SelectImage(i);
    UseGameSectorRange(g_image);
    uint8_t disk_char = 0;
    if (!ReadSignature(g_image, g_work_area, &disk_char)) continue;
    g_listing.Print(D88CUT_RECOGNISED, disk_char);
    if (disk_char == kFirstDiskChar) ExtractGameFiles();
  }
  g_listing.Flush();
  int status = g_write_failed ? 1 : 0;
  // A failed read looks like missing sectors to the extraction; the run
  // still fails, once, with the system's reason.
  if (g_image.GetReadError() != nullptr) {
    std::fprintf(stderr, "error: %s: %s\n",
                 PathForConsole(path, g_shown, sizeof(g_shown)),
                 g_image.GetReadError());
    status = 1;
  }
  // A listing that could not be written is a failure too, as for a file.
  if (g_listing.error() != 0) {
    std::fprintf(stderr, "error: standard output: %s\n",
                 std::strerror(g_listing.error()));
    status = 1;
  }
  return status;
}

}  // namespace cut
