#include "fuzz/paste_round_trip.h"

#include <algorithm>
#include <filesystem>
#include <random>

#include "cut/d88cut.h"
#include "d88/d88_image.h"
#include "game/game_disk.h"
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
std::vector<int32_t> DiskOnes(const std::string& path) {
  std::vector<int32_t> found;
  d88::D88Image image;
  if (!image.Open(path.c_str())) return found;
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
  if (below(10) == 0) folder["300"] = Bytes(3);
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
  const std::vector<int32_t> disk_ones = DiskOnes(in);
  const Files folder = Edit(cut, seed);
  WriteFiles(dir + "/folder", folder);

  std::vector<std::string> args = {"d88paste", "-C", dir + "/folder"};
  if (disk_ones.size() > 1) {
    // d88cut's files are those of the last disk 1.
    args.push_back("--image");
    args.push_back(std::to_string(disk_ones.back()));
  }
  args.push_back(in);
  args.push_back(out);
  const ProcessResult r = RunInProcess(paste::RunD88Paste, args, dir);
  if (r.exit_code != 0) {
    if (r.exit_code != 1) return "exit status " + std::to_string(r.exit_code);
    if (r.err.find("error: ") == std::string::npos) return "no error: " + r.err;
    if (Names(dir) != std::vector<std::string>{"cut", "folder", "in.d88"}) {
      return "a refusal left files behind: " + r.err;
    }
    if (seed == 0 && disk_ones.size() == 1) return "unedited: " + r.err;
    return "";
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
