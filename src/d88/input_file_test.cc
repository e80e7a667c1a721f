#include "d88/input_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "d88/d88_image.h"
#include "d88/read_faults.h"
#include "testing/d88_builder.h"
#include "testing/run_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace d88 {

using d88test::Bytes;
using d88test::ImageBuilder;
using d88test::Pattern;
using d88test::TempDir;
using d88test::TrackBuilder;
using d88test::WriteFileBytes;
#ifndef _WIN32
using d88test::FeedFifo;
using d88test::WriteAndClose;
#endif
namespace {

#ifdef _WIN32
constexpr int kIoError = ERROR_CRC;
#else
constexpr int kIoError = EIO;
#endif

Bytes ReadBack(const InputFile& file, int64_t offset, size_t len) {
  Bytes buf(len, 0);
  buf.resize(file.ReadAt(offset, buf.data(), len));
  return buf;
}

TEST(InputFileTest, FailedReadDeliversNothingAndKeepsTheFirstError) {
  TempDir dir;
  const Bytes bytes = Pattern(5000, 1);
  ASSERT_TRUE(WriteFileBytes(dir.File("f"), bytes));
  InputFile file;
  ASSERT_TRUE(file.Open(dir.File("f").c_str(), 1 << 20));
  EXPECT_EQ(file.error(), nullptr);

  FailInputReadsForTesting(2, kIoError);
  EXPECT_EQ(ReadBack(file, 0, 100), Bytes(bytes.begin(), bytes.begin() + 100));
  uint8_t buf[100];
  bool failed = false;
  EXPECT_EQ(file.ReadAt(0, buf, sizeof(buf), &failed), 0u);
  EXPECT_TRUE(failed);
  ASSERT_NE(file.error(), nullptr);
  const std::string first = file.error();
#ifndef _WIN32
  EXPECT_EQ(first, "Input/output error");
#endif
  // Later reads work again; a later failure does not replace the first.
  EXPECT_EQ(ReadBack(file, 4900, 200),
            Bytes(bytes.begin() + 4900, bytes.end()));
  FailInputReadsForTesting(1, kIoError + 1);
  EXPECT_EQ(ReadBack(file, 0, 10).size(), 0u);
  EXPECT_EQ(file.error(), first);
  FailInputReadsForTesting(0, 0);

  // The end of the file is not an error; a new Open forgets the old one.
  EXPECT_EQ(ReadBack(file, 5000, 10).size(), 0u);
  ASSERT_TRUE(file.Open(dir.File("f").c_str(), 1 << 20));
  EXPECT_EQ(file.error(), nullptr);
}

TEST(InputFileTest, ReadErrorOnTheFirstHeaderIsKeptByTheReader) {
  TempDir dir;
  ImageBuilder image;
  image.AddTrack(0).AddSector({0, 0, 1, 0}, Pattern(128, 1));
  ASSERT_TRUE(WriteFileBytes(dir.File("f"), image.Build()));
  D88Image reader;
  FailInputReadsForTesting(1, kIoError);
  EXPECT_TRUE(reader.Open(dir.File("f").c_str()));
  FailInputReadsForTesting(0, 0);
  EXPECT_EQ(reader.GetImageCount(), 0);
  EXPECT_NE(reader.GetReadError(), nullptr);
}

TEST(InputFileTest, FailedReadHidesNoSectorFromALaterLookup) {
  // A track of 40 records of 1 KiB spans three blocks of the reader's
  // memory; the last sector lies past them all.
  TempDir dir;
  ImageBuilder image;
  TrackBuilder& track = image.AddTrack(0);
  for (int r = 1; r <= 40; ++r) {
    track.AddSector({0, 0, static_cast<uint8_t>(r), 3},
                    Pattern(1024, static_cast<uint32_t>(r)));
  }
  ASSERT_TRUE(WriteFileBytes(dir.File("f"), image.Build()));
  int failed_lookups = 0;
  for (int64_t k = 1; k <= 8; ++k) {
    SCOPED_TRACE(k);
    D88Image reader;
    ASSERT_TRUE(reader.Open(dir.File("f").c_str()));
    ASSERT_TRUE(reader.SelectImage(0));
    Bytes buf(1024, 0);
    // Three reads in a row fail, as on a bad spot of a disk: enough to cut
    // a walk short, which tries a failed block again and then the file
    // straight.
    FailInputReadsForTesting(k, kIoError, 3);
    if (reader.ReadSector(0, 0, 0, 40, 3, buf.data(), 1024) != 1024) {
      ++failed_lookups;
    }
    FailInputReadsForTesting(0, 0);
    // The next lookup reads the file again rather than what the cut walk
    // found.
    EXPECT_EQ(reader.ReadSector(0, 0, 0, 40, 3, buf.data(), 1024), 1024);
    EXPECT_EQ(buf, Pattern(1024, 40));
  }
  EXPECT_GT(failed_lookups, 0);
}

#ifndef _WIN32

// Writes `bytes` into a pipe from another thread while `read` opens the
// pipe's read end by a path of /dev/fd.
template <typename Read>
void ThroughPipe(const Bytes& bytes, Read read) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer(WriteAndClose, fds[1], bytes.data(), bytes.size());
  read("/dev/fd/" + std::to_string(fds[0]));
  writer.join();
  close(fds[0]);
}

TEST(InputFileTest, StreamReadsAsAFileHoldingTheSameBytes) {
  const Bytes bytes = Pattern(300000, 7);  // several pieces of the copy
  ThroughPipe(bytes, [&bytes](const std::string& path) {
    InputFile file;
    ASSERT_TRUE(file.Open(path.c_str(), 1 << 20)) << file.error();
    EXPECT_EQ(file.Size(), 300000);
    EXPECT_EQ(ReadBack(file, 0, bytes.size() + 10), bytes);
    EXPECT_EQ(ReadBack(file, 299990, 100),
              Bytes(bytes.end() - 10, bytes.end()));
    EXPECT_EQ(file.error(), nullptr);
  });
  // An empty stream is an empty file.
  ThroughPipe(Bytes{}, [](const std::string& path) {
    InputFile file;
    ASSERT_TRUE(file.Open(path.c_str(), 1 << 20));
    EXPECT_EQ(file.Size(), 0);
  });
}

TEST(InputFileTest, StreamLongerThanTheLimitIsRefused) {
  ThroughPipe(Bytes(1000, 1), [](const std::string& path) {
    InputFile file;
    EXPECT_TRUE(file.Open(path.c_str(), 1000));
    EXPECT_EQ(file.Size(), 1000);
  });
  ThroughPipe(Bytes(1001, 1), [](const std::string& path) {
    InputFile file;
    EXPECT_FALSE(file.Open(path.c_str(), 1000));
    EXPECT_FALSE(file.is_open());
    ASSERT_NE(file.error(), nullptr);
    EXPECT_STREQ(file.error(),
                 "the piped input is longer than the 1000 bytes that can be "
                 "read from it");
  });
}

TEST(InputFileTest, StreamWithNowhereToBeStoredIsRefused) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("TMPDIR", "/nonexistent-d88cut-dir", 1);
  ThroughPipe(Bytes(10, 1), [](const std::string& path) {
    InputFile file;
    EXPECT_FALSE(file.Open(path.c_str(), 1000));
    ASSERT_NE(file.error(), nullptr);
    EXPECT_STREQ(file.error(),
                 "cannot keep the piped input in a temporary file: No such "
                 "file or directory");
  });
  if (old != nullptr) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST(InputFileTest, FifoReadsAsAFile) {
  TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Bytes bytes = Pattern(70000, 3);
  std::thread writer = FeedFifo(fifo, bytes.data(), bytes.size());
  InputFile file;
  const bool opened = file.Open(fifo.c_str(), 1 << 20);
  writer.join();
  ASSERT_TRUE(opened);
  EXPECT_EQ(ReadBack(file, 0, bytes.size()), bytes);
}

#endif  // _WIN32

}  // namespace
}  // namespace d88
