#include "d88/input_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "d88/d88_image.h"
#include "testing/d88_builder.h"
#include "testing/failing_reads.h"
#include "testing/run_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
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

  d88test::FailInputReads(2, kIoError);
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
  d88test::FailInputReads(1, kIoError + 1);
  EXPECT_EQ(ReadBack(file, 0, 10).size(), 0u);
  EXPECT_EQ(file.error(), first);
  d88test::FailInputReads(0, 0);

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
  d88test::FailInputReads(1, kIoError);
  EXPECT_TRUE(reader.Open(dir.File("f").c_str()));
  d88test::FailInputReads(0, 0);
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
    d88test::FailInputReads(k, kIoError, 3);
    if (reader.ReadSector(0, 0, 0, 40, 3, buf.data(), 1024) != 1024) {
      ++failed_lookups;
    }
    d88test::FailInputReads(0, 0);
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

TEST(InputFileTest, StreamIsReadOnlyAsFarAsReadsNeedAndUpToItsLimit) {
  // A stream of `length` bytes, a limit of 1000, and a read of 100 bytes at
  // `offset`: what it delivers and the error it leaves.
  struct Case {
    size_t length;
    int64_t offset;
    size_t got;
    bool fails;
    int64_t size;  // then Size()
  };
  const char* const kTooLong =
      "the piped input is longer than the 1000 bytes that can be read from it";
  for (const Case& c :
       {Case{1000, 900, 100, false, 1000}, Case{1000, 950, 50, false, 1000},
        Case{1001, 900, 100, false, -1}, Case{1001, 950, 50, true, -1},
        Case{5000, 1000, 0, true, -1}}) {
    SCOPED_TRACE(std::to_string(c.length) + " at " + std::to_string(c.offset));
    const Bytes bytes = Pattern(c.length, 5);
    ThroughPipe(bytes, [&](const std::string& path) {
      InputFile file;
      ASSERT_TRUE(file.Open(path.c_str(), 1000));
      bool failed = false;
      Bytes buf(100, 0);
      EXPECT_EQ(file.ReadAt(c.offset, buf.data(), buf.size(), &failed), c.got);
      EXPECT_EQ(failed, c.fails);
      EXPECT_EQ(Bytes(buf.begin(), buf.begin() + static_cast<long>(c.got)),
                Bytes(bytes.begin() + c.offset,
                      bytes.begin() + c.offset + static_cast<long>(c.got)));
      EXPECT_EQ(file.Size(), c.size);
      if (c.fails || c.size < 0) {
        ASSERT_NE(file.error(), nullptr);
        EXPECT_STREQ(file.error(), kTooLong);
      } else {
        EXPECT_EQ(file.error(), nullptr);
      }
    });
  }
}

TEST(InputFileTest, StreamThatHasNotEndedServesTheBytesItHas) {
  // The writer keeps its end open: reading to the end first would wait.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const Bytes bytes = Pattern(1000, 9);
  ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), 1000);
  InputFile file;
  ASSERT_TRUE(
      file.Open(("/dev/fd/" + std::to_string(fds[0])).c_str(), 1 << 20));
  EXPECT_EQ(ReadBack(file, 0, 100), Bytes(bytes.begin(), bytes.begin() + 100));
  close(fds[1]);
  EXPECT_EQ(ReadBack(file, 900, 200), Bytes(bytes.begin() + 900, bytes.end()));
  EXPECT_EQ(file.Size(), 1000);
  close(fds[0]);
}

TEST(InputFileTest, StreamWithNowhereToBeStoredIsRefused) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("TMPDIR", "/nonexistent-d88cut-dir", 1);
  ThroughPipe(Bytes(10, 1), [](const std::string& path) {
    InputFile file;
    EXPECT_FALSE(file.Open(path.c_str(), 1000));
    const char* const kReason =
        "cannot keep the piped input in a temporary file in "
        "/nonexistent-d88cut-dir: No such file or directory";
    EXPECT_STREQ(file.error(), kReason);
    EXPECT_STREQ(file.open_error(), kReason);
  });
  if (old != nullptr) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST(InputFileTest, FifoSocketAndCharacterDeviceReadAsFiles) {
  TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Bytes bytes = Pattern(70000, 3);
  {
    std::thread writer = FeedFifo(fifo, bytes.data(), bytes.size());
    InputFile file;
    ASSERT_TRUE(file.Open(fifo.c_str(), 1 << 20));
    EXPECT_EQ(ReadBack(file, 0, bytes.size()), bytes);
    writer.join();
  }
  // A socket held by a descriptor opens by the descriptor's name.
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  {
    std::thread writer(WriteAndClose, pair[1], bytes.data(), bytes.size());
    InputFile file;
    ASSERT_TRUE(
        file.Open(("/dev/fd/" + std::to_string(pair[0])).c_str(), 1 << 20))
        << file.open_error();
    EXPECT_EQ(file.Size(), 70000);
    EXPECT_EQ(ReadBack(file, 0, bytes.size()), bytes);
    writer.join();
    close(pair[0]);
  }
  // A character device gives the same bytes for the same offset.
  InputFile random;
  ASSERT_TRUE(random.Open("/dev/urandom", 1 << 20));
  EXPECT_EQ(ReadBack(random, 100, 64), ReadBack(random, 100, 64));
  EXPECT_EQ(random.Size(), -1);
  InputFile null;
  ASSERT_TRUE(null.Open("/dev/null", 1000));
  EXPECT_EQ(null.Size(), 0);
}

#endif  // _WIN32

}  // namespace
}  // namespace d88
