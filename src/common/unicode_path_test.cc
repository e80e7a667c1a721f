// Both tools open an image whatever script its name is written in. On
// Windows this runs under the default (not a Japanese) locale, where the
// ANSI code page holds neither Hangul nor kana: only the wide command line
// and the wide file interface carry such a name.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
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
using d88test::ProcessResult;
using d88test::ReadFileBytes;
using d88test::TempDir;
using d88test::WriteFileBytes;
namespace {

// Hangul, a space, kana.
const char kName[] = u8"디스크 ディスク.d88";

// Writes `bytes` to `path`, a UTF-8 name.
bool WriteUtf8Named(const std::string& path, const Bytes& bytes) {
#ifdef _WIN32
  const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, &wide[0], n);
  std::FILE* file = _wfopen(wide.c_str(), L"wb");
#else
  std::FILE* file = std::fopen(path.c_str(), "wb");
#endif
  if (file == nullptr) return false;
  const bool whole =
      std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && whole;
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

}  // namespace
}  // namespace common
