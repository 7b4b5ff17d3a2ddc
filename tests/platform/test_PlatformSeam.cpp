// The operating-system seam through its own interface, so that the same checks run on
// Linux and, cross-built, under Wine against the Windows implementation.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "TcpTestPeer.h"
#include "TestSocket.h"
#include "TestText.h"
#include "platform/Bstr.h"
#include "platform/DynamicLibrary.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/NamedMutex.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "platform/Socket.h"
#include "platform/StateFile.h"

namespace {

using namespace zv;
using namespace zv::platform;
using zvtest::T;
using zvtest::U8;

// A fresh folder below the system's temporary folder, removed with the object.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device seed;
    fPath = std::filesystem::temp_directory_path() / ("zv-platform-" + std::to_string(seed()));
    std::filesystem::create_directories(fPath);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(fPath, ignored);
  }
  Text File(const std::string& aName) const { return T((fPath / aName).string()); }
  std::string Read(const std::string& aName) const {
    std::ifstream in(fPath / aName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path fPath;
};

TEST(PlatformSeam, AppendWaitsForNoLockHolderAndWritesWholeLines) {
  ScratchDir dir;
  const Text file = dir.File("log.txt");
  ASSERT_TRUE(AppendToFileExclusive(file, "one\r\n"));
  {
    FileLock lock(file);
    ASSERT_TRUE(lock.Locked());
    EXPECT_FALSE(AppendToFileExclusive(file, "refused\r\n"));
  }
  ASSERT_TRUE(AppendToFileExclusive(file, "two\r\n"));
  EXPECT_EQ(dir.Read("log.txt"), "one\r\ntwo\r\n");
  EXPECT_EQ(FileSize(file), 10);
}

// The small state files every process of the machine shares: replaced whole, read
// back, and held by one opening at a time while the others wait.
TEST(PlatformSeam, AStateFileIsReplacedWholeAndHeldByOneOpeningAtATime) {
  ScratchDir dir;
  const Text file = dir.File("state") + kPathSeparator + u"requestid-1";  // its folder is made
  {
    StateFile state(file);
    ASSERT_TRUE(state.Locked()) << U8(state.Failure());
    EXPECT_EQ(state.Read(), "");
    ASSERT_TRUE(state.Replace("S1-T2-20261211093015123\n"));
    ASSERT_TRUE(state.Replace("short\n"));
    EXPECT_EQ(state.Read(), "short\n");
  }
  {
    StateFile state(file);
    ASSERT_TRUE(state.Replace("x\n"));  // replaced without being read first
  }
  {
    StateFile state(file);
    EXPECT_EQ(state.Read(), "x\n");
    ASSERT_TRUE(state.Replace("short\n"));
  }
  std::atomic<bool> released{false};
  auto first = std::make_unique<StateFile>(file);
  ASSERT_TRUE(first->Locked());
  std::thread second([&] {
    StateFile other(file);
    EXPECT_TRUE(released.load()) << "a second opening took the file while the first held it";
    EXPECT_EQ(other.Read(), "short\n");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  released = true;
  first.reset();
  second.join();
}

TEST(PlatformSeam, AStateFileThatCannotBeMadeSaysWhy) {
  ScratchDir dir;
  std::ofstream(std::filesystem::path(U8(dir.File("blocker")))) << "a file, not a folder";
  StateFile state(dir.File("blocker") + kPathSeparator + u"requestid-1");
  EXPECT_FALSE(state.Locked());
  EXPECT_NE(U8(state.Failure()).find("blocker"), std::string::npos) << U8(state.Failure());
  EXPECT_EQ(state.Read(), "");
  EXPECT_FALSE(state.Replace("x"));
}

void SetStateDir(const char* aValue) {
#ifdef _WIN32
  _putenv_s("ZV_STATE_DIR", aValue ? aValue : "");
#else
  if (aValue) {
    setenv("ZV_STATE_DIR", aValue, 1);
  } else {
    unsetenv("ZV_STATE_DIR");
  }
#endif
}

TEST(PlatformSeam, TheMachineStateFolderIsZvStateDirOrTheSystemsOwn) {
  SetStateDir("state-here");
  EXPECT_EQ(MachineStateFolder(), Text(u"state-here") + kPathSeparator);
  SetStateDir(nullptr);
#ifdef _WIN32
  const char* programData = std::getenv("ProgramData");
  ASSERT_NE(programData, nullptr);
  EXPECT_EQ(U8(MachineStateFolder()), std::string(programData) + "\\ZVPA_LORVANI_10\\");
#else
  EXPECT_EQ(MachineStateFolder(), u"/var/tmp/zvpa-lorvani-10/");
#endif
}

#ifndef _WIN32
// Tills may run as different users: the default folder is open to all, as /var/tmp is,
// and so is each file in it.
TEST(PlatformSeam, TheDefaultStateFolderIsSharedByEveryUser) {
  const Text file = u"/var/tmp/zvpa-lorvani-10/platform-test-" + IntToText(::getpid());
  {
    StateFile state(file);
    ASSERT_TRUE(state.Locked()) << U8(state.Failure());
  }
  const auto folder = std::filesystem::status("/var/tmp/zvpa-lorvani-10").permissions();
  const auto own = std::filesystem::status(U8(file)).permissions();
  std::filesystem::remove(U8(file));
  using std::filesystem::perms;
  EXPECT_EQ(folder & (perms::all | perms::sticky_bit), perms::all | perms::sticky_bit);
  EXPECT_EQ(own & perms::all, perms::owner_read | perms::owner_write | perms::group_read | perms::group_write |
                                  perms::others_read | perms::others_write);
}
#endif

TEST(PlatformSeam, RenameRefusesAnExistingTargetAndDirectoriesAreCreatedWhole) {
  ScratchDir dir;
  ASSERT_TRUE(AppendToFileExclusive(dir.File("a"), "A"));
  ASSERT_TRUE(AppendToFileExclusive(dir.File("b"), "B"));
  EXPECT_FALSE(RenameFileNoReplace(dir.File("a"), dir.File("b")));
  EXPECT_EQ(dir.Read("b"), "B");
  EXPECT_TRUE(RenameFileNoReplace(dir.File("a"), dir.File("c")));
  EXPECT_FALSE(FileExists(dir.File("a")));
  EXPECT_EQ(dir.Read("c"), "A");

  Text deep = dir.File("x");
  deep += kPathSeparator;
  deep += u"y";
  deep += kPathSeparator;
  deep += u"z";
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(std::filesystem::is_directory(U8(deep)));
  EXPECT_FALSE(FileExists(deep));  // a directory is no file
  EXPECT_EQ(FileSize(dir.File("missing")), -1);
}

TEST(PlatformSeam, PathsSplitAtTheSystemSeparator) {
  Text path = u"dir";
  path += kPathSeparator;
  path += u"name.log";
  EXPECT_EQ(ExtractFileName(path), u"name.log");
  EXPECT_EQ(ExtractFileName(u"plain"), u"plain");
  EXPECT_TRUE(IsPathSeparator(kPathSeparator));
  EXPECT_FALSE(IsRootedPath(u"relative"));
  EXPECT_TRUE(IsRootedPath(Text(1, kPathSeparator) + u"abs"));
}

TEST(PlatformSeam, NamedMutexIsHeldByOneOpeningAtATime) {
  const Text name = T("zv-platform-test-" + std::to_string(std::random_device{}()));
  NamedMutex first(name), second(name);
  ASSERT_TRUE(first.Opened());
  ASSERT_TRUE(second.Opened());
  EXPECT_TRUE(first.TryTake());
  EXPECT_FALSE(second.TryTake());
  first.Release();
  EXPECT_TRUE(second.TryTake());
  EXPECT_FALSE(first.TryTake());
}

TEST(PlatformSeam, TheModuleStringTableHoldsTheVersionHistory) {
  EXPECT_EQ(LoadResourceString(10002), u"$VERSION=1.00");
  EXPECT_EQ(LoadResourceString(10009), u"$TEXT=Added support for Void Action");
  EXPECT_EQ(LoadResourceString(10010), u"");
}

TEST(PlatformSeam, BstrKeepsLengthEmbeddedNulAndNullIsEmpty) {
  const Text text(u"a\0b\u00e9", 4);
  BSTR b = TextToBstr(text);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BstrLength(b), 4u);
  EXPECT_EQ(BstrByteLength(b), 8u);
  EXPECT_EQ(BstrToText(b), text);
  BstrFree(b);
  EXPECT_EQ(TextToBstr(Text()), nullptr);
  EXPECT_EQ(BstrToText(nullptr), Text());
  EXPECT_EQ(BstrLength(nullptr), 0u);
}

TEST(PlatformSeam, AMissingLibraryReportsModuleNotFoundWithTheSystemText) {
  ScratchDir dir;
  DynamicLibrary library;
  const DynamicLibrary::LoadResult result = library.Load(dir.File("missing-library.bin"));
  EXPECT_FALSE(result.Loaded);
  EXPECT_EQ(result.Code, DynamicLibrary::kModuleNotFound);
  EXPECT_FALSE(result.Message.empty());
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_EQ(library.Symbol("anything"), nullptr);
}

TEST(PlatformSeam, TheExecutableIsFoundAndTheLogRootEndsInASeparator) {
  const Text exe = ExecutableFileName();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(FileExists(exe)) << U8(exe);
  const Text root = LogRoot();
  ASSERT_FALSE(root.empty());
  EXPECT_TRUE(IsPathSeparator(root.back()));
}

TEST(PlatformSeam, ConnectingToAPortWithoutListenerFailsWithTheSystemText) {
  TcpClient client;
  // Port 1 on the loopback address: nothing listens there on a test machine.
  const TcpClient::Result result = client.Connect("127.0.0.1", 1, 5000);
  EXPECT_EQ(result.State, TcpClient::Status::Failed);
  EXPECT_FALSE(result.Error.empty());
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(client.Send("x").State, TcpClient::Status::Failed);
}

// A name is looked up within the connect time-out (on a helper thread), then each of
// its addresses is tried: "localhost" may name ::1 first, where nothing listens.
TEST(PlatformSeam, ConnectingByNameWithinTheTimeOut) {
  const int listener = zvtest::TcpSocket();
  const int port = zvtest::BindLocal(listener);
  ASSERT_GT(port, 0);
  TcpClient client;
  const TcpClient::Result result = client.Connect("localhost", static_cast<uint16_t>(port), 5000);
  EXPECT_TRUE(result.Ok()) << result.Error;
  EXPECT_TRUE(client.IsOpen());
  client.Close();
  zvtest::CloseSocket(listener);
}

// A send larger than the connection buffers waits until the peer has taken enough of
// it, here a peer that reads nothing for half a second: the socket blocks once it is
// connected, although connecting did not.
TEST(PlatformSeam, ALargeSendWaitsForAPeerThatReadsLate) {
  using namespace std::chrono_literals;
  zvtest::TcpTestPeer peer({"", {{500ms, ""}}, zvtest::TcpTestPeer::End::StayOpen});
  TcpClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(peer.Port()), 5000).Ok());
  const std::string block = zvtest::LongValue(16 * 1024 * 1024);
  const TcpClient::Result sent = client.Send(block);
  EXPECT_TRUE(sent.Ok()) << sent.Error;
  EXPECT_TRUE(peer.WaitForReceived(block.size(), 30s));
  EXPECT_TRUE(peer.Received() == block);
}

}  // namespace
