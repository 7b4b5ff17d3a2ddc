// The log writer against real files in a temporary directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FileFaults.h"
#include "TestText.h"
#include "base/Exception.h"
#include "log/uZV_LogWriter.h"
#include "platform/Clock.h"
#include "platform/FileLock.h"

#include <unistd.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#endif

namespace zv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zvtest::T;
using zvtest::U8;
using zvtest::FailureOf;

// The system's path separator, which the writer puts between directory and file name.
const std::string kSep(1, static_cast<char>(fs::path::preferred_separator));

class TempDir {
 public:
  TempDir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    // A table row's name holds a "/": keep the folder one level deep.
    std::string name = info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    fPath = fs::temp_directory_path() /
            ("zvlog_" + name + "_" + std::to_string(::getpid()) + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(fPath);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(fPath, ignored);
  }
  const fs::path& Path() const { return fPath; }
  Text Dir() const { return FromUtf8(fPath.string()); }

 private:
  fs::path fPath;
};

std::string ReadFile(const fs::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The lines of a file split at CR LF (the last, empty piece after the final CR LF is
// left out).
std::vector<std::string> Lines(const fs::path& aPath) {
  const std::string content = ReadFile(aPath);
  std::vector<std::string> lines;
  size_t pos = 0;
  for (size_t next; (next = content.find("\r\n", pos)) != std::string::npos; pos = next + 2)
    lines.push_back(content.substr(pos, next - pos));
  if (pos < content.size()) lines.push_back(content.substr(pos));
  return lines;
}

// The message part of a log line (after the stamp and the kind).
std::string MessageOf(const std::string& aLine) {
  static const std::regex kLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} - (?:ERROR - )?([\s\S]*)$)");
  std::smatch match;
  if (!std::regex_match(aLine, match, kLine)) return "<malformed: " + aLine + ">";
  return match[1];
}

// Waits (boundedly) until the file holds at least aCount lines.
void WaitForLines(const fs::path& aPath, size_t aCount) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (Lines(aPath).size() < aCount && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
}

std::string Today() {
  const platform::CivilTime now = platform::LocalNow();
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", now.Year, now.Month, now.Day);
  return buffer;
}

TEST(LogWriter, FileNamesDailyAndNot) {
  TempDir dir;
  const std::string d = dir.Path().string();
  struct Case {
    std::string FileName, Directory;
    bool Daily;
    std::string Expected;
  } cases[] = {
      {"App", d, false, d + kSep + "App.log"},
      {"Dev1", d, true, d + kSep + "Dev1_" + Today() + ".log"},
      {"ZVPA_LORVANI_10_", d, true, d + kSep + "ZVPA_LORVANI_10__" + Today() + ".log"},
      // Only the last component of the file name is kept.
      {"/elsewhere/sub/App", d, false, d + kSep + "App.log"},
      // A directory that ends in a separator gets none added.
      {"other/App", d + "/", false, d + "/App.log"},
      // The directory is created with its parents.
      {"App", d + "/a/b/c", false, d + "/a/b/c" + kSep + "App.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Expected);
    {
      tZV_LogWriter writer(T(c.FileName), T(c.Directory), 0, c.Daily);
      EXPECT_EQ(U8(writer.FileName()), c.Expected);
      EXPECT_EQ(writer.Daily(), c.Daily);
      EXPECT_EQ(writer.MaxLogFileSize(), 5000);
      EXPECT_TRUE(fs::is_directory(c.Directory));
      // The file is created by the first line, not by construction.
      EXPECT_FALSE(fs::exists(c.Expected));
      writer.Write(tZV_MessageType::let_info, u"hello");
    }
    ASSERT_EQ(Lines(c.Expected).size(), 1u);
    EXPECT_EQ(MessageOf(Lines(c.Expected)[0]), "hello");
    fs::remove(c.Expected);
  }
}

TEST(LogWriter, LineFormat) {
  TempDir dir;
  fs::path file = dir.Path() / "App.log";
  {
    tZV_LogWriter writer(u"App", dir.Dir(), 0, false);
    writer.Write(tZV_MessageType::let_info, u"info text");
    writer.Write(tZV_MessageType::let_error, u"bad thing");
    writer.Write(tZV_MessageType::let_info, u"");
    writer.Write(tZV_MessageType::let_info, u"first\r\nsecond");
    writer.Write(tZV_MessageType::let_info, u"Betrag 12,50 \u20ac \u00fc");
  }
  const std::string content = ReadFile(file);
  // UTF-8 without a byte-order mark.
  ASSERT_GE(content.size(), 3u);
  EXPECT_NE(content.substr(0, 3), "\xEF\xBB\xBF");
  const std::vector<std::string> lines = Lines(file);
  ASSERT_EQ(lines.size(), 6u) << content;
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} - info text)")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3} - ERROR - bad thing)")))
      << lines[1];
  // An empty message leaves the trailing blank of " - ".
  EXPECT_EQ(lines[2].substr(23), " - ");
  // A line break inside a message is written as it is: the second part has no stamp.
  EXPECT_EQ(MessageOf(lines[3]), "first");
  EXPECT_EQ(lines[4], "second");
  EXPECT_EQ(MessageOf(lines[5]), "Betrag 12,50 \xE2\x82\xAC \xC3\xBC");
  // The stamp is today's date.
  const std::string today = Today();
  EXPECT_EQ(lines[0].substr(0, 10), today.substr(0, 4) + "-" + today.substr(4, 2) + "-" + today.substr(6, 2));
}

TEST(LogWriter, MaxMessageLengthCuts) {
  TempDir dir;
  {
    tZV_LogWriter writer(u"App", dir.Dir(), 5, false);
    EXPECT_EQ(writer.MaxMessageLength(), 5);
    writer.Write(tZV_MessageType::let_info, u"abcdefgh");
    writer.Write(tZV_MessageType::let_info, u"abc");
    // A cut that would split a surrogate pair keeps neither half.
    writer.Write(tZV_MessageType::let_info, u"abcd\U0001F600x");
  }
  const auto lines = Lines(dir.Path() / "App.log");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(MessageOf(lines[0]), "abcde");
  EXPECT_EQ(MessageOf(lines[1]), "abc");
  EXPECT_EQ(MessageOf(lines[2]), "abcd");
}

TEST(LogWriter, SettersMoveLaterLines) {
  TempDir dir;
  {
    tZV_LogWriter writer(u"App", dir.Dir(), 0, false);
    writer.Write(tZV_MessageType::let_info, u"one");
    // The thread takes the file name current when it writes a line: let it write first.
    WaitForLines(dir.Path() / "App.log", 1);
    writer.SetDirectory(dir.Dir() + u"/moved");
    EXPECT_EQ(U8(writer.Directory()), dir.Path().string() + "/moved");
    EXPECT_EQ(U8(writer.FileName()), dir.Path().string() + "/moved" + kSep + "App.log");
    writer.Write(tZV_MessageType::let_info, u"two");
    WaitForLines(dir.Path() / "moved" / "App.log", 1);
    writer.SetFileName(u"/some/where/Other.txt");
    EXPECT_EQ(U8(writer.FileName()), dir.Path().string() + "/moved" + kSep + "Other.txt");
    writer.Write(tZV_MessageType::let_info, u"three");
  }
  ASSERT_EQ(Lines(dir.Path() / "App.log").size(), 1u);
  EXPECT_EQ(MessageOf(Lines(dir.Path() / "App.log")[0]), "one");
  ASSERT_EQ(Lines(dir.Path() / "moved" / "App.log").size(), 1u);
  EXPECT_EQ(MessageOf(Lines(dir.Path() / "moved" / "App.log")[0]), "two");
  ASSERT_EQ(Lines(dir.Path() / "moved" / "Other.txt").size(), 1u);
  EXPECT_EQ(MessageOf(Lines(dir.Path() / "moved" / "Other.txt")[0]), "three");
}


TEST(LogWriter, Failures) {
  TempDir dir;
  const Text withNul = dir.Dir() + Text(u"/a\0b", 4);
  EXPECT_EQ(FailureOf([&] { tZV_LogWriter w(u"App", withNul, 0, false); }), "Invalid characters in path");
  EXPECT_EQ(FailureOf([&] { tZV_LogWriter w(Text(u"A\0pp", 4), dir.Dir(), 0, false); }), "Invalid characters in path");
  EXPECT_EQ(FailureOf([&] { tZV_LogWriter w(u"App", u"", 0, false); }), "Unable to create directory");

  tZV_LogWriter writer(u"App", dir.Dir(), 0, false);
  EXPECT_EQ(FailureOf([&] { writer.SetDirectory(u""); }), "Unable to create directory");
  EXPECT_EQ(FailureOf([&] { writer.SetDirectory(withNul); }), "Invalid characters in path");
  EXPECT_EQ(FailureOf([&] { writer.SetFileName(Text(u"x\0y", 3)); }), "Invalid characters in path");
  // The failed setters changed nothing.
  EXPECT_EQ(U8(writer.FileName()), dir.Path().string() + kSep + "App.log");
  // A name without a last component names the directory itself: its lines fail their
  // attempts silently, and Write never fails for it.
  writer.SetFileName(u"sub/");
  EXPECT_EQ(U8(writer.FileName()), dir.Path().string() + kSep);
  EXPECT_EQ(FailureOf([&] { writer.Write(tZV_MessageType::let_info, u"x"); }), "<no failure>");
}

TEST(LogWriter, LinesReachTheFileWithoutWaitingForDestruction) {
  TempDir dir;
  tZV_LogWriter writer(u"App", dir.Dir(), 0, false);
  writer.Write(tZV_MessageType::let_info, u"prompt");
  WaitForLines(dir.Path() / "App.log", 1);
  EXPECT_EQ(Lines(dir.Path() / "App.log").size(), 1u);
  EXPECT_EQ(writer.GetLogFileSize(), static_cast<int64_t>(ReadFile(dir.Path() / "App.log").size()));
}

TEST(LogWriter, DestructionRightAfterWriteKeepsTheLine) {
  TempDir dir;
  for (int i = 0; i < 20; ++i) {
    const std::string name = std::string("D").append(std::to_string(i));
    {
      tZV_LogWriter writer(T(name), dir.Dir(), 0, false);
      writer.Write(tZV_MessageType::let_info, T("last words " + std::to_string(i)));
    }
    const auto lines = Lines(dir.Path() / (name + ".log"));
    ASSERT_EQ(lines.size(), 1u) << i;
    EXPECT_EQ(MessageOf(lines[0]), "last words " + std::to_string(i));
  }
}

// Rotation happens when the file is strictly larger than the threshold; a file that
// cannot be moved aside (its folder refuses new names) takes the line all the same.
TEST(LogWriter, RotationAtTheDefaultThreshold) {
  struct Case {
    size_t Size;
    bool Rotates;
    bool MoveRefused;
  } cases[] = {{5120000, false, false}, {5120001, true, false}, {5120001, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.Size) + (c.MoveRefused ? " move refused" : ""));
    TempDir dir;
    const fs::path file = dir.Path() / "Dev1.log";
    {
      std::ofstream out(file, std::ios::binary);
      out << std::string(c.Size, 'x');
    }
    {
      tZV_LogWriter writer(u"Dev1", dir.Dir(), 0, false);
      EXPECT_EQ(writer.GetLogFileSize(), static_cast<int64_t>(c.Size));
      std::optional<zvtest::ReadOnlyPath> fixedFolder;
      if (c.MoveRefused) {
        fixedFolder.emplace(dir.Path());
        if (!fixedFolder->Failure().empty()) GTEST_SKIP() << fixedFolder->Failure();
      }
      writer.Write(tZV_MessageType::let_info, u"next line");
      EXPECT_FALSE(writer.HasDroppedLines(10s));
    }
    std::vector<fs::path> moved;
    for (const auto& entry : fs::directory_iterator(dir.Path()))
      if (entry.path() != file) moved.push_back(entry.path());
    if (c.Rotates) {
      ASSERT_EQ(moved.size(), 1u);
      const std::string name = moved[0].filename().string();
      EXPECT_TRUE(std::regex_match(name, std::regex(R"(Dev1_\d{17}\.log)"))) << name;
      EXPECT_EQ(name.substr(5, 8), Today());
      EXPECT_EQ(fs::file_size(moved[0]), c.Size);
      // The line is the first of a new file under the old name.
      const auto lines = Lines(file);
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(MessageOf(lines[0]), "next line");
    } else {
      EXPECT_TRUE(moved.empty());
      // The line is appended to the old file.
      const std::string content = ReadFile(file);
      ASSERT_GT(content.size(), c.Size + 2);
      EXPECT_EQ(MessageOf(content.substr(c.Size, content.size() - c.Size - 2)), "next line");
    }
  }
}

TEST(LogWriter, RotationWithASmallerThresholdKeepsEveryLine) {
  TempDir dir;
  const fs::path daily = dir.Path() / ("Dev_" + Today() + ".log");
  {
    tZV_LogWriter writer(u"Dev", dir.Dir(), 0, true);
    writer.SetMaxLogFileSize(1);  // 1,024 bytes
    for (int i = 0; i < 60; ++i) {
      writer.Write(tZV_MessageType::let_info, T("line " + std::to_string(i) + " " + std::string(60, 'p')));
      // Rotated names carry the millisecond: spread the lines so they stay apart.
      std::this_thread::sleep_for(2ms);
    }
  }
  size_t files = 0, total = 0;
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    ++files;
    // No file grows past the threshold by more than one line.
    EXPECT_LE(fs::file_size(entry.path()), 1024u + 100u) << entry.path();
    total += Lines(entry.path()).size();
  }
  EXPECT_GT(files, 2u);
  EXPECT_EQ(total, 60u);
  EXPECT_TRUE(fs::exists(daily));
}

TEST(LogWriter, BrieflyLockedFileDelaysLinesInOrder) {
  TempDir dir;
  const fs::path file = dir.Path() / "App.log";
  platform::FileLock lock(FromUtf8(file.string()));
  ASSERT_TRUE(lock.Locked());
  {
    tZV_LogWriter writer(u"App", dir.Dir(), 0, false);
    for (int i = 0; i < 3; ++i) writer.Write(tZV_MessageType::let_info, T("waiting " + std::to_string(i)));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(ReadFile(file).empty());
    lock.Release();
  }
  const auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(MessageOf(lines[i]), "waiting " + std::to_string(i));
}

TEST(LogWriter, LineLockedOutForLongerThanTheAttemptsIsDropped) {
  TempDir dir;
  const fs::path file = dir.Path() / "App.log";
  platform::FileLock lock(FromUtf8(file.string()));
  ASSERT_TRUE(lock.Locked());
  {
    tZV_LogWriter writer(u"App", dir.Dir(), 0, false);
    writer.Write(tZV_MessageType::let_info, u"lost");
    // Ten attempts 50 ms apart take about half a second; hold the lock well past that.
    std::this_thread::sleep_for(1500ms);
    // While the writer runs, a drop costs later lines none of their attempts.
    writer.Write(tZV_MessageType::let_info, u"survives");
    std::this_thread::sleep_for(200ms);
    lock.Release();
    writer.Write(tZV_MessageType::let_info, u"after");
  }
  const auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(MessageOf(lines[0]), "survives");
  EXPECT_EQ(MessageOf(lines[1]), "after");
}

#ifndef _WIN32
// Tells when a file is opened (by the writer's thread, here).
class OpenWatch {
 public:
  explicit OpenWatch(const fs::path& aPath) : fFd(inotify_init1(IN_CLOEXEC)) {
    if (fFd >= 0) inotify_add_watch(fFd, aPath.c_str(), IN_OPEN);
  }
  ~OpenWatch() {
    if (fFd >= 0) close(fFd);
  }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;
  bool Wait(std::chrono::milliseconds aTimeout) {
    pollfd ready{fFd, POLLIN, 0};
    return fFd >= 0 && poll(&ready, 1, static_cast<int>(aTimeout.count())) == 1;
  }

 private:
  int fFd;
};

#endif

// Destruction alone does not cut the attempts: a line that the thread takes up after
// the stop request still waits out a brief lock.
TEST(LogWriter, LinesAfterAStopRequestStillWaitOutABriefLock) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows tells no one when a file is opened, which orders this test's steps";
#else
  TempDir dir;
  const fs::path first = dir.Path() / "First.log", second = dir.Path() / "Second.log";
  platform::FileLock firstLock(FromUtf8(first.string())), secondLock(FromUtf8(second.string()));
  ASSERT_TRUE(firstLock.Locked());
  ASSERT_TRUE(secondLock.Locked());
  std::thread releaser;
  {
    OpenWatch opened(first);
    tZV_LogWriter writer(u"First", dir.Dir(), 0, false);
    writer.Write(tZV_MessageType::let_info, u"one");
    // Once the thread has taken up "one" on the first file, "two" goes to the second.
    ASSERT_TRUE(opened.Wait(5s));
    writer.SetFileName(u"Second.log");
    writer.Write(tZV_MessageType::let_info, u"two");
    releaser = std::thread([&] {
      std::this_thread::sleep_for(100ms);
      firstLock.Release();
      std::this_thread::sleep_for(200ms);
      secondLock.Release();
    });
  }
  releaser.join();
  ASSERT_EQ(Lines(first).size(), 1u);
  EXPECT_EQ(MessageOf(Lines(first)[0]), "one");
  ASSERT_EQ(Lines(second).size(), 1u);
  EXPECT_EQ(MessageOf(Lines(second)[0]), "two");
#endif
}

// A file that takes no more lines: the disk is full (the file cannot grow past a size
// limit), the folder or the file is read-only, or the folder's parent is a file.
enum class Fault { SizeLimit, ReadOnlyFolder, ReadOnlyFile, FolderUnderAFile };

struct UnwritableCase {
  const char* Name;
  Fault Kind;
  double LimitInLines;  // SizeLimit: where the limit lies, in lines past the file's end
  size_t NewLines;      // whole lines that still fit
};

void PrintTo(const UnwritableCase& aCase, std::ostream* aOut) { *aOut << aCase.Name; }

class UnwritableLog : public testing::TestWithParam<UnwritableCase> {};

// "line 000" to "line 099": messages of one length.
std::string Numbered(size_t aIndex) {
  const std::string digits = std::to_string(aIndex);
  return "line " + std::string(3 - std::min<size_t>(3, digits.size()), '0') + digits;
}

// Every queued line fails, or stops where the file cannot grow: the file ends at the
// last whole line, and destruction returns promptly although a hundred lines are
// queued (each of which alone would cost ten attempts, half a second).
TEST_P(UnwritableLog, LeavesNoFragmentAndDestructionReturnsPromptly) {
  const UnwritableCase& c = GetParam();
  constexpr size_t kQueued = 100;
  TempDir dir;
  const fs::path folder = dir.Path() / "logs", file = folder / "App.log";
  // One earlier line written as the writer writes: every line below has its length.
  {
    tZV_LogWriter writer(u"App", FromUtf8(folder.string()), 0, false);
    writer.Write(tZV_MessageType::let_info, u"line old");
  }
  const std::string before = ReadFile(file);
  const size_t lineLength = before.size();
  ASSERT_GT(lineLength, 10u);

  fs::path logFolder = folder;
  std::optional<zvtest::ReadOnlyPath> readOnly;
  if (c.Kind == Fault::ReadOnlyFolder) {
    fs::remove(file);
    readOnly.emplace(folder);
  } else if (c.Kind == Fault::ReadOnlyFile) {
    readOnly.emplace(file);
  } else if (c.Kind == Fault::FolderUnderAFile) {
    logFolder = file / "sub";
  }
  if (readOnly && !readOnly->Failure().empty()) GTEST_SKIP() << readOnly->Failure();
#ifdef _WIN32
  if (c.Kind == Fault::SizeLimit) GTEST_SKIP() << "Windows has no limit of a process's file size to fill the disk with";
#endif

  const auto limit = static_cast<uint64_t>(static_cast<double>(before.size()) + c.LimitInLines * lineLength);
  // The size limit holds for the whole process: keep it in a child.
  const zvtest::ChildRun run = zvtest::RunInChild(
      [&] {
#ifndef _WIN32
        if (c.Kind == Fault::SizeLimit) zvtest::LimitFileSize(limit);
#else
        static_cast<void>(limit);  // the size-limit cases were skipped
#endif
        auto writer = std::make_unique<tZV_LogWriter>(u"App", FromUtf8(logFolder.string()), 0, false);
        for (size_t i = 0; i < kQueued; ++i) writer->Write(tZV_MessageType::let_info, T(Numbered(i)));
        const auto start = std::chrono::steady_clock::now();
        writer.reset();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
      },
      120s);
  ASSERT_TRUE(run.Exited) << run.Report;
  ASSERT_EQ(run.Status, 0) << run.Report;
  RecordProperty("destruction_ms", run.Report);
  // About half a second for the first dropped line; ten attempts for every line would
  // take some 45 s.
  EXPECT_LT(std::stol(run.Report), 5000) << "destruction took " << run.Report << " ms";

  if (c.Kind == Fault::ReadOnlyFolder) {
    EXPECT_TRUE(fs::is_empty(folder));
    return;
  }
  // The file (for FolderUnderAFile the would-be parent folder) ends at a whole line.
  const std::string after = ReadFile(file);
  EXPECT_EQ(after.size(), before.size() + c.NewLines * lineLength);
  EXPECT_EQ(after.substr(0, before.size()), before);
  const auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 1 + c.NewLines);
  for (size_t i = 0; i < c.NewLines; ++i) EXPECT_EQ(MessageOf(lines[1 + i]), Numbered(i));
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnwritableLog,
    testing::Values(UnwritableCase{"FullAtTheEnd", Fault::SizeLimit, 0, 0},
                    UnwritableCase{"FullInsideTheNextLine", Fault::SizeLimit, 0.5, 0},
                    UnwritableCase{"FullInsideTheSecondLine", Fault::SizeLimit, 1.5, 1},
                    UnwritableCase{"ReadOnlyFolder", Fault::ReadOnlyFolder, 0, 0},
                    UnwritableCase{"ReadOnlyFile", Fault::ReadOnlyFile, 0, 0},
                    UnwritableCase{"FolderUnderAFile", Fault::FolderUnderAFile, 0, 0}),
    [](const testing::TestParamInfo<UnwritableCase>& aInfo) { return std::string(aInfo.param.Name); });

// Whether the lines so far reached the file (OPEN asks it of a new device log): known as
// soon as they are handled, not after the whole wait.
TEST(LogWriter, TellsWhetherItsLinesReachedTheFile) {
  TempDir dir;
  const fs::path file = dir.Path() / "taken";
  std::ofstream(file) << "a file where the log's folder would be";
  for (const bool writable : {true, false}) {
    SCOPED_TRACE(writable ? "writable" : "a folder below a file");
    tZV_LogWriter writer(u"Dev", FromUtf8((writable ? dir.Path() : file / "sub").string()), 0, true);
    writer.Write(tZV_MessageType::let_info, u"first");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(writer.HasDroppedLines(60s), !writable);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    if (writable) {
      EXPECT_NE(ReadFile(U8(writer.FileName())).find(" - first"), std::string::npos);
    }
  }
}

// Two writers on one file (two devices with the same log base name) never interleave
// inside a line.
// A line of 301 characters: its letter, its number, 300 times the filler.
std::string Numbered(const char* aLetter, int aNumber, char aFiller) {
  return std::string(aLetter).append(std::to_string(aNumber)).append(300, aFiller);
}

TEST(LogWriter, TwoWritersOnOneFileKeepLinesWhole) {
  TempDir dir;
  constexpr int kLines = 300;
  {
    tZV_LogWriter first(u"Same", dir.Dir(), 0, true);
    tZV_LogWriter second(u"Same", dir.Dir(), 0, true);
    ASSERT_EQ(first.FileName(), second.FileName());
    std::thread a([&] {
      for (int i = 0; i < kLines; ++i) first.Write(tZV_MessageType::let_info, T(Numbered("A", i, 'a')));
    });
    std::thread b([&] {
      for (int i = 0; i < kLines; ++i) second.Write(tZV_MessageType::let_error, T(Numbered("B", i, 'b')));
    });
    a.join();
    b.join();
  }
  const auto lines = Lines(dir.Path() / ("Same_" + Today() + ".log"));
  ASSERT_EQ(lines.size(), 2u * kLines);
  int nextA = 0, nextB = 0;
  for (const std::string& line : lines) {
    const std::string message = MessageOf(line);
    if (message[0] == 'A') {
      EXPECT_EQ(message, Numbered("A", nextA++, 'a'));
    } else {
      EXPECT_EQ(message, Numbered("B", nextB++, 'b'));
    }
  }
  EXPECT_EQ(nextA, kLines);
  EXPECT_EQ(nextB, kLines);
}

// A thread that can no longer run (here: blocked for good opening a FIFO that no one
// reads) must not keep destruction waiting for ever.
TEST(LogWriter, DestructionReturnsWhenTheThreadIsStuck) {
#ifdef _WIN32
  GTEST_SKIP() << "no file on Windows blocks the writer that opens it as a FIFO does";
#else
  TempDir dir;
  const fs::path fifo = dir.Path() / "App.log";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  const auto start = std::chrono::steady_clock::now();
  {
    tZV_LogWriter writer(u"App", dir.Dir(), 0, false);
    writer.Write(tZV_MessageType::let_info, u"stuck");
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(tZV_LogThread::kStallLimitMs / 2));
  EXPECT_LT(elapsed, 60s);
  // Release the abandoned thread: with a reader the FIFO opens, and the thread ends
  // after the line's attempts.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::this_thread::sleep_for(1500ms);
  close(reader);
#endif
}

TEST(LogWriter, CheckLogfileSizeIsDueBeforeEveryLine) {
  TempDir dir;
  tZV_LogWriter writer(u"App", dir.Dir(), 0, false);
  EXPECT_EQ(writer.GetLogFileSize(), -1);
  EXPECT_TRUE(writer.CheckLogfileSize());
  writer.Write(tZV_MessageType::let_info, u"x");
  EXPECT_TRUE(writer.CheckLogfileSize());
}

}  // namespace
}  // namespace zv
