// Replays what the fuzz targets found (fuzz/regression/tool holds D88 files,
// fuzz/regression/reader holds reader scripts) and the seed inputs, with the
// targets' own checks: every D88 file goes through the real d88cut
// executable, every reader script through the reader and its model.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "d88/d88_image.h"
#include "fuzz/expected_files.h"
#include "fuzz/reader_script.h"
#include "fuzz/seeds.h"
#include "game/game_layout.h"
#include "testing/d88_builder.h"
#include "testing/game_disk_builder.h"
#include "testing/run_process.h"

namespace d88test {

using d88::D88Image;
using d88::kTrackCount;
using d88::SectorHeader;
using d88::TrackState;
using game::GamePosition;
using game::RecordSector;

namespace {

// The files of fuzz/regression/`sub`, sorted by name.
std::vector<Seed> Findings(const std::string& sub) {
  std::vector<Seed> found;
  // The folder itself must be there, so that a wrong path cannot pass as
  // "no findings"; its subfolders appear with the first finding.
  EXPECT_TRUE(std::filesystem::is_directory(D88CUT_REGRESSION_DIR))
      << D88CUT_REGRESSION_DIR;
  const std::filesystem::path dir =
      std::filesystem::path(D88CUT_REGRESSION_DIR) / sub;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    Seed seed{entry.path().filename().string(), {}};
    EXPECT_TRUE(ReadFileBytes(entry.path().string(), &seed.bytes));
    found.push_back(std::move(seed));
  }
  std::sort(found.begin(), found.end(),
            [](const Seed& a, const Seed& b) { return a.name < b.name; });
  return found;
}

// Runs d88cut on `file` in an empty directory: it must succeed and leave
// exactly the files the image's directories call for.
void ExpectToolRunSound(const Bytes& file) {
  TempDir inputs;
  TempDir work;
  const std::string path = inputs.File("input.d88");
  ASSERT_TRUE(WriteFileBytes(path, file));
  ProcessOptions options;
  options.cwd = work.path();
  const ProcessResult r = RunProcess(D88CUT_PATH, {D88CUT_PATH, path}, options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(CompareWithDirectory(work.path(), ExpectedFiles(path)), "");
}

void ExpectReaderScriptSound(const Bytes& input) {
  TempDir dir;
  EXPECT_EQ(RunReaderScript(ParseReaderScript(input.data(), input.size()),
                            dir.File("input.d88")),
            "");
}

TEST(FuzzRegressionTest, ToolFindings) {
  for (const Seed& finding : Findings("tool")) {
    SCOPED_TRACE(finding.name);
    ExpectToolRunSound(finding.bytes);
  }
}

TEST(FuzzRegressionTest, ReaderFindings) {
  for (const Seed& finding : Findings("reader")) {
    SCOPED_TRACE(finding.name);
    ExpectReaderScriptSound(finding.bytes);
    ExpectToolRunSound(
        ParseReaderScript(finding.bytes.data(), finding.bytes.size()).file);
  }
}

// The seeds pass the same checks; this also holds the checks themselves to
// the tool's and the reader's behaviour on images whose outcome is known.
TEST(FuzzRegressionTest, SeedsPassTheTargetsChecks) {
  const std::vector<Seed> files = ToolSeeds();
  for (const Seed& seed : files) {
    SCOPED_TRACE(seed.name);
    ExpectToolRunSound(seed.bytes);
  }
  for (const Seed& seed : ReaderSeeds(files)) {
    SCOPED_TRACE(seed.name);
    ExpectReaderScriptSound(seed.bytes);
  }
}

// Lookups all over every input of the corpora, the findings and the seeds,
// give what a plain walk over the track gives.
TEST(FuzzRegressionTest, LookupsAgreeWithAPlainWalkOnEveryInput) {
  std::vector<Seed> files = ToolSeeds();
  for (const Seed& finding : Findings("tool")) files.push_back(finding);
  for (const Seed& finding : Findings("reader")) {
    files.push_back(
        {finding.name,
         ParseReaderScript(finding.bytes.data(), finding.bytes.size()).file});
  }
  TempDir dir;
  for (const Seed& file : files) {
    SCOPED_TRACE(file.name);
    EXPECT_EQ(CompareEveryLookup(file.bytes, dir.File("input.d88")), "");
  }
}

// The track state query tells what every read of a track finds, on every
// track of every image of the seeds and findings, and before any image is
// selected: absent exactly where the table holds 0; nothing read unless
// present; and a present track lists a header or reaches the end of the
// file.
TEST(FuzzRegressionTest, TrackStateAgreesWithWhatLookupsFind) {
  std::vector<Seed> files = ToolSeeds();
  for (const Seed& finding : Findings("tool")) files.push_back(finding);
  TempDir dir;
  const std::string path = dir.File("input.d88");
  for (const Seed& file : files) {
    SCOPED_TRACE(file.name);
    ASSERT_TRUE(WriteFileBytes(path, file.bytes));
    D88Image image;
    EXPECT_EQ(image.GetTrackState(0), TrackState::kAbsent);
    ASSERT_TRUE(image.Open(path.c_str()));
    EXPECT_EQ(image.GetTrackState(0), TrackState::kAbsent);
    for (int32_t i = 0; i < image.GetImageCount(); ++i) {
      if (!image.SelectImage(i)) continue;
      for (int32_t t = -1; t <= kTrackCount; ++t) {
        SCOPED_TRACE(testing::Message() << "image " << i << " track " << t);
        const TrackState state = image.GetTrackState(t);
        EXPECT_EQ(state == TrackState::kAbsent, image.GetTrackOffset(t) == 0);
        SectorHeader first;
        bool ended = false;
        const int32_t listed = image.ReadTrackHeaders(t, &first, 1, &ended);
        uint8_t ids[4];
        const int32_t id_bytes = image.ReadTrackIds(t, ids, 4);
        if (state != TrackState::kPresent) {
          EXPECT_EQ(listed, 0);
          EXPECT_FALSE(ended);
          EXPECT_EQ(id_bytes, 0);
          continue;
        }
        EXPECT_TRUE(listed == 1 || ended);
        EXPECT_EQ(id_bytes, listed == 1 ? 4 : 0);
        if (listed == 1 && first.count != 0 && first.data_size > 0) {
          uint8_t byte = 0;
          // The first record is found, unless the file ends before its
          // data.
          EXPECT_EQ(image.ReadSector(t, first.id, &byte, 1),
                    first.offset + 16 < image.GetFileSize() ? 1 : 0);
        }
      }
    }
  }
}

TEST(FuzzRegressionTest, ExpectedFilesFollowTheDirectory) {
  GameDiskBuilder disk('1');
  disk.AddFile(2, 0x0000, Pattern(0x0400, 1));
  disk.AddFile(3, 0x0001, Pattern(0x0C00, 2));
  disk.SetEntry(4, {2, 0, 0x0100, 0x0800, 0, 0});
  const GamePosition lost = RecordSector(2);
  disk.RemoveSector(lost.track, lost.id.r);
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.File("in.d88"), disk.Build()));
  const FileSet files = ExpectedFiles(dir.File("in.d88"));
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files.at("PROG"), disk.Prog());
  EXPECT_EQ(files.at("002"), Pattern(0x0400, 1));
  Bytes partial = Pattern(0x0C00, 2);
  std::fill(partial.begin() + 0x400, partial.end(), 0);
  EXPECT_EQ(files.at("003"), partial);
}

}  // namespace
}  // namespace d88test
