#include "fuzz/paste_round_trip.h"

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <utility>

#include "cut/d88cut.h"
#include "d88/d88_image.h"
#include "game/game_disk.h"
#include "game/game_files.h"
#include "game/game_layout.h"
#include "paste/d88paste.h"
#include "testing/in_process.h"

namespace d88test {

namespace {

void WriteFiles(const std::string& dir, const Files& files) {
  std::error_code ec;
  std::filesystem::create_directory(dir, ec);
  for (const auto& [name, bytes] : files)
    WriteFileBytes(dir + "/" + name, bytes);
}

// The indexes of the disk-1 images of a D88 file.
std::vector<int32_t> DiskOnes(d88::D88Image& image) {
  std::vector<int32_t> found;
  uint8_t buf[game::kSignatureReadSize];
  for (int32_t i = 0; i < image.GetImageCount(); ++i) {
    if (!image.SelectImage(i)) continue;
    game::UseGameSectorRange(image);
    uint8_t disk = 0;
    if (game::ReadSignature(image, buf, &disk) &&
        disk == game::kFirstDiskChar) {
      found.push_back(i);
    }
  }
  return found;
}

// What d88paste must do with `folder` on the selected image of `image`,
// worked out through the reader. It must refuse, naming each file of
// `must`: a PROG of another size, a number the directory does not list or
// lists on another disk, a file larger than its sectors hold. With `must`
// empty it must write OUT, except that a refusal naming only files of
// `may` passes too: those have a sector the image does not hold whole, or
// share bytes of a sector with a file (or with themselves), and whether
// d88paste can place them depends on whether they changed and whether the
// new bytes agree, which this leaves to the round trip to check.
struct Verdict {
  std::set<std::string> must;
  std::set<std::string> may;
};

Verdict Expect(d88::D88Image& image, int64_t file_size, const Files& folder) {
  using game::kGameSectorSize;
  Verdict v;
  // The files are placed by the folder's PROG's directory when PROG is
  // there, of the right size, and changed; by the input's otherwise.
  Bytes prog(game::kProgSize, 0);
  game::ReadRecords(image, game::kProgRecord, prog.data(), game::kProgSize);
  Bytes directory(game::kDirectoryBlockSize);
  game::ReadDirectoryBlock(image, directory.data());
  const auto folder_prog = folder.find(game::kProgName);
  if (folder_prog != folder.end()) {
    const Bytes& p = folder_prog->second;
    if (p.size() != prog.size()) {
      v.must.insert(game::kProgName);
    } else if (p != prog) {
      directory.assign(p.end() - game::kDirectoryBlockSize, p.end());
    }
  }
  // Every file of the directory by name; where the sectors of the disk-1
  // files lie.
  std::map<std::string, game::GameFile> listed;
  std::vector<std::pair<int64_t, std::string>> sectors;
  game::ForEachGameFile(directory.data(), [&](const game::GameFile& f) {
    listed[f.name] = f;
    if (!f.on_disk_one) return;
    for (int32_t i = 0; i * kGameSectorSize < f.length; ++i) {
      const game::GamePosition at = game::RecordSector(f.record + i);
      d88::SectorLocation where;
      if (!image.LocateSector(at.track, at.id.c, at.id.h, at.id.r, at.id.n,
                              &where) ||
          where.data_size != kGameSectorSize ||
          where.offset > file_size - kGameSectorSize) {
        v.may.insert(f.name);
      } else {
        sectors.emplace_back(where.offset, f.name);
      }
    }
  });
  std::sort(sectors.begin(), sectors.end());
  for (size_t i = 0; i < sectors.size(); ++i) {
    for (size_t j = i + 1;
         j < sectors.size() &&
         sectors[j].first - sectors[i].first < kGameSectorSize;
         ++j) {
      v.may.insert(sectors[i].second);
      v.may.insert(sectors[j].second);
    }
  }
  for (const auto& [name, bytes] : folder) {
    if (name == game::kProgName) continue;
    const auto entry = listed.find(name);
    if (entry == listed.end() || !entry->second.on_disk_one) {
      v.must.insert(name);
      continue;
    }
    // Whole sectors, within the 16-bit size field; a size of 0 has none.
    const size_t length = static_cast<size_t>(entry->second.length);
    const size_t capacity = std::min<size_t>(
        (length + kGameSectorSize - 1) / kGameSectorSize * kGameSectorSize,
        UINT16_MAX);
    if (bytes.size() > capacity) v.must.insert(name);
  }
  return v;
}

// The names that the lines "error: NAME: reason" of `err` give.
std::set<std::string> NamedInErrors(const std::string& err) {
  std::set<std::string> named;
  const std::string prefix = "error: ";
  for (size_t at = 0; at < err.size();) {
    size_t end = err.find('\n', at);
    if (end == std::string::npos) end = err.size();
    const std::string line = err.substr(at, end - at);
    const size_t colon = line.find(": ", prefix.size());
    if (line.rfind(prefix, 0) == 0 && colon != std::string::npos) {
      named.insert(line.substr(prefix.size(), colon - prefix.size()));
    }
    at = end + 1;
  }
  return named;
}

// Edits the files d88cut wrote as `seed` decides.
Files Edit(const Files& cut, uint32_t seed) {
  Files folder = cut;
  if (seed == 0) return folder;
  std::mt19937 rng(seed);
  auto below = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  for (auto& [name, bytes] : folder) {
    const uint32_t action = below(10);
    if (name == "PROG") {
      // Bytes before the directory; now and then a wrong size.
      if (action == 0 && bytes.size() > 100) bytes[below(10000)] ^= 0x5A;
      if (action == 1) bytes.resize(below(15360));
    } else if (action < 3) {
      const size_t capacity =
          std::min<size_t>((bytes.size() + 1023) / 1024 * 1024, 65535);
      const size_t size = action == 0
                              ? capacity + 1 + below(9)
                              : below(static_cast<uint32_t>(capacity + 1));
      bytes = Pattern(size, static_cast<uint32_t>(rng()));
    } else if (action == 3) {
      bytes.clear();
    }
  }
  for (auto it = folder.begin(); it != folder.end();) {
    it = below(10) == 0 ? folder.erase(it) : std::next(it);
  }
  // A number the directory may list on disk 1 or on disk 2, or not list.
  if (below(4) == 0) {
    const int32_t k = 2 + static_cast<int32_t>(below(12));
    folder[game::EntryFileName(k).text] = Bytes(3);
  }
  return folder;
}

}  // namespace

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Files ReadFiles(const std::string& dir) {
  Files files;
  for (const std::string& name : Names(dir)) {
    ReadFileBytes(dir + "/" + name, &files[name]);
  }
  return files;
}

Files CutInProcess(const std::string& image_path, const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directory(dir, ec);
  RunInProcess(cut::RunD88Cut, {"d88cut", image_path}, dir);
  return ReadFiles(dir);
}

size_t SizeFieldInProg(int32_t k) {
  return static_cast<size_t>(game::kDirectoryRecord - game::kProgRecord) *
             game::kGameSectorSize +
         game::EntryOffset(k) + game::kEntrySizeOffset;
}

std::string CheckPasteRoundTrip(const Bytes& image, uint32_t seed,
                                const std::string& dir, bool* round_trip) {
  *round_trip = false;
  const std::string in = dir + "/in.d88";
  const std::string out = dir + "/out.d88";
  if (!WriteFileBytes(in, image)) return "cannot write " + in;
  const Files cut = CutInProcess(in, dir + "/cut");
  const Files folder = Edit(cut, seed);
  WriteFiles(dir + "/folder", folder);

  // d88cut's files are those of the last disk 1.
  d88::D88Image reader;
  std::vector<int32_t> disk_ones;
  if (reader.OpenMemory(image.data(), image.size())) {
    disk_ones = DiskOnes(reader);
  }
  Verdict verdict;
  if (disk_ones.empty()) {
    verdict.must.insert(in);
  } else {
    reader.SelectImage(disk_ones.back());
    game::UseGameSectorRange(reader);
    verdict = Expect(reader, static_cast<int64_t>(image.size()), folder);
  }
  // An unedited folder of the only disk 1 changes nothing, so nothing in
  // it can disagree or need a sector rewritten.
  if (seed == 0 && disk_ones.size() == 1) verdict.may.clear();

  std::vector<std::string> args = {"d88paste", "-C", dir + "/folder"};
  if (disk_ones.size() > 1) {
    args.push_back("--image");
    args.push_back(std::to_string(disk_ones.back()));
  }
  args.push_back(in);
  args.push_back(out);
  const ProcessResult r = RunInProcess(paste::RunD88Paste, args, dir);
  if (r.exit_code != 0) {
    if (r.exit_code != 1) return "exit status " + std::to_string(r.exit_code);
    if (Names(dir) != std::vector<std::string>{"cut", "folder", "in.d88"}) {
      return "a refusal left files behind: " + r.err;
    }
    const std::set<std::string> named = NamedInErrors(r.err);
    if (named.empty()) return "no error: " + r.err;
    for (const std::string& name : verdict.must) {
      if (named.count(name) == 0) return name + " is not refused: " + r.err;
    }
    for (const std::string& name : named) {
      if (verdict.must.count(name) == 0 && verdict.may.count(name) == 0) {
        return name + " is refused: " + r.err;
      }
    }
    return "";
  }
  if (!verdict.must.empty()) {
    return "OUT written, but " + *verdict.must.begin() + " must be refused";
  }
  *round_trip = true;
  Bytes written;
  if (!ReadFileBytes(out, &written) || written.size() != image.size()) {
    return "OUT is not the input's size";
  }
  const Files back = CutInProcess(out, dir + "/back");

  // Every file as the folder has it, or as the input had it; PROG with the
  // new sizes in its directory. The bytes that may differ: those of the
  // changed files.
  if (cut.count("PROG") == 0) return "a round trip without PROG";
  Bytes prog = folder.count("PROG") != 0 ? folder.at("PROG") : cut.at("PROG");
  size_t allowed = 0;
  for (const auto& [name, bytes] : folder) {
    if (name == "PROG" || cut.count(name) == 0) continue;
    if (bytes != cut.at(name)) allowed += bytes.size();
    if (bytes.size() == cut.at(name).size()) continue;
    const size_t at = SizeFieldInProg(std::stoi(name));
    prog[at] = static_cast<uint8_t>(bytes.size() & 0xFF);
    prog[at + 1] = static_cast<uint8_t>(bytes.size() >> 8);
  }
  if (prog != cut.at("PROG")) allowed += prog.size();
  if (Names(dir + "/back") != Names(dir + "/cut")) {
    return "d88cut on OUT writes other files";
  }
  for (const auto& [name, bytes] : back) {
    const Bytes& expected =
        name == "PROG"
            ? prog
            : (folder.count(name) != 0 ? folder.at(name) : cut.at(name));
    if (bytes != expected) return name + " differs after the round trip";
  }
  size_t differing = 0;
  for (size_t i = 0; i < written.size(); ++i) {
    differing += written[i] != image[i] ? 1 : 0;
  }
  if (differing > allowed || (seed == 0 && differing != 0)) {
    return std::to_string(differing) + " bytes of OUT differ, at most " +
           std::to_string(allowed) + " may";
  }
  return "";
}

}  // namespace d88test
