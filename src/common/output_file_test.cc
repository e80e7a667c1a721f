// Tests of the file publisher on each route it can take, with the system's
// refusals forced through its test seam, and of what the signals that end a
// process leave behind when they end a run.

#include "common/output_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "cut/d88cut.h"
#include "d88/input_file.h"
#include "testing/d88_builder.h"
#include "testing/game_disk_builder.h"
#include "testing/run_process.h"

namespace common {

using d88test::ReadFileBytes;

using cut::RunD88Cut;
using cut::SetUpSignals;
using d88::FileIdentity;
using d88::InputFile;
using d88test::Bytes;
using d88test::GameDiskBuilder;
using d88test::Pattern;
using d88test::TempDir;
using d88test::WriteFileBytes;
#ifndef _WIN32
using d88test::UseDefaultSignals;
#endif
namespace {

using Step = FilePublisher::Step;
using Stage = FilePublisher::Stage;

// A way through the publisher: the errno value each refusable step fails
// with (0: not refused).
struct Route {
  const char* label;
  int open_unnamed;
  int link_unnamed;
  int link_through_proc;
  bool named_while_written;  // a temporary file is visible once written
};

#ifdef _WIN32
// Windows always writes under a temporary name.
const Route kRoutes[] = {{"temporary name", 0, 0, 0, true}};
#else
const Route kRoutes[] = {
    {"unnamed file linked by its descriptor", 0, 0, 0, false},
    {"no unnamed files (EOPNOTSUPP)", EOPNOTSUPP, 0, 0, true},
    {"no unnamed files (EISDIR)", EISDIR, 0, 0, true},
    {"no unnamed files (EINVAL)", EINVAL, 0, 0, true},
    {"no link by descriptor (ENOENT), through /proc", 0, ENOENT, 0, false},
    {"no link by descriptor (EPERM), through /proc", 0, EPERM, 0, false},
    {"no link at all, temporary name", 0, ENOENT, ENOENT, true},
};
#endif

// The route of the test running, and what the publisher did; plain
// globals, since the seams are plain function pointers.
Route g_route;
int g_attempts[4];
bool g_saw_temporary;
int g_close_error;  // what closing a written file fails with (0: nothing)

int Refuse(Step step) {
  ++g_attempts[static_cast<int>(step)];
  switch (step) {
    case Step::kOpenUnnamed:
      return g_route.open_unnamed;
    case Step::kLinkUnnamed:
      return g_route.link_unnamed;
    case Step::kLinkThroughProc:
      return g_route.link_through_proc;
    case Step::kClose:
      return g_close_error;
  }
  return 0;
}

// Whether the working directory holds a file whose name begins with a dot.
bool HasHiddenFile() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(".", ec)) {
    if (entry.path().filename().string()[0] == '.') return true;
  }
  return false;
}

void NoteTemporary(const char*, Stage stage) {
  if (stage == Stage::kWritten && HasHiddenFile()) g_saw_temporary = true;
}

void UseRoute(const Route& route, FilePublisher* publisher) {
  g_route = route;
  std::memset(g_attempts, 0, sizeof(g_attempts));
  g_saw_temporary = false;
  g_close_error = 0;
  publisher->SetRefusalForTesting(Refuse);
  publisher->SetHookForTesting(NoteTemporary);
}

// Makes `dir` the working directory for the life of the object.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) {
    std::error_code ec;
    before_ = std::filesystem::current_path(ec);
    std::filesystem::current_path(dir, ec);
    EXPECT_FALSE(ec) << dir;
  }
  ~InDirectory() {
    std::error_code ec;
    std::filesystem::current_path(before_, ec);
  }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

 private:
  std::filesystem::path before_;
};

Bytes Contents(const std::string& path) {
  Bytes bytes;
  EXPECT_TRUE(ReadFileBytes(path, &bytes)) << path;
  return bytes;
}

bool Publish(FilePublisher& publisher, const char* name, const Bytes& bytes,
             std::string* reason = nullptr) {
  WriteError error;
  error.reason[0] = '\0';
  const bool done = publisher.Publish(name, bytes.data(), bytes.size(), &error);
  if (reason != nullptr) *reason = error.reason;
  return done;
}

TEST(PublishTest, EveryRouteWritesTheSameFilesAndLeavesNoTemporary) {
  const std::vector<std::string> names = {"002", "003", "004", "PROG"};
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.label);
    TempDir dir;
    InDirectory in(dir.path());
    FilePublisher publisher;
    UseRoute(route, &publisher);
    // New names, then the same names again with other bytes (the replace
    // route, chosen at the first name that exists), then a new name once
    // more.
    EXPECT_TRUE(Publish(publisher, "PROG", Pattern(15360, 1)));
    EXPECT_TRUE(Publish(publisher, "002", Bytes{}));
    EXPECT_TRUE(Publish(publisher, "003", Pattern(200000, 2)));
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"002", "003", "PROG"}));
#ifndef _WIN32
    // Replacing files keep their permissions, read-only ones too; a new
    // file takes the name, and another link keeps the old one.
    ASSERT_EQ(chmod("PROG", 0600), 0);
    ASSERT_EQ(chmod("002", 0444), 0);
    TempDir links;
    ASSERT_EQ(link("003", links.File("003").c_str()), 0);
#endif
    EXPECT_TRUE(Publish(publisher, "PROG", Pattern(15360, 3)));
    EXPECT_TRUE(Publish(publisher, "002", Pattern(1, 4)));
    EXPECT_TRUE(Publish(publisher, "003", Bytes{}));
    EXPECT_TRUE(Publish(publisher, "004", Pattern(1024, 5)));

    EXPECT_EQ(dir.List(), names);
    EXPECT_EQ(Contents("PROG"), Pattern(15360, 3));
    EXPECT_EQ(Contents("002"), Pattern(1, 4));
    EXPECT_EQ(Contents("003"), Bytes{});
    EXPECT_EQ(Contents("004"), Pattern(1024, 5));
    EXPECT_EQ(g_saw_temporary, route.named_while_written);
#ifndef _WIN32
    // A refused step is tried once; the fallback stays for the rest.
    if (route.open_unnamed != 0) {
      EXPECT_EQ(g_attempts[static_cast<int>(Step::kOpenUnnamed)], 1);
    }
    if (route.link_unnamed != 0) {
      EXPECT_EQ(g_attempts[static_cast<int>(Step::kLinkUnnamed)], 1);
    }
    if (route.link_through_proc != 0) {
      EXPECT_EQ(g_attempts[static_cast<int>(Step::kLinkThroughProc)], 1);
    }
    // New files have the permissions of a plain create.
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t modes[] = {0444, 0666 & ~mask, 0666 & ~mask, 0600};
    for (size_t i = 0; i < names.size(); ++i) {
      struct stat st;
      ASSERT_EQ(stat(names[i].c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, modes[i]) << names[i];
    }
    EXPECT_EQ(Contents(links.File("003")), Pattern(200000, 2));
#endif
  }
}

TEST(PublishTest, ProtectedFileIsNeverReplaced) {
  const Bytes input_bytes = Pattern(3000, 9);
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.label);
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir.File("in.d88"), input_bytes));
    std::error_code ec;
    std::filesystem::create_hard_link(dir.File("in.d88"), dir.File("002"), ec);
    ASSERT_FALSE(ec) << ec.message();
    InputFile input;
    ASSERT_TRUE(input.Open(dir.File("in.d88").c_str(), 1 << 20));
    FileIdentity identity;
    ASSERT_TRUE(input.GetIdentity(&identity));

    InDirectory in(dir.path());
    FilePublisher publisher;
    UseRoute(route, &publisher);
    publisher.ProtectFile(identity);
    // Before and after the publisher has met a name that exists.
    EXPECT_TRUE(Publish(publisher, "003", Pattern(100, 1)));
    for (const char* name : {"002", "in.d88"}) {
      SCOPED_TRACE(name);
      std::string reason;
      EXPECT_FALSE(Publish(publisher, name, Pattern(100, 2), &reason));
      EXPECT_EQ(reason, "is the input file, not replaced");
      EXPECT_EQ(Contents(name), input_bytes);
    }
    EXPECT_TRUE(Publish(publisher, "003", Pattern(100, 3)));
    EXPECT_TRUE(Publish(publisher, "004", Pattern(100, 4)));
    EXPECT_EQ(Contents("003"), Pattern(100, 3));
    EXPECT_EQ(dir.List(),
              (std::vector<std::string>{"002", "003", "004", "in.d88"}));
#ifndef _WIN32
    // A symbolic link to the input is replaced itself; the input stays.
    ASSERT_EQ(symlink("in.d88", "005"), 0);
    EXPECT_TRUE(Publish(publisher, "005", Pattern(100, 5)));
    EXPECT_EQ(Contents("005"), Pattern(100, 5));
    EXPECT_EQ(Contents("in.d88"), input_bytes);
#endif
  }
}

TEST(PublishTest, UnknownInputIdentityReplacesNoFile) {
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.label);
    TempDir dir;
    InDirectory in(dir.path());
    ASSERT_TRUE(WriteFileBytes("002", Pattern(100, 1)));
    FilePublisher publisher;
    UseRoute(route, &publisher);
    publisher.ProtectUnknownFile();
    for (int round = 0; round < 2; ++round) {  // before and after a refusal
      std::string reason;
      EXPECT_FALSE(Publish(publisher, "002", Pattern(100, 2), &reason));
      EXPECT_EQ(reason, "the input file's identity is unknown, not replaced");
      EXPECT_TRUE(Publish(publisher, round == 0 ? "003" : "004", Bytes{}));
    }
    EXPECT_EQ(Contents("002"), Pattern(100, 1));
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"002", "003", "004"}));
  }
}

TEST(PublishTest, FailedCloseSaysWhatBecameOfTheFile) {
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.label);
    for (const bool exists : {false, true}) {
      SCOPED_TRACE(exists ? "replacing" : "new name");
      TempDir dir;
      InDirectory in(dir.path());
      if (exists) {
        ASSERT_TRUE(WriteFileBytes("002", Pattern(100, 1)));
      }
      FilePublisher publisher;
      UseRoute(route, &publisher);
      g_close_error = EIO;
      std::string reason;
      EXPECT_FALSE(Publish(publisher, "002", Pattern(100, 2), &reason));
      if (route.named_while_written) {
        // Closed before it got its name: nothing changed.
        EXPECT_EQ(reason, std::strerror(EIO));
        EXPECT_EQ(dir.List(), exists ? std::vector<std::string>{"002"}
                                     : std::vector<std::string>{});
        if (exists) {
          EXPECT_EQ(Contents("002"), Pattern(100, 1));
        }
      } else {
        // An unnamed file is closed once named: the name holds it.
        EXPECT_EQ(reason, std::string("written, but closing it failed: ") +
                              std::strerror(EIO));
        EXPECT_EQ(dir.List(), std::vector<std::string>{"002"});
        EXPECT_EQ(Contents("002"), Pattern(100, 2));
      }
    }
  }
}

#ifndef _WIN32

// Runs `body` in a child process started with default signal handling, its
// console output discarded; returns the wait status.
template <typename Body>
int RunInChild(const Body& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    UseDefaultSignals();
    // SIGQUIT and SIGXCPU would leave a core dump in the directory.
    const struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    _exit(body());
  }
  int status = -1;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

TEST(PublishTest, SizeLimitFailsTheFileAndLeavesNoTemporary) {
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.label);
    TempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir.File("002"), Pattern(100, 1)));
    const int status = RunInChild([&] {
      if (chdir(dir.path().c_str()) != 0) return 10;
      SetUpSignals();
      struct rlimit limit;
      getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = 4096;
      setrlimit(RLIMIT_FSIZE, &limit);
      FilePublisher publisher;
      UseRoute(route, &publisher);
      std::string reason;
      int failures = 0;
      if (Publish(publisher, "002", Pattern(5000, 2), &reason)) failures |= 1;
      if (reason != std::strerror(EFBIG)) failures |= 2;
      if (Publish(publisher, "003", Pattern(6000, 3), &reason)) failures |= 4;
      if (!Publish(publisher, "004", Pattern(4096, 4))) failures |= 8;
      return failures;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"002", "004"}));
    EXPECT_EQ(Contents(dir.File("002")), Pattern(100, 1));
    EXPECT_EQ(Contents(dir.File("004")), Pattern(4096, 4));
  }
}

// A run of the tool that a signal ends while it publishes 004.
struct Interruption {
  const char* label;
  Route route;
  bool names_exist;  // the files are there from an earlier run
  Stage stage;       // where the signal comes
  bool temporary;    // a temporary file exists then
};

int g_signal;
Interruption g_interruption;

void RaiseAt004(const char* name, Stage stage) {
  if (std::strcmp(name, "004") != 0 || stage != g_interruption.stage) return;
  // The test means nothing unless the file to remove is there.
  if (HasHiddenFile() != g_interruption.temporary) _exit(20);
  raise(g_signal);
  _exit(21);  // the signal did not end the process
}

TEST(InterruptedRunTest, SignalsLeaveOnlyWholeFilesAndEndTheRun) {
  const Interruption kInterruptions[] = {
      {"unnamed, written", kRoutes[0], false, Stage::kWritten, false},
      {"unnamed, replacing", kRoutes[0], true, Stage::kBeforeRename, true},
      {"through /proc, replacing", kRoutes[4], true, Stage::kBeforeRename,
       true},
      {"temporary name, written", kRoutes[1], false, Stage::kWritten, true},
      {"temporary name, replacing", kRoutes[1], true, Stage::kBeforeRename,
       true},
  };
  GameDiskBuilder disk1('1');
  for (int k = 2; k <= 5; ++k) {
    disk1.AddFile(k, static_cast<uint16_t>(k * 2),
                  Pattern(2048, static_cast<uint32_t>(k)));
  }
  TempDir inputs;
  const std::string input = inputs.File("in.d88");
  ASSERT_TRUE(WriteFileBytes(input, disk1.Build()));
  const Bytes old = Pattern(500, 99);

  // Every signal that ends a process by default and can be caught, except
  // those of a crash.
  std::vector<int> signals = {SIGHUP,  SIGINT,    SIGQUIT,  SIGTERM,
                              SIGALRM, SIGUSR1,   SIGUSR2,  SIGXCPU,
                              SIGPROF, SIGVTALRM, SIGRTMIN, SIGRTMAX};
#ifdef __linux__
  signals.insert(signals.end(), {SIGIO, SIGPWR});
#endif
  for (const int sig : signals) {
    for (const Interruption& interruption : kInterruptions) {
      // Every route for three signals; for the others, one with a
      // temporary name and one with a temporary link.
      if (sig != SIGHUP && sig != SIGINT && sig != SIGTERM &&
          &interruption != &kInterruptions[1] &&
          &interruption != &kInterruptions[3]) {
        continue;
      }
      SCOPED_TRACE(std::string(strsignal(sig)) + ", " + interruption.label);
      TempDir dir;
      if (interruption.names_exist) {
        for (const char* name : {"PROG", "002", "003", "004", "005"}) {
          ASSERT_TRUE(WriteFileBytes(dir.File(name), old));
        }
      }
      g_signal = sig;
      g_interruption = interruption;
      const int status = RunInChild([&] {
        if (chdir(dir.path().c_str()) != 0) return 10;
        SetUpSignals();
        FilePublisher publisher;
        UseRoute(interruption.route, &publisher);
        publisher.SetHookForTesting(RaiseAt004);
        std::string path = input;
        char program[] = "d88cut";
        char* argv[] = {program, path.data(), nullptr};
        return RunD88Cut(2, argv, &publisher);
      });
      ASSERT_TRUE(WIFSIGNALED(status))
          << "exit status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      EXPECT_EQ(WTERMSIG(status), sig);

      // The files before 004 are new, 004 and 005 as they were.
      std::vector<std::string> expected = {"002", "003", "PROG"};
      if (interruption.names_exist) {
        expected = {"002", "003", "004", "005", "PROG"};
        EXPECT_EQ(Contents(dir.File("004")), old);
        EXPECT_EQ(Contents(dir.File("005")), old);
      }
      EXPECT_EQ(dir.List(), expected);
      EXPECT_EQ(Contents(dir.File("PROG")), disk1.Prog());
      EXPECT_EQ(Contents(dir.File("002")), Pattern(2048, 2));
      EXPECT_EQ(Contents(dir.File("003")), Pattern(2048, 3));
    }
  }
}

#if defined(__linux__)
// Links to the temporary name of attempt 0 are refused by a stranger's file;
// SIGINT comes while the publisher tries that name.
int g_links;
int RaiseAtTemporaryLink(Step step) {
  if (step == Step::kLinkUnnamed && ++g_links == 2) raise(SIGINT);
  return 0;
}

TEST(InterruptedRunTest, SignalSparesAStrangersTemporaryFile) {
  TempDir dir;
  const std::string stranger = "a stranger's bytes";
  // The process ID in temporary names is taken when the code is loaded:
  // this process's, also in the child.
  const std::string name = ".004." + std::to_string(getpid()) + "-0.tmp";
  const int status = RunInChild([&] {
    if (chdir(dir.path().c_str()) != 0) return 10;
    SetUpSignals();
    if (!WriteFileBytes(name, Bytes(stranger.begin(), stranger.end())) ||
        !WriteFileBytes("004", Pattern(10, 1))) {
      return 11;
    }
    FilePublisher publisher;
    g_links = 0;
    // The first link is to 004 itself, which exists; the second to the
    // stranger's name.
    publisher.SetRefusalForTesting(RaiseAtTemporaryLink);
    Publish(publisher, "004", Pattern(10, 2));
    return 21;  // the signal did not end the process
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{name, "004"}));
  EXPECT_EQ(Contents(dir.File(name)), Bytes(stranger.begin(), stranger.end()));
  EXPECT_EQ(Contents(dir.File("004")), Pattern(10, 1));
}
#endif  // __linux__

TEST(InterruptedRunTest, IgnoredSignalsStayIgnored) {
  // A run started with SIGHUP ignored (under nohup, say) keeps going.
  TempDir dir;
  g_interruption = {"", kRoutes[1], false, Stage::kWritten, true};
  g_signal = SIGHUP;
  const int status = RunInChild([&] {
    if (chdir(dir.path().c_str()) != 0) return 10;
    signal(SIGHUP, SIG_IGN);
    SetUpSignals();
    FilePublisher publisher;
    UseRoute(g_interruption.route, &publisher);
    publisher.SetHookForTesting([](const char* name, Stage stage) {
      if (std::strcmp(name, "004") == 0 && stage == Stage::kWritten) {
        raise(SIGHUP);
      }
    });
    return Publish(publisher, "004", Pattern(10, 1)) ? 0 : 1;
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"004"});
}

#endif  // _WIN32

}  // namespace
}  // namespace common
