// d88info --json: the small JSON writer, the Shift-JIS names and SHA-256
// in-process; end to end, every document parsed by a real JSON parser
// (python3's, where there is one) and the manifest's digests against the
// files that d88cut writes.

#include "info/json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/seeds.h"
#include "game/game_layout.h"
#include "info/json_report.h"
#include "info/sha256.h"
#include "testing/archives.h"
#include "testing/chained_images.h"
#include "testing/d88_builder.h"
#include "testing/demo_image.h"
#include "testing/game_disk_builder.h"
#include "testing/run_process.h"

namespace info {

using d88test::Bytes;
using d88test::GameDiskBuilder;
using d88test::Pattern;
using d88test::ProcessOptions;
using d88test::ProcessResult;
using d88test::RunProcess;
using d88test::TempDir;
using d88test::TestedExecutable;
using d88test::WriteFileBytes;

namespace {

std::string Sha(const std::string& text) {
  return Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(Sha(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length goes into a second block.
  EXPECT_EQ(Sha("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(JsonTextTest, ShiftJisNamesDecodeToUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"GAME 1", "GAME 1"},
      {"\xB1\xB2\xDF", "\xEF\xBD\xB1\xEF\xBD\xB2\xEF\xBE\x9F"},  // ｱｲﾟ
      {"\x82\xA0\x83\x41\x81\x40", "\xE3\x81\x82\xE3\x82\xA2\xE3\x80\x80"},
      {"\x82\x60\x82\x4F\x82\x81", "\xEF\xBC\xA1\xEF\xBC\x90\xEF\xBD\x81"},
      {"\x83\x80\x83\x96", "\xE3\x83\xA0\xE3\x83\xB6"},  // ム ヶ
      {"\x8A\xBF", "\xEF\xBF\xBD"},                      // a kanji: U+FFFD
      {"A\x82", "A\xEF\xBF\xBD"},                        // a lead byte alone
      {"\x80\xA0\xFD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& [sjis, utf8] : cases) {
    SCOPED_TRACE(utf8);
    EXPECT_EQ(ShiftJisToUtf8(reinterpret_cast<const uint8_t*>(sjis.data()),
                             sjis.size()),
              utf8);
  }
}

TEST(JsonTextTest, StringsAreValidJsonWhateverTheBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {std::string("\0\n\x1F\x7F", 4), "\"\\u0000\\u000A\\u001F\\u007F\""},
      {"\xC3\xA9", "\"\xC3\xA9\""},
      {"\xFF\xC3", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},  // invalid, cut
      {"\xED\xA0\x80",
       "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // surrogate
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong
  };
  for (const auto& [in, out] : cases) {
    JsonWriter j;
    j.String(in);
    EXPECT_EQ(j.text(), out);
  }
  JsonWriter j;
  j.BeginObject();
  j.Member("a", 1);
  j.Key("b");
  j.BeginArray();
  j.Int(-2);
  j.Bool(true);
  j.Null();
  j.BeginObject();
  j.EndObject();
  j.EndArray();
  j.EndObject();
  EXPECT_EQ(j.text(), "{\"a\":1,\"b\":[-2,true,null,{}]}");
  EXPECT_STREQ(AnomalyCode("sectors with status B0 (data CRC error)"),
               "sector-status");
  EXPECT_STREQ(AnomalyCode("disk size runs 5 bytes past the end of the file"),
               "disk-size-past-file");
  EXPECT_STREQ(AnomalyCode("something new"), "other");
}

// --- End to end --------------------------------------------------------------

ProcessResult D88Info(const std::vector<std::string>& args,
                      const std::string& cwd = "") {
  const std::string exe = TestedExecutable(D88INFO_PATH);
  std::vector<std::string> argv = {exe};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.cwd = cwd;
  ProcessResult r = RunProcess(exe, argv, options);
  EXPECT_TRUE(d88test::ConsoleText(r.out, &r.out));
  return r;
}

// A disk 1 whose files lie on sectors with every mark.
Bytes MarkedDisk() {
  GameDiskBuilder disk('1');
  disk.AddFile(2, 0x0000, Pattern(3072, 2), 0x0100, 0x2000);
  disk.AddFile(3, 0x0010, Pattern(1000, 3));
  disk.RecordAt(game::kRecordBase + 0).status = 0xA0;
  disk.RecordAt(game::kRecordBase + 1).deleted = 0x10;
  disk.RecordAt(game::kRecordBase + 0x10).status = 0xF0;
  disk.image().SetName("\x83\x51\x81\x5B\x83\x80");  // ゲーム
  return disk.Build();
}

// The "name" and "sha256" members of each file of the manifests, in order.
std::vector<std::pair<std::string, std::string>> Digests(
    const std::string& json) {
  std::vector<std::pair<std::string, std::string>> out;
  const std::string name_key = "{\"name\":\"";
  const std::string sha_key = "\"sha256\":\"";
  for (size_t at = 0; (at = json.find(name_key, at)) != std::string::npos;) {
    at += name_key.size();
    const std::string name = json.substr(at, json.find('"', at) - at);
    const size_t sha = json.find(sha_key, at) + sha_key.size();
    out.emplace_back(name, json.substr(sha, 64));
  }
  return out;
}

// The digests of the manifest are those of the files d88cut writes, whole
// or not.
TEST(D88InfoJsonTest, ManifestDigestsAreThoseOfTheFilesD88CutWrites) {
  GameDiskBuilder broken('1');
  broken.AddFile(2, 0x0000, Pattern(3000, 4));
  broken.RemoveSector(1, 3);
  const std::pair<const char*, Bytes> cases[] = {
      {"sample", d88test::BuildDemoImage()},
      {"marked", MarkedDisk()},
      {"incomplete", broken.Build()},
  };
  for (const auto& [what, image] : cases) {
    SCOPED_TRACE(what);
    TempDir dir;
    const std::string input = dir.File("in.d88");
    ASSERT_TRUE(WriteFileBytes(input, image));
    const ProcessResult json = D88Info({"--check", "--json", input});
    const auto digests = Digests(json.out);
    TempDir out;
    const std::string d88cut = TestedExecutable(D88CUT_PATH);
    ProcessOptions options;
    options.cwd = out.path();
    RunProcess(d88cut, {d88cut, input}, options);
    std::vector<std::pair<std::string, std::string>> written;
    for (const auto& [name, sha] : digests) {
      Bytes bytes;
      EXPECT_TRUE(d88test::ReadFileBytes(out.File(name), &bytes)) << name;
      written.emplace_back(name, Sha256Hex(bytes.data(), bytes.size()));
    }
    EXPECT_EQ(digests, written);
    EXPECT_EQ(digests.size(), out.List().size());
  }
}

#ifndef _WIN32
// python3 from PATH; empty if there is none.
std::string Python() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path == nullptr ? "" : path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::filesystem::path exe = std::filesystem::path(dir) / "python3";
    std::error_code ec;
    if (std::filesystem::is_regular_file(exe, ec)) return exe.string();
  }
  return "";
}

// Parses JSON Lines with python3's json module, strict UTF-8, and prints per
// document: the file, whether it is a D88 file, the sector records listed
// and left out, the anomaly codes, and each manifest file's name, digest,
// completeness and flagged statuses.
const char kParser[] = R"(
import json, sys
data = sys.stdin.buffer.read().decode('utf-8')
assert data.endswith('\n')
for line in data[:-1].split('\n'):
    d = json.loads(line)
    assert d['format'] == 1
    images = d.get('images', [])
    listed = sum(len(t['sectors']) for i in images for t in i['tracks'])
    left = sum(t['sectors_left_out'] for i in images for t in i['tracks'])
    codes = sorted({a['code'] for i in images for a in i['anomalies']})
    print(d['file'], d['verdict']['d88'], listed, left, ' '.join(codes))
    for i in images:
        print(' name', i['name']['text'], i['media']['name'])
    for disk in d.get('check', {}).get('disks', []):
        for f in (disk['manifest'] or {'files': []})['files']:
            print(' ', f['name'], f['complete'],
                  ','.join(str(s['status']) for s in f['flagged']))
    if 'check' in d:
        print(' verdict', d['check']['verdict'])
)";

class D88InfoJsonParseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    python_ = Python();
    if (python_.empty()) GTEST_SKIP() << "no python3";
  }

  // The parser's summary of d88info's output with `args`.
  std::string Parsed(const std::vector<std::string>& args, int* status) {
    const ProcessResult r = D88Info(args);
    *status = r.exit_code;
    ProcessOptions options;
    options.stdin_pipe = true;
    options.stdin_bytes = r.out;
    const ProcessResult p =
        RunProcess(python_, {python_, "-c", kParser}, options);
    EXPECT_EQ(p.exit_code, 0) << p.err << r.out.substr(0, 2000);
    return p.out;
  }

  std::string python_;
  TempDir dir_;
};

// Every test image, the seeds of the fuzz target (chained images among
// them), an archive and the real images at hand: one run, one document a line,
// each one valid.
TEST_F(D88InfoJsonParseTest, EveryDocumentParses) {
  std::vector<std::pair<std::string, Bytes>> files = {
      {"sample.d88", d88test::BuildDemoImage()},
      {"damaged.d88", d88test::BuildDamagedDemoImage()},
      {"marked.d88", MarkedDisk()},
      {"sample.zip", d88test::ZipOf("A.D88", d88test::BuildDemoImage(),
                                    d88test::ZipMethod::kStored)},
      {"empty", Bytes{}},
  };
  for (const d88test::Seed& seed : d88test::ToolSeeds()) {
    files.emplace_back("seed-" + seed.name, seed.bytes);
  }
  std::vector<std::string> paths;
  for (const auto& [name, bytes] : files) {
    paths.push_back(dir_.File(name));
    ASSERT_TRUE(WriteFileBytes(paths.back(), bytes));
  }
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(D88CUT_REAL_IMAGES, ec)) {
    if (entry.path().extension() != ".md") {
      paths.push_back(entry.path().string());
    }
  }
  for (const bool check : {false, true}) {
    std::vector<std::string> args = paths;
    args.insert(args.begin(), "--json");
    if (check) args.insert(args.begin(), "--check");
    int status = 0;
    const std::string parsed = Parsed(args, &status);
    size_t documents = 0;
    for (size_t at = 0;
         (at = parsed.find(dir_.path(), at)) != std::string::npos; ++at) {
      if (at == 0 || parsed[at - 1] == '\n') ++documents;
    }
    EXPECT_EQ(documents, files.size()) << parsed;
    EXPECT_EQ(status, check ? 1 : 0);
  }
}

TEST_F(D88InfoJsonParseTest, WhatTheDocumentsSay) {
  const std::string marked = dir_.File("marked.d88");
  ASSERT_TRUE(WriteFileBytes(marked, MarkedDisk()));
  int status = 0;
  EXPECT_EQ(Parsed({"--json", "--check", marked}, &status),
            marked +
                " True 48 0 deleted-mark sector-status\n"
                " name \xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0 2HD\n"
                "  PROG True \n"
                "  002 True 160\n"
                "  003 True 240\n"
                " verdict flagged\n");
  EXPECT_EQ(status, 1);
  // Hostile files: the lists are cut, and say so.
  const std::string chained = dir_.File("chained.d88");
  d88test::ChainedImagesShape two;
  two.images = 2;
  ASSERT_TRUE(WriteFileBytes(chained, d88test::BuildChainedImages(two)));
  const std::string parsed = Parsed({"--json", chained}, &status);
  std::istringstream first(parsed);
  std::string file, d88;
  long long listed = 0, left = 0;
  first >> file >> d88 >> listed >> left;
  EXPECT_EQ(listed, kMaxJsonSectors);
  EXPECT_GT(left, 0);
  // Digests of the first files only.
  const ProcessResult check = D88Info({"--json", "--check", chained});
  EXPECT_NE(check.out.find("\"digests_left_out\":"), std::string::npos);
  EXPECT_EQ(check.out.find("\"digests_left_out\":0"), std::string::npos);
}
#endif

}  // namespace
}  // namespace info
