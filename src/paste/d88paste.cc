#include "paste/d88paste.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "common/command_line.h"
#include "common/memory.h"
#include "common/output_file.h"
#include "d88/d88_image.h"
#include "d88/input_file.h"
#include "d88/version.h"
#include "game/game_disk.h"
#include "game/game_files.h"
#include "game/game_layout.h"

namespace paste {

using common::ConsoleOutput;
using common::FilePublisher;
using common::PathForConsole;
using common::WriteError;
using d88::D88Image;
using d88::FileIdentity;
using d88::InputFile;
using d88::SectorLocation;
using game::EntryFile;
using game::EntryFileName;
using game::EntryOffset;
using game::ForEachGameFile;
using game::GameFile;
using game::GamePosition;
using game::kDirectoryBlockSize;
using game::kDirectoryRecord;
using game::kEntrySizeOffset;
using game::kFirstDirectoryEntry;
using game::kFirstDiskChar;
using game::kGameSectorSize;
using game::kLastDirectoryEntry;
using game::kProgName;
using game::kProgRecord;
using game::kProgSize;
using game::kSignatureReadSize;
using game::ReadDirectoryBlock;
using game::ReadRecords;
using game::ReadSignature;
using game::RecordSector;
using game::UseGameSectorRange;

namespace {

using Bytes = std::vector<uint8_t>;

const char kUsage[] =
    "Usage: d88paste [-C DIR] [--image N] [-n] IN.d88 OUT.d88\n"
    "Puts the files that d88cut extracts (PROG, 002, 003, ...) back into a\n"
    "copy of IN.d88 and writes it to OUT.d88. Files that are absent keep\n"
    "their bytes; a file may shrink or grow within the sectors it has.\n"
    "\n"
    "  -C DIR         read the files from DIR (default: the current "
    "directory)\n"
    "  --image N      the disk-1 image to change, by its index as d88info\n"
    "                 shows it (needed when the file holds more than one)\n"
    "  -n, --dry-run  say what would change; write nothing\n"
    "  -h, --help     show this text\n"
    "  --version      show the version of d88paste\n";

// The input, and then OUT read back before it is published, both read from
// their files. In static storage: it keeps its notes of the tracks for the
// process's life.
D88Image g_image;

// Where the directory block lies inside PROG.
constexpr int32_t kDirectoryInProg =
    (kDirectoryRecord - kProgRecord) * kGameSectorSize;
static_assert(kDirectoryInProg + kDirectoryBlockSize == kProgSize,
              "the directory block is PROG's last four sectors");

// A folder file longer than this is read no further; it is too large for
// any entry anyway.
constexpr int64_t kMaxFolderFile = int64_t{1} << 20;

// A run of bytes that the tool writes into OUT, and whose file it is.
struct Piece {
  int64_t offset;
  int32_t length;
  size_t owner;          // index into the run's files
  const uint8_t* bytes;  // the new bytes, in the owner's planned bytes
};

// Where a sector that a file's extraction reads lies in the input.
struct Spot {
  size_t owner;  // index into the run's files
  int32_t pos;   // offset inside the file
  int64_t offset;
  int32_t data_size;
};

// Bytes held elsewhere: in a ByteStore, or in a Bytes that outlives it.
struct ByteRun {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

ByteRun RunOf(const Bytes& bytes) { return {bytes.data(), bytes.size()}; }

bool Same(ByteRun a, ByteRun b) {
  return a.size == b.size &&
         (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

// Bytes that stay in place until the store goes: the folder's files, read
// straight into large blocks whose pages are made at once rather than one
// fault at a time (a folder holds hundreds of files).
class ByteStore {
 public:
  // Room for `size` bytes.
  uint8_t* Take(size_t size) {
    if (size > left_) {
      const size_t n = size > kBlockSize ? size : kBlockSize;
      blocks_.emplace_back(new uint8_t[n]);
      next_ = blocks_.back().get();
      left_ = n;
      common::PrepareForWriting(next_, n);
    }
    uint8_t* at = next_;
    next_ += size;
    left_ -= size;
    return at;
  }

 private:
  static constexpr size_t kBlockSize = size_t{256} << 10;
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  uint8_t* next_ = nullptr;
  size_t left_ = 0;
};

// PROG or a disk-1 file of the chosen image, as the directory that OUT will
// hold places it.
struct PasteFile {
  GameFile file;
  bool in_folder = false;
  // The input's extraction, zeros where it cannot read; of PROG and of the
  // files that the folder does not replace.
  Bytes old_bytes;
  // PROG's new bytes: the folder's, or the input's with the size updates.
  Bytes prog_bytes;
  ByteRun folder_bytes;  // a numbered file's bytes, from the folder
  // What OUT must extract to.
  ByteRun planned() const {
    return file.is_prog ? RunOf(prog_bytes)
           : in_folder  ? folder_bytes
                        : RunOf(old_bytes);
  }
  bool changed = false;
  bool refused = false;  // its sectors cannot take the new bytes
  int32_t sectors_rewritten = 0;
};

// One run of the tool.
class Run {
 public:
  explicit Run(FilePublisher* publisher) : publisher_(publisher) {}

  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  int Main(int argc, char** argv);

 private:
  int UsageError(const char* format, const char* arg);
  bool ParseArguments(int argc, char** argv, int* status);
#if defined(__GNUC__)
  __attribute__((format(printf, 3, 4)))
#endif
  void
  Error(const char* name, const char* format, ...);
  const char* Shown(const char* path) {
    return PathForConsole(path, shown_, sizeof(shown_));
  }

  bool OpenInput();
  bool InputFailed();
  bool ChooseImage();
  void ReadFolder();
  bool ReadFolderFile(const char* name, ByteRun* bytes, int64_t* size);
  void ListFiles();
  void PlaceFolderFiles();
  bool LocateWhole(const PasteFile& f, int32_t sector, SectorLocation* where);
  void WriteFile(size_t index);
  void WriteRange(size_t index, int32_t from, int32_t length);
  void LocateExtractions();
  void CountRewrites();
  void CheckOverlaps();
  bool StateAt(int64_t offset, size_t len, size_t pieces, uint8_t* out);
  static bool Fill(void* context, int64_t offset, uint8_t* buf, size_t len,
                   const char** why);
  bool ReadBack(const char* path, WriteError* error);
  static bool ReadBackCheck(void* context, const char* path,
                            WriteError* error) {
    return static_cast<Run*>(context)->ReadBack(path, error);
  }

  FilePublisher* const publisher_;
  ConsoleOutput out_;
  int errors_ = 0;
  bool input_failed_ = false;  // a failed read of the input was reported
#ifndef _WIN32
  // The input file as OpenInput found it, when it is a regular file: OUT is
  // made from reads of it over the run, which must all see the same bytes.
  bool input_stat_known_ = false;
  struct stat input_stat_ = {};
  bool InputChanged() const;
#endif
  char fill_error_[320];
  char shown_[3 * 4096];

  // The command line.
  const char* dir_ = ".";
  const char* in_path_ = nullptr;
  const char* out_path_ = nullptr;
  int32_t image_ = -1;
  bool dry_run_ = false;

  // The input, which the reader reads from the file, and its size. OUT is
  // made from its bytes as they are written, with the pieces applied.
  int64_t size_ = 0;
  uint8_t in_directory_[kDirectoryBlockSize];
  // The folder's PROG, when it has one of the right size that differs from
  // the input's, and the folder's files by entry number.
  bool has_prog_ = false;
  ByteStore folder_store_;  // the bytes of the folder's files
  ByteRun folder_prog_;
  struct FolderFile {
    bool present = false;
    int64_t size = 0;
    ByteRun bytes;
  };
  FolderFile folder_[kLastDirectoryEntry + 1];
  // PROG first, then the disk-1 entries in directory order.
  std::vector<PasteFile> files_;
  std::vector<Piece> pieces_;
  // The pieces' indexes by offset (then index), for the pieces that touch
  // a range of bytes.
  std::vector<size_t> by_offset_;
  std::vector<size_t> touching_;  // StateAt's pieces, kept for its next call
  std::vector<Spot> spots_;
  // Size fields rewritten while PROG itself is not in the folder: their
  // offsets inside PROG.
  std::vector<int32_t> size_fields_;
};

void Run::Error(const char* name, const char* format, ...) {
  out_.Flush();
  std::fprintf(stderr, "error: %s: ", name);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  ++errors_;
}

int Run::UsageError(const char* format, const char* arg) {
  std::fputs("d88paste: ", stderr);
  std::fprintf(stderr, format, arg != nullptr ? Shown(arg) : "");
  std::fputs("\nTry 'd88paste --help'.\n", stderr);
  return 2;
}

bool ParseIndex(const char* text, int32_t* value) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || n > INT32_MAX) return false;
  *value = static_cast<int32_t>(n);
  return true;
}

// Returns false when the run ends here, with `*status`.
bool Run::ParseArguments(int argc, char** argv, int* status) {
  bool options_done = false;
  bool help = false;
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool option = !options_done && arg[0] == '-' && arg[1] != '\0';
    if (!option) {
      if (in_path_ == nullptr) {
        in_path_ = arg;
      } else if (out_path_ == nullptr) {
        out_path_ = arg;
      } else {
        *status = UsageError("one file too many: '%s'", arg);
        return false;
      }
    } else if (std::strcmp(arg, "--") == 0) {
      options_done = true;
    } else if (std::strcmp(arg, "-n") == 0 ||
               std::strcmp(arg, "--dry-run") == 0) {
      dry_run_ = true;
    } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      version = true;
    } else if (std::strcmp(arg, "-C") == 0 ||
               std::strcmp(arg, "--image") == 0) {
      if (i + 1 >= argc) {
        *status = UsageError("%s needs a value", arg);
        return false;
      }
      const char* value = argv[++i];
      if (arg[1] == 'C') {
        dir_ = value;
      } else if (!ParseIndex(value, &image_)) {
        *status = UsageError("--image needs an image index, not '%s'", value);
        return false;
      }
    } else {
      *status = UsageError("unknown option '%s'", arg);
      return false;
    }
  }
  if (help) {
    out_.Print("%s", kUsage);
  } else if (version) {
    out_.Print("d88paste %s\n", D88_VERSION_STRING);
  } else if (out_path_ == nullptr) {
    *status =
        UsageError("%s", in_path_ == nullptr ? "no IN.d88 or OUT.d88 given"
                                             : "no OUT.d88 given");
    return false;
  } else {
    return true;
  }
  out_.Flush();
  *status = out_.error() != 0 ? 1 : 0;
  return false;
}

// Opens the input for the reader, which reads it from the file; OUT's bytes
// are read from it again as OUT is written. A stream (a pipe, a FIFO) is
// read once, into the temporary copy that the reader keeps of it.
bool Run::OpenInput() {
  const char* shown = Shown(in_path_);
#ifndef _WIN32
  // Pipes and FIFOs are read once, into a copy; a directory is no image.
  struct stat st;
  if (stat(in_path_, &st) == 0 && S_ISDIR(st.st_mode)) {
    Error(shown, "not a regular file");
    return false;
  }
#endif
  if (!g_image.Open(in_path_)) {
    Error(shown, "%s",
          g_image.GetError() != nullptr ? g_image.GetError()
                                        : "cannot be opened");
    return false;
  }
  // OUT may be neither IN nor another name of it; where the system cannot
  // tell which file IN is, no existing OUT is replaced.
  FileIdentity identity;
  if (g_image.GetFileIdentity(&identity)) {
    publisher_->ProtectFile(identity);
  } else {
    publisher_->ProtectUnknownFile();
  }
  // A stream is read to its end here. A file larger than any real set of
  // disks is refused.
  const int64_t size = g_image.GetFileSize();
  if (size > D88Image::kMaxStreamSize) {
    Error(shown, "larger than the %lld bytes that can be copied",
          static_cast<long long>(D88Image::kMaxStreamSize));
    return false;
  }
  if (size < 0) {
    Error(shown, "%s",
          g_image.GetError() != nullptr ? g_image.GetError()
                                        : "cannot be read whole");
    return false;
  }
  size_ = size;
#ifndef _WIN32
  input_stat_known_ =
      stat(in_path_, &input_stat_) == 0 && S_ISREG(input_stat_.st_mode);
#endif
  return true;
}

#ifndef _WIN32
// Whether the input file is no longer as OpenInput found it: another file
// under its name, or written since (its size or modification time).
bool Run::InputChanged() const {
  if (!input_stat_known_) return false;
  struct stat now;
  return stat(in_path_, &now) != 0 || now.st_dev != input_stat_.st_dev ||
         now.st_ino != input_stat_.st_ino ||
         now.st_size != input_stat_.st_size ||
         now.st_mtim.tv_sec != input_stat_.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != input_stat_.st_mtim.tv_nsec;
}
#endif

// Whether a read of the input has failed; the first time, says so. What the
// reads then delivered is in doubt, so it is the one error that counts.
bool Run::InputFailed() {
  if (g_image.GetReadError() == nullptr) return false;
  if (!input_failed_) Error(Shown(in_path_), "%s", g_image.GetReadError());
  input_failed_ = true;
  return true;
}

// Selects the disk-1 image to change: the one of --image, or the only one.
bool Run::ChooseImage() {
  std::vector<int32_t> disk_ones;
  uint8_t signature[kSignatureReadSize];
  for (int32_t i = 0; i < g_image.GetImageCount(); ++i) {
    if (!g_image.SelectImage(i)) continue;
    UseGameSectorRange(g_image);
    uint8_t disk_char = 0;
    if (ReadSignature(g_image, signature, &disk_char) &&
        disk_char == kFirstDiskChar) {
      disk_ones.push_back(i);
    }
  }
  std::string list;
  for (const int32_t i : disk_ones) {
    list += (list.empty() ? "" : ", ") + std::to_string(i);
  }
  if (InputFailed()) return false;
  const char* shown = Shown(in_path_);
  if (disk_ones.empty()) {
    Error(shown, "holds no disk 1 of the game");
    return false;
  }
  bool known = false;
  for (const int32_t i : disk_ones) known = known || i == image_;
  if (image_ >= 0 && !known) {
    Error(shown, "image %d is not a disk 1 of the game; disk 1 is image %s",
          static_cast<int>(image_), list.c_str());
    return false;
  }
  if (image_ < 0 && disk_ones.size() > 1) {
    Error(shown,
          "holds more than one disk 1 of the game (images %s); choose one "
          "with --image N",
          list.c_str());
    return false;
  }
  if (image_ < 0) image_ = disk_ones[0];
  g_image.SelectImage(image_);
  UseGameSectorRange(g_image);
  return true;
}

#ifdef _WIN32

// Reads the file at `path` (UTF-8): its size into `*size`, its bytes up to
// `max` into `bytes`. Returns false with `*absent` set when there is no such
// file, and with `*error` (or null) when it cannot be read.
bool ReadFileUpTo(const char* path, int64_t max, ByteStore* store,
                  ByteRun* bytes, int64_t* size, bool* absent,
                  const char** error) {
  InputFile file;
  *absent = false;
  *error = nullptr;
  if (!file.Open(path, max)) {
    const DWORD code = GetLastError();
    *absent = file.error() == nullptr &&
              (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND);
    *error = file.error();
    return false;
  }
  *size = file.Size();
  const size_t want =
      static_cast<size_t>(*size < 0 ? 0 : (*size < max ? *size : max));
  uint8_t* into = store->Take(want);
  *bytes = {into, want};
  if (*size < 0 || file.ReadAt(0, into, want) != want) {
    *error = file.error();
    return false;
  }
  return true;
}

#else

// The same with four system calls a file: a folder holds hundreds.
bool ReadFileUpTo(const char* path, int64_t max, ByteStore* store,
                  ByteRun* bytes, int64_t* size, bool* absent,
                  const char** error) {
  *absent = false;
  *error = nullptr;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *absent = errno == ENOENT;
    *error = std::strerror(errno);
    return false;
  }
  struct stat st;
  int err = fstat(fd, &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : 0);
  // A regular file is read up to its size; anything else up to `max`.
  const int64_t expect =
      err == 0 && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : max;
  const size_t want = static_cast<size_t>(expect < max ? expect : max);
  uint8_t* into = store->Take(want);
  size_t done = 0;
  while (err == 0 && done < want) {
    const ssize_t n = read(fd, into + done, want - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (err != 0) {
    *error = std::strerror(err);
    return false;
  }
  *bytes = {into, done};
  // A regular file that shrank while it was read is as long as what was
  // read; one longer than `max` keeps its size.
  *size = S_ISREG(st.st_mode) && done == want ? static_cast<int64_t>(st.st_size)
                                              : static_cast<int64_t>(done);
  return true;
}

#endif

// Reads the folder's file `name`, if there is one: its size, and its bytes
// up to kMaxFolderFile. Returns whether it is there; a file that is there
// but cannot be read is an error.
bool Run::ReadFolderFile(const char* name, ByteRun* bytes, int64_t* size) {
  std::string path = dir_;
  path += '/';
  path += name;
  bool absent = false;
  const char* error = nullptr;
  if (ReadFileUpTo(path.c_str(), kMaxFolderFile, &folder_store_, bytes, size,
                   &absent, &error)) {
    return true;
  }
  if (!absent) {
    Error(name, "cannot be read%s%s", error != nullptr ? ": " : "",
          error != nullptr ? error : "");
  }
  return false;
}

// The folder's PROG and the files whose names d88cut writes.
void Run::ReadFolder() {
  int64_t size = 0;
  if (ReadFolderFile(kProgName, &folder_prog_, &size)) {
    if (size != kProgSize || folder_prog_.size != size_t{kProgSize}) {
      Error(kProgName, "%lld bytes; PROG must be exactly %d bytes",
            static_cast<long long>(size), static_cast<int>(kProgSize));
    } else {
      has_prog_ = true;
    }
  }
  for (int32_t k = kFirstDirectoryEntry; k <= kLastDirectoryEntry; ++k) {
    FolderFile& f = folder_[k];
    f.present = ReadFolderFile(EntryFileName(k).text, &f.bytes, &f.size);
  }
}

// The list of PROG and the disk-1 files, placed by the directory that OUT
// will hold: the folder's PROG's, or else the input's.
void Run::ListFiles() {
  ReadDirectoryBlock(g_image, in_directory_);
  // An unchanged PROG leaves the input's directory in place, also where
  // PROG's extraction could not read it whole.
  if (has_prog_) {
    Bytes old_prog(static_cast<size_t>(kProgSize), 0);
    ReadRecords(g_image, kProgRecord, old_prog.data(), kProgSize);
    has_prog_ = !Same(folder_prog_, RunOf(old_prog));
  }
  const uint8_t* directory =
      has_prog_ ? folder_prog_.data + kDirectoryInProg : in_directory_;
  ForEachGameFile(directory, [this](const GameFile& file) {
    if (!file.on_disk_one) return;
    PasteFile f;
    f.file = file;
    if (file.is_prog) {
      f.old_bytes.assign(static_cast<size_t>(file.length), 0);
      ReadRecords(g_image, file.record, f.old_bytes.data(), file.length);
      f.prog_bytes = f.old_bytes;
    }
    files_.push_back(std::move(f));
  });
  PasteFile& prog = files_[0];
  if (has_prog_) {
    prog.in_folder = true;
    prog.prog_bytes.assign(folder_prog_.data,
                           folder_prog_.data + folder_prog_.size);
  }
}

// Checks the folder's numbered files against the directory, takes their
// bytes and applies the size updates to PROG.
void Run::PlaceFolderFiles() {
  const uint8_t* directory =
      has_prog_ ? folder_prog_.data + kDirectoryInProg : in_directory_;
  // The table ends at its first empty entry; entries past it are not
  // listed, whatever their bytes.
  int32_t listed_end = kFirstDirectoryEntry;
  ForEachGameFile(directory, [&listed_end](const GameFile& file) {
    if (!file.is_prog) listed_end = file.k + 1;
  });
  for (int32_t k = kFirstDirectoryEntry; k <= kLastDirectoryEntry; ++k) {
    FolderFile& folder = folder_[k];
    if (!folder.present) continue;
    const EntryFileName entry_name(k);
    const char* name = entry_name.text;
    GameFile entry;
    if (k >= listed_end || !EntryFile(directory, k, &entry)) {
      Error(name, "the directory has no entry %d", static_cast<int>(k));
      continue;
    }
    if (!entry.on_disk_one) {
      Error(name, "its entry is on disk %d, not on disk 1",
            static_cast<int>(entry.entry.disk));
      continue;
    }
    // Whole sectors, and no more than the 16-bit size field holds.
    const int64_t sectors =
        (int64_t{entry.length} + kGameSectorSize - 1) / kGameSectorSize;
    const int64_t capacity = sectors * kGameSectorSize > UINT16_MAX
                                 ? UINT16_MAX
                                 : sectors * kGameSectorSize;
    if (folder.size > capacity) {
      Error(name, "%lld bytes, more than the %lld bytes its sectors hold",
            static_cast<long long>(folder.size),
            static_cast<long long>(capacity));
      continue;
    }
    for (PasteFile& f : files_) {
      if (f.file.is_prog || f.file.k != k) continue;
      f.in_folder = true;
      f.folder_bytes = folder.bytes;
      if (folder.size == entry.length) break;
      // The size update, in PROG's copy of the directory.
      const size_t at = static_cast<size_t>(kDirectoryInProg) + EntryOffset(k) +
                        kEntrySizeOffset;
      files_[0].prog_bytes[at] = static_cast<uint8_t>(folder.size & 0xFF);
      files_[0].prog_bytes[at + 1] = static_cast<uint8_t>(folder.size >> 8);
      if (!has_prog_) size_fields_.push_back(static_cast<int32_t>(at));
      break;
    }
  }
  // The input's extraction of each file: kept where it is what OUT must
  // hold, else compared with the folder's bytes in one buffer.
  Bytes extracted;
  for (PasteFile& f : files_) {
    if (f.file.is_prog) {
      f.changed = !Same(f.planned(), RunOf(f.old_bytes));
      continue;
    }
    Bytes& into = f.in_folder ? extracted : f.old_bytes;
    into.assign(static_cast<size_t>(f.file.length), 0);
    ReadRecords(g_image, f.file.record, into.data(), f.file.length);
    f.changed = f.in_folder && !Same(f.folder_bytes, RunOf(extracted));
  }
}

// Where sector `sector` of file `f` lies, when the image holds it whole;
// otherwise an error for the file.
bool Run::LocateWhole(const PasteFile& f, int32_t sector,
                      SectorLocation* where) {
  const GamePosition at = RecordSector(f.file.record + sector);
  const char* why = nullptr;
  char held[64];
  if (!g_image.LocateSector(at.track, at.id.c, at.id.h, at.id.r, at.id.n,
                            where)) {
    why = "is missing";
  } else if (where->data_size != kGameSectorSize) {
    std::snprintf(held, sizeof(held), "holds %d bytes, not %d",
                  static_cast<int>(where->data_size),
                  static_cast<int>(kGameSectorSize));
    why = held;
  } else if (where->offset > static_cast<int64_t>(size_) - kGameSectorSize) {
    why = "is cut short by the end of the file";
  }
  if (why == nullptr) return true;
  if (InputFailed()) return false;
  Error(f.file.name, "its sector at track %d sector %d %s",
        static_cast<int>(at.track), static_cast<int>(at.id.r), why);
  return false;
}

// Plans the copy of bytes [from, from + length) of file `index`'s new bytes
// into its sectors; they reach OUT only as it is written.
void Run::WriteRange(size_t index, int32_t from, int32_t length) {
  PasteFile& f = files_[index];
  int32_t done = 0;
  while (done < length) {
    const int32_t pos = from + done;
    const int32_t sector = pos / kGameSectorSize;
    const int32_t in_sector = pos % kGameSectorSize;
    int32_t n = kGameSectorSize - in_sector;
    if (n > length - done) n = length - done;
    SectorLocation where;
    if (!LocateWhole(f, sector, &where)) return;
    pieces_.push_back(
        {where.offset + in_sector, n, index, f.planned().data + pos});
    done += n;
  }
}

// Writes a changed file's new bytes into its sectors, once every sector it
// occupies is known to be whole. PROG, when it is not in the folder,
// changes only in the size fields.
void Run::WriteFile(size_t index) {
  PasteFile& f = files_[index];
  if (!f.changed) return;
  // The sectors of the entry's size or the new size, whichever is longer;
  // PROG is read whole also where only its size fields change.
  const int32_t length = static_cast<int32_t>(f.planned().size) > f.file.length
                             ? static_cast<int32_t>(f.planned().size)
                             : f.file.length;
  const int32_t sectors = (length + kGameSectorSize - 1) / kGameSectorSize;
  SectorLocation where;
  for (int32_t i = 0; i < sectors; ++i) {
    if (!LocateWhole(f, i, &where)) {
      f.refused = true;
      return;
    }
  }
  if (f.file.is_prog && !f.in_folder) {
    for (const int32_t at : size_fields_) WriteRange(index, at, 2);
    return;
  }
  WriteRange(index, 0, static_cast<int32_t>(f.planned().size));
}

// The sectors that each file's extraction reads, as the reader finds them
// in the input: whole sectors until one is missing. Files refused already
// are left out.
void Run::LocateExtractions() {
  for (size_t index = 0; index < files_.size(); ++index) {
    const PasteFile& f = files_[index];
    if (f.refused) continue;
    const int32_t length = static_cast<int32_t>(f.planned().size);
    for (int32_t pos = 0; pos < length; pos += kGameSectorSize) {
      const GamePosition at =
          RecordSector(f.file.record + pos / kGameSectorSize);
      SectorLocation where;
      if (!g_image.LocateSector(at.track, at.id.c, at.id.h, at.id.r, at.id.n,
                                &where)) {
        break;
      }
      spots_.push_back({index, pos, where.offset, where.data_size});
    }
  }
}

// The bytes [offset, offset + len) of OUT once the first `pieces` pieces
// are written over the input's, in order, into `out`; false if the input
// cannot be read there.
bool Run::StateAt(int64_t offset, size_t len, size_t pieces, uint8_t* out) {
  // Ranges are a sector or a chunk of the publisher's at most.
  static_assert(FilePublisher::kSourceChunk <= INT32_MAX, "reads fit int32");
  if (len > FilePublisher::kSourceChunk ||
      g_image.ReadFileBytes(offset, out, static_cast<int32_t>(len)) !=
          static_cast<int32_t>(len)) {
    return false;
  }
  // Pieces are at most a sector long: those that touch the range start
  // less than a sector before it.
  const int64_t end = offset + static_cast<int64_t>(len);
  auto first = std::lower_bound(
      by_offset_.begin(), by_offset_.end(), offset - kGameSectorSize,
      [this](size_t i, int64_t at) { return pieces_[i].offset < at; });
  std::vector<size_t>& touching = touching_;
  touching.clear();
  for (auto it = first; it != by_offset_.end() && pieces_[*it].offset < end;
       ++it) {
    const Piece& p = pieces_[*it];
    if (*it < pieces && p.offset + p.length > offset) touching.push_back(*it);
  }
  // In the order they are written: where pieces overlap, the later wins.
  std::sort(touching.begin(), touching.end());
  for (const size_t i : touching) {
    const Piece& p = pieces_[i];
    const int64_t from = p.offset > offset ? p.offset : offset;
    const int64_t to = p.offset + p.length < end ? p.offset + p.length : end;
    std::memcpy(out + (from - offset), p.bytes + (from - p.offset),
                static_cast<size_t>(to - from));
  }
  return true;
}

bool Run::Fill(void* context, int64_t offset, uint8_t* buf, size_t len,
               const char** why) {
  Run& run = *static_cast<Run*>(context);
  if (run.StateAt(offset, len, run.pieces_.size(), buf)) return true;
  const char* reason = g_image.GetReadError();
  std::snprintf(run.fill_error_, sizeof(run.fill_error_),
                "reading %.200s failed: %.100s", run.Shown(run.in_path_),
                reason != nullptr ? reason : "it ended early");
  *why = run.fill_error_;
  return false;
}

// Counts, for each file, the sectors whose bytes its pieces change, each
// piece against what OUT holds when it is written.
void Run::CountRewrites() {
  by_offset_.resize(pieces_.size());
  for (size_t i = 0; i < pieces_.size(); ++i) by_offset_[i] = i;
  std::sort(by_offset_.begin(), by_offset_.end(), [this](size_t a, size_t b) {
    return pieces_[a].offset != pieces_[b].offset
               ? pieces_[a].offset < pieces_[b].offset
               : a < b;
  });
  uint8_t before[kGameSectorSize];
  for (size_t i = 0; i < pieces_.size(); ++i) {
    const Piece& p = pieces_[i];
    const size_t n = static_cast<size_t>(p.length);
    if (!StateAt(p.offset, n, i, before) ||
        std::memcmp(before, p.bytes, n) != 0) {
      ++files_[p.owner].sectors_rewritten;
    }
  }
}

// Every file must extract from the edited bytes as planned. Where one does
// not, files share sectors and the bytes of one were changed by another.
void Run::CheckOverlaps() {
  size_t skip_owner = files_.size();  // a file whose check has ended
  for (const Spot& spot : spots_) {
    if (spot.owner == skip_owner) continue;
    const size_t index = spot.owner;
    const PasteFile& f = files_[index];
    const int32_t length = static_cast<int32_t>(f.planned().size);
    const int32_t pos = spot.pos;
    // The reads of the extraction: whole sectors until one fails, of which
    // the bytes that did arrive count.
    const int32_t chunk =
        length - pos < kGameSectorSize ? length - pos : kGameSectorSize;
    const int64_t held = static_cast<int64_t>(size_) - spot.offset;
    int64_t got = spot.data_size < chunk ? spot.data_size : chunk;
    if (got > held) got = held;
    // Where they agree, which is nearly always, one comparison says so.
    const uint8_t* planned = f.planned().data + pos;
    uint8_t held_bytes[kGameSectorSize];
    if (got > 0 && !StateAt(spot.offset, static_cast<size_t>(got),
                            pieces_.size(), held_bytes)) {
      got = 0;
    }
    int64_t differs = -1;
    if (got > 0 &&
        std::memcmp(held_bytes, planned, static_cast<size_t>(got)) != 0) {
      for (int64_t i = 0; differs < 0; ++i) {
        if (held_bytes[i] != planned[i]) differs = spot.offset + i;
      }
    }
    if (differs >= 0) {
      const char* other = "another file";
      for (const Piece& p : pieces_) {
        if (p.offset <= differs && differs - p.offset < p.length) {
          other = p.owner == index ? "itself" : files_[p.owner].file.name;
        }
      }
      Error(f.file.name,
            "its sectors overlap %s, and the new bytes disagree at file "
            "offset %lld",
            other, static_cast<long long>(differs));
      skip_owner = index;
    } else if (got < chunk) {
      skip_owner = index;
    }
  }
}

// OUT, written under a temporary name, read back through the reader: every
// file extracts to what was planned.
bool Run::ReadBack(const char* path, WriteError* error) {
  const char* differs = nullptr;
  uint8_t signature[kSignatureReadSize];
  uint8_t disk_char = 0;
  static uint8_t directory[kDirectoryBlockSize];
#ifndef _WIN32
  // Written from reads of an input that changed meanwhile, OUT may mix its
  // old and new bytes.
  if (InputChanged()) {
    std::snprintf(error->reason, sizeof(error->reason),
                  "%.200s changed while it was read", Shown(in_path_));
    return false;
  }
#endif
  // The file as written, read through the reader from the file itself:
  // the files' planned bytes, kept apart, are what it must match.
  if (!g_image.Open(path)) {
    std::snprintf(error->reason, sizeof(error->reason),
                  "internal error: reading it back failed: %.180s",
                  g_image.GetError() != nullptr ? g_image.GetError()
                                                : "it cannot be opened");
    return false;
  }
  if (g_image.GetFileSize() != size_) {
    differs = "the image";
  } else if (!g_image.SelectImage(image_)) {
    differs = "the image";
  } else {
    UseGameSectorRange(g_image);
    if (!ReadSignature(g_image, signature, &disk_char) ||
        disk_char != kFirstDiskChar) {
      differs = "the signature";
    }
  }
  if (differs == nullptr) {
    ReadDirectoryBlock(g_image, directory);
    size_t index = 0;
    Bytes got;
    ForEachGameFile(directory, [&](const GameFile& file) {
      if (!file.on_disk_one || differs != nullptr) return;
      if (index >= files_.size() ||
          std::strcmp(files_[index].file.name, file.name) != 0) {
        differs = "the directory";
        return;
      }
      got.assign(static_cast<size_t>(file.length), 0);
      ReadRecords(g_image, file.record, got.data(), file.length);
      if (!Same(RunOf(got), files_[index].planned())) {
        differs = files_[index].file.name;
      }
      ++index;
    });
    if (differs == nullptr && index != files_.size()) differs = "the directory";
  }
  // A read that failed explains any difference it caused.
  if (g_image.GetReadError() != nullptr) {
    std::snprintf(error->reason, sizeof(error->reason),
                  "internal error: reading it back failed: %.180s",
                  g_image.GetReadError());
    g_image.Open(nullptr);
    return false;
  }
  g_image.Open(nullptr);
  if (differs == nullptr) return true;
  std::snprintf(error->reason, sizeof(error->reason),
                "internal error: read back, %.180s is not as planned", differs);
  return false;
}

int Run::Main(int argc, char** argv) {
  int status = 0;
  if (!ParseArguments(argc, argv, &status)) return status;
  if (!OpenInput() || !ChooseImage()) return 1;
  ReadFolder();
  ListFiles();
  // The directory and PROG as read: a read that failed leaves them in doubt.
  if (!InputFailed()) {
    PlaceFolderFiles();
    for (size_t i = 0; i < files_.size(); ++i) WriteFile(i);
    LocateExtractions();
    CountRewrites();
    CheckOverlaps();
    InputFailed();
  }
  if (errors_ != 0) {
    std::fprintf(stderr, "d88paste: %d %s; %s not written\n", errors_,
                 errors_ == 1 ? "error" : "errors", Shown(out_path_));
    return 1;
  }

  // The lines come after OUT is in place, so that they never describe a
  // file that was not written.
  if (!dry_run_) {
    WriteError error;
    const FilePublisher::Source source = {Fill, this, size_};
    if (!publisher_->PublishChecked(out_path_, source, ReadBackCheck, this,
                                    &error)) {
      Error(Shown(out_path_), "%s", error.reason);
      std::fprintf(stderr, "d88paste: %s not written\n", Shown(out_path_));
      return 1;
    }
  }
  int changed = 0;
  for (const PasteFile& f : files_) {
    if (!f.changed) continue;
    ++changed;
    out_.Print("%s: %d -> %d bytes, %d %s rewritten\n", f.file.name,
               static_cast<int>(f.file.length),
               static_cast<int>(f.planned().size), f.sectors_rewritten,
               f.sectors_rewritten == 1 ? "sector" : "sectors");
  }
  if (changed == 0) out_.Print("No file changed.\n");
  if (dry_run_) out_.Print("Dry run: %s not written.\n", Shown(out_path_));
  out_.Flush();
  if (out_.error() != 0) {
    std::fprintf(stderr, "error: standard output: %s\n",
                 std::strerror(out_.error()));
    return 1;
  }
  return 0;
}

}  // namespace

void SetUpSignals() {
  common::IgnoreWriteSignals();
  common::RemoveTemporaryFileOnSignals();
}

int RunD88Paste(int argc, char** argv) {
  FilePublisher publisher;
  return RunD88Paste(argc, argv, &publisher);
}

int RunD88Paste(int argc, char** argv, FilePublisher* publisher) {
  // The run holds the files and the plan; it lives on the heap.
  Run* run = new Run(publisher);
  const int status = run->Main(argc, argv);
  delete run;
  return status;
}

}  // namespace paste
