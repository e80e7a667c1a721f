#include "cut/d88cut.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/command_line.h"
#include "common/output_file.h"
#include "d88/d88_image.h"
#include "game/game_disk.h"
#include "game/game_files.h"
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
using game::ForEachGameFile;
using game::GameFile;
using game::GamePosition;
using game::kDirectoryBlockSize;
using game::kFirstDiskChar;
using game::kWorkAreaSize;
using game::ReadDirectoryBlock;
using game::ReadRecords;
using game::ReadSignature;
using game::UseGameSectorRange;

namespace {

// The big buffers and the reader, in static storage for the process. The
// image's destructor closes the input file at exit.
D88Image g_image;
uint8_t g_work_area[kWorkAreaSize];
uint8_t g_directory_block[kDirectoryBlockSize];
// Test seam: the input's identity taken as unknown.
bool g_hide_input_identity = false;

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

// What became of one extracted file.
struct ExtractReport {
  int32_t missing;   // bytes at the end that could not be read whole
  char reason[256];  // why the file was not written, when it was not
};

// One run of the tool: what it writes through, and what has failed so far.
// Each call of RunD88Cut has its own, so a run reports only its own
// failures.
class Run {
 public:
  explicit Run(FilePublisher* publisher) : publisher_(publisher) {}

  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  int Main(int argc, char** argv);

 private:
  void ExtractGameFiles();
  bool ExtractFile(const GameFile& file, ExtractReport* report);
  void ReportFile(const GameFile& file, bool written,
                  const ExtractReport& report);
  const char* Shown(const char* path) {
    return PathForConsole(path, shown_, sizeof(shown_));
  }

  FilePublisher* const publisher_;
  // The listing. When a write to it fails, the listing stops there; the
  // files are still written.
  ConsoleOutput listing_;
  bool write_failed_ = false;
  // Room for a path as the console shows it.
  char shown_[3 * 4096];
};

// Reads the file's sectors into the start of the work area, after zeroing
// that range, and writes them to the file of its name, replacing any file
// of that name. Returns true if the file was written whole; `report` tells
// how many bytes were missing and, on failure, why.
bool Run::ExtractFile(const GameFile& file, ExtractReport* report) {
  // Clearing first keeps bytes of an earlier file out of this one where
  // sectors are missing.
  const size_t length = static_cast<size_t>(file.length);
  std::memset(g_work_area, 0, length);
  const int32_t got =
      ReadRecords(g_image, file.record, g_work_area, file.length);
  report->missing = file.length - got;
  report->reason[0] = '\0';
  WriteError error;
  if (!publisher_->Publish(file.name, g_work_area, length, &error)) {
    std::snprintf(report->reason, sizeof(report->reason), "%s", error.reason);
    return false;
  }
  return true;
}

// Diagnostics go to standard error after the console line they belong to,
// so standard output is flushed first to keep the order on a terminal.
void Run::ReportFile(const GameFile& file, bool written,
                     const ExtractReport& report) {
  if (written && report.missing == 0) return;
  listing_.Flush();
  if (!written) {
    write_failed_ = true;
    std::fprintf(stderr, "error: %s: %s\n", file.name, report.reason);
  } else {
    // The run stops at the first sector that cannot be read whole; what
    // follows it is zero, except for any bytes of that sector that did
    // arrive.
    std::fprintf(stderr,
                 "warning: %s: %d of %d bytes could not be read, from byte %d "
                 "on\n",
                 file.name, report.missing, file.length,
                 file.length - report.missing);
  }
}

// Writes PROG and the directory's disk-1 files of the selected image,
// listing every directory entry.
void Run::ExtractGameFiles() {
  ReadDirectoryBlock(g_image, g_directory_block);
  ForEachGameFile(g_directory_block, [this](const GameFile& file) {
    ExtractReport report;
    if (file.is_prog) {
      const bool written = ExtractFile(file, &report);
      if (written) listing_.Print("PROG cutted.\n");
      ReportFile(file, written, report);
      return;
    }
    const DirectoryEntry& e = file.entry;
    const GamePosition at = RecordSector(e.start);
    listing_.Print(D88CUT_ENTRY, static_cast<int>(file.k),
                   static_cast<int>(e.disk), static_cast<unsigned>(e.start),
                   static_cast<int>(at.track), static_cast<int>(at.id.r),
                   static_cast<unsigned>(e.size),
                   static_cast<unsigned>(e.load_segment),
                   static_cast<unsigned>(e.load_offset));
    if (!file.on_disk_one) {
      listing_.Print("\n");
      return;
    }
    const bool written = ExtractFile(file, &report);
    listing_.Print(written ? " ...cutted.\n" : "\n");
    ReportFile(file, written, report);
  });
}

int Run::Main(int argc, char** argv) {
  // An empty command line counts as the executable's path alone; some
  // systems pass it as no words, others as one empty word.
  const bool has_name = argc >= 1 && argv[0] != nullptr && argv[0][0] != '\0';
  const char* program = has_name ? argv[0] : OwnExecutablePath("d88cut");
  const int words = argc < 1 ? 1 : argc;
  if (words < 2 || words > 3) {
    std::fprintf(stderr, D88CUT_USAGE, Shown(program));
    return 1;
  }
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
      std::fprintf(stderr, "error: %s: %s\n", Shown(path), g_image.GetError());
    }
    return 1;
  }
  // Output names are checked against the input only where they exist. Where
  // the system cannot tell which file the input is, any existing name might
  // be it, and none is replaced.
  FileIdentity input;
  if (!g_hide_input_identity && g_image.GetFileIdentity(&input)) {
    publisher_->ProtectFile(input);
  } else {
    publisher_->ProtectUnknownFile();
  }

  const int32_t count = g_image.GetImageCount();
  for (int32_t i = 0; i < count; ++i) {
    g_image.SelectImage(i);
    UseGameSectorRange(g_image);
    uint8_t disk_char = 0;
    if (!ReadSignature(g_image, g_work_area, &disk_char)) continue;
    listing_.Print(D88CUT_RECOGNISED, disk_char);
    if (disk_char == kFirstDiskChar) ExtractGameFiles();
  }
  listing_.Flush();
  int status = write_failed_ ? 1 : 0;
  // A failed read looks like missing sectors to the extraction; the run
  // still fails, once, with the system's reason.
  if (g_image.GetReadError() != nullptr) {
    std::fprintf(stderr, "error: %s: %s\n", Shown(path),
                 g_image.GetReadError());
    status = 1;
  }
  // A listing that could not be written is a failure too, as for a file.
  if (listing_.error() != 0) {
    std::fprintf(stderr, "error: standard output: %s\n",
                 std::strerror(listing_.error()));
    status = 1;
  }
  return status;
}

}  // namespace

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
  Run run(publisher);
  return run.Main(argc, argv);
}

}  // namespace cut
