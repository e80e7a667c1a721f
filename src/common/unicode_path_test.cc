// The tools open an image, and d88paste writes one, whatever script its name
// is written in. On Windows this runs under the default (not a Japanese)
// locale, where the ANSI code page holds neither Hangul nor kana: only the
// wide command line and the wide file interface carry such a name.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "testing/d88_builder.h"
#include "testing/demo_image.h"
#include "testing/game_disk_builder.h"
#include "testing/run_process.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace common {

using d88test::BuildDemoImage;
using d88test::ConsoleText;
using d88test::ProcessOptions;
using d88test::RunProcess;
using d88test::TestedExecutable;

using d88test::Bytes;
using d88test::kPathSeparator;
using d88test::Pattern;
using d88test::ProcessResult;
using d88test::ReadFileBytes;
using d88test::TempDir;
using d88test::WriteFileBytes;
namespace {

// Hangul, a space, kana.
const char kName[] = u8"디스크 ディスク.d88";

// Hangul, a space, kana: a folder for d88paste.
const char kFolder[] = u8"폴더 フォルダ";

std::filesystem::path Utf8Path(const std::string& path) {
  return std::filesystem::u8path(path);
}

// Opens `path`, a UTF-8 name, to write or to read its bytes.
std::FILE* OpenUtf8Named(const std::string& path, bool write) {
#ifdef _WIN32
  return _wfopen(Utf8Path(path).c_str(), write ? L"wb" : L"rb");
#else
  return std::fopen(path.c_str(), write ? "wb" : "rb");
#endif
}

// Writes `bytes` to `path`, a UTF-8 name.
bool WriteUtf8Named(const std::string& path, const Bytes& bytes) {
  std::FILE* file = OpenUtf8Named(path, true);
  if (file == nullptr) return false;
  const bool whole =
      std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && whole;
}

// Reads the bytes of `path`, a UTF-8 name.
bool ReadUtf8Named(const std::string& path, Bytes* bytes) {
  std::FILE* file = OpenUtf8Named(path, false);
  if (file == nullptr) return false;
  bytes->clear();
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
    bytes->insert(bytes->end(), chunk, chunk + got);
  }
  const bool read = std::ferror(file) == 0;
  std::fclose(file);
  return read;
}

// The names in the folder `dir` (UTF-8), as UTF-8, sorted.
std::vector<std::string> Utf8Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(Utf8Path(dir), ec), end;
       !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().u8string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ProcessResult RunTool(const char* build_path,
                      const std::vector<std::string>& args,
                      const std::string& cwd) {
  const std::string exe = TestedExecutable(build_path);
  std::vector<std::string> argv = {exe};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.cwd = cwd;
#ifdef _WIN32
  options.utf8 = true;
#endif
  ProcessResult r = RunProcess(exe, argv, options);
  EXPECT_TRUE(ConsoleText(r.out, &r.out));
  EXPECT_TRUE(ConsoleText(r.err, &r.err));
  return r;
}

TEST(UnicodePathTest, BothToolsOpenANameOfAnyScript) {
#ifdef _WIN32
  ASSERT_NE(GetACP(), 932u) << "this test runs under the default locale";
#endif
  const Bytes image = BuildDemoImage();
  TempDir inputs;
  const std::string input = inputs.File(kName);
  ASSERT_TRUE(WriteUtf8Named(input, image));
  ASSERT_TRUE(WriteFileBytes(inputs.File("plain.d88"), image));

  // d88cut writes what it writes for a plain name.
  TempDir plain_work;
  const ProcessResult plain =
      RunTool(D88CUT_PATH, {inputs.File("plain.d88")}, plain_work.path());
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  TempDir work;
  const ProcessResult r = RunTool(D88CUT_PATH, {input}, work.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, plain.out);
  ASSERT_EQ(work.List(), plain_work.List());
  EXPECT_EQ(work.List().size(), 10u);
  for (const std::string& name : work.List()) {
    Bytes got;
    Bytes want;
    EXPECT_TRUE(ReadFileBytes(work.File(name), &got));
    EXPECT_TRUE(ReadFileBytes(plain_work.File(name), &want));
    EXPECT_EQ(got, want) << name;
  }

  // d88info gives the account of the same bytes.
  const ProcessResult info = RunTool(D88INFO_PATH, {input}, work.path());
  const ProcessResult plain_info =
      RunTool(D88INFO_PATH, {inputs.File("plain.d88")}, work.path());
  EXPECT_EQ(info.exit_code, 0) << info.err;
  EXPECT_EQ(info.out, plain_info.out);
  EXPECT_EQ(info.out.rfind("File: 109536 bytes, 2 images\n", 0), 0u);
}

TEST(UnicodePathTest, NamesTheConsoleCannotShowArePrintedWithQuestionMarks) {
  TempDir inputs;
  TempDir work;
  const std::string missing = inputs.File(kName);
#ifdef _WIN32
  // The console's code page here holds neither Hangul nor kana.
  const std::string shown = inputs.File("??? ????.d88");
#else
  const std::string shown = missing;  // the bytes of the name, as given
#endif
  const ProcessResult info = RunTool(D88INFO_PATH, {missing}, work.path());
  EXPECT_EQ(info.exit_code, 2);
  EXPECT_EQ(info.err.rfind("d88info: cannot open " + shown + ": ", 0), 0u)
      << info.err;
  const ProcessResult cut =
      RunTool(D88CUT_PATH, {missing, "x", "y"}, work.path());
  EXPECT_EQ(cut.exit_code, 1);
  EXPECT_EQ(cut.err.rfind("Usage: ", 0), 0u);
}

// d88paste reads the folder of -C and writes OUT under names outside the
// ANSI code page: OUT gets exactly its name and the bytes of a run with plain
// names, its folder gains nothing else (no temporary file), and OUT that is
// IN under another script's name is refused and left whole.
TEST(UnicodePathTest, D88PasteWritesANameOfAnyScript) {
  const Bytes image = BuildDemoImage();
  TempDir work;
  const std::string folder = work.File(kFolder);
  std::error_code ec;
  ASSERT_TRUE(std::filesystem::create_directory(Utf8Path(folder), ec)) << ec;
  ASSERT_TRUE(WriteFileBytes(work.File("in.d88"), image));
  // d88cut's files with 005 edited, in a plain folder and in `folder`.
  ASSERT_TRUE(std::filesystem::create_directory(work.File("files"), ec));
  for (const std::string& dir : {work.File("files"), folder}) {
    ASSERT_EQ(RunTool(D88CUT_PATH, {work.File("in.d88")}, dir).exit_code, 0);
    ASSERT_TRUE(
        WriteUtf8Named(dir + kPathSeparator + "005", Pattern(2900, 99)));
  }
  const ProcessResult plain = RunTool(
      D88PASTE_PATH, {"-C", "files", "in.d88", "plain.d88"}, work.path());
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  Bytes want;
  ASSERT_TRUE(ReadFileBytes(work.File("plain.d88"), &want));
  ASSERT_TRUE(want != image);

  const std::string in_folder = std::string(kFolder) + kPathSeparator;
  const struct Case {
    std::string in;      // IN, in the working directory
    std::string folder;  // -C
    std::string out;     // OUT, in the working directory
    bool exists;         // OUT is there before: IN's bytes where it is IN
  } cases[] = {
      {"in.d88", "files", kName, false},
      {"in.d88", kFolder, in_folder + kName, false},
      {"in.d88", kFolder, in_folder + kName, true},
      {in_folder + kName, kFolder, in_folder + kName, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    const std::string out = work.File(c.out);
    const std::string out_dir = out.substr(0, out.rfind(kPathSeparator));
    const bool refused = c.out == c.in;
    std::filesystem::remove(Utf8Path(out), ec);
    if (c.exists) {
      ASSERT_TRUE(WriteUtf8Named(out, refused ? image : Bytes(100, 0x5A)));
    }
    std::vector<std::string> names = Utf8Names(out_dir);
    const std::string base = out.substr(out_dir.size() + 1);
    if (!c.exists) names.push_back(base);
    std::sort(names.begin(), names.end());

    const ProcessResult r =
        RunTool(D88PASTE_PATH, {"-C", c.folder, c.in, c.out}, work.path());
    Bytes got;
    EXPECT_TRUE(ReadUtf8Named(out, &got));
    if (refused) {
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_NE(r.err.find(": is the input file, not replaced\n"),
                std::string::npos)
          << r.err;
      EXPECT_TRUE(got == image);
    } else {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(r.out, plain.out);
      EXPECT_TRUE(got == want);
    }
    EXPECT_EQ(Utf8Names(out_dir), names);
  }
}

}  // namespace
}  // namespace common
