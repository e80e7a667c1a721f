#include "fuzz/expected_files.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "d88/d88_format.h"
#include "d88/d88_image.h"
#include "game/game_disk.h"
#include "game/game_layout.h"

namespace d88test {

using game::GamePosition;

using d88::D88Image;
using d88::DecodeU16;
using game::EntryFileName;
using game::EntryOffset;
using game::kDirectoryBlockSize;
using game::kDirectorySector;
using game::kDiskCharOffset;
using game::kEntryDiskOffset;
using game::kEntrySizeOffset;
using game::kEntryStartOffset;
using game::kExtractedDisk;
using game::kFirstDirectoryEntry;
using game::kFirstDiskChar;
using game::kGameFirstSector;
using game::kGameLastSector;
using game::kLastDirectoryEntry;
using game::kProgName;
using game::kProgSector;
using game::kProgSize;
using game::kSignature;
using game::kSignatureOffset;
using game::kSignatureReadSize;
using game::kSignatureSector;
using game::RecordSector;

namespace {

// `len` bytes of the run of sectors from `at`, zero where they cannot be read.
Bytes ReadRun(D88Image& image, const GamePosition& at, int32_t len) {
  Bytes bytes(static_cast<size_t>(len), 0);
  if (len > 0) {
    image.ReadSectors(at.track, at.id, bytes.data(), len);
  }
  return bytes;
}

bool IsOutputName(const std::string& name) {
  if (name == kProgName) return true;
  if (name.size() != 3) return false;
  for (char ch : name) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

}  // namespace

FileSet ExpectedFiles(const std::string& path) {
  FileSet files;
  D88Image image;
  if (!image.Open(path.c_str())) return files;
  for (int32_t i = 0; i < image.GetImageCount(); ++i) {
    image.SelectImage(i);
    image.SetSectorRange(kGameFirstSector, kGameLastSector);
    const Bytes signature =
        ReadRun(image, kSignatureSector, kSignatureReadSize);
    if (std::memcmp(signature.data() + kSignatureOffset, kSignature,
                    sizeof(kSignature)) != 0 ||
        signature[kDiskCharOffset] != kFirstDiskChar) {
      continue;
    }
    const Bytes directory =
        ReadRun(image, kDirectorySector, kDirectoryBlockSize);
    files[kProgName] = ReadRun(image, kProgSector, kProgSize);
    for (int32_t k = kFirstDirectoryEntry; k <= kLastDirectoryEntry; ++k) {
      const uint8_t* e = directory.data() + EntryOffset(k);
      if (e[0] == 0 && e[1] == 0 && e[2] == 0 && e[3] == 0) break;
      if (e[kEntryDiskOffset] != kExtractedDisk) continue;
      files[EntryFileName(k).text] =
          ReadRun(image, RecordSector(DecodeU16(e + kEntryStartOffset)),
                  DecodeU16(e + kEntrySizeOffset));
    }
  }
  return files;
}

std::string CompareWithDirectory(const std::string& dir,
                                 const FileSet& expected) {
  size_t seen = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!IsOutputName(name)) return "unexpected name " + name;
    const auto it = expected.find(name);
    if (it == expected.end()) return "unexpected file " + name;
    Bytes bytes;
    if (!ReadFileBytes(entry.path().string(), &bytes)) {
      return "cannot read " + name;
    }
    if (bytes.size() != it->second.size()) {
      return name + " has " + std::to_string(bytes.size()) + " bytes, not " +
             std::to_string(it->second.size());
    }
    const auto diff =
        std::mismatch(bytes.begin(), bytes.end(), it->second.begin());
    if (diff.first != bytes.end()) {
      return name + " differs from byte " +
             std::to_string(diff.first - bytes.begin()) + " on";
    }
    ++seen;
  }
  if (ec) return "cannot list " + dir;
  if (seen != expected.size()) {
    for (const auto& [name, bytes] : expected) {
      if (!std::filesystem::exists(dir + "/" + name)) return name + " missing";
    }
  }
  return "";
}

}  // namespace d88test
