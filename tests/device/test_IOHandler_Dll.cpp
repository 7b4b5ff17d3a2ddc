// The DLL and COM I/O handlers: a real library loaded, looked into and unloaded, and
// the fixed answers of both channels.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "TestText.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_Com.h"
#include "device/uZVIOHandler_Dll.h"
#include "device/uZvDeviceHandler.h"
#include "test_IOHandler_Support.h"
#include "test_TestLibraries.h"

namespace zv {
namespace {

using zvtest::Concat;
using zvtest::FailureOf;
using zvtest::LogDir;
using zvtest::LogLines;
using zvtest::T;
using zvtest::U8;

const std::string kStart = "I *************************** START ***************************";
const std::string kStop = "I *************************** STOP ****************************";

using zvtest::CallsFunction;
using zvtest::CallsOfANewLoad;

class DllHandlerTest : public testing::Test {
 protected:
  std::unique_ptr<kIOHandler_Dll> MakeHandler(const Text& aLibraryName) {
    kConnection connection;
    connection.SetConnectionType(zvConnectionType::DLL);
    connection.SetLibraryName(aLibraryName);
    return std::make_unique<kIOHandler_Dll>(&connection, fDir.Dir(), u"Dll");
  }
  std::vector<std::string> Log() const { return LogLines(fDir.Path() / Concat("Dll_", zvtest::Today(), ".log")); }

  LogDir fDir;
};

TEST_F(DllHandlerTest, LoadsTheLibraryForItsLifetimeAndLogsBothEnds) {
  const std::string path = ZV_TestExports_PATH;
  {
    auto handler = MakeHandler(T(path));
    EXPECT_NE(handler->LibraryHandle(), 0u);
    EXPECT_EQ(reinterpret_cast<CallsFunction>(handler->GetAddress(u"zv_test_calls"))(), 1);
    EXPECT_EQ(CallsOfANewLoad(), 2);
    // Connecting and disconnecting leave the library alone.
    EXPECT_TRUE(handler->Connect());
    EXPECT_TRUE(handler->Disconnect());
    EXPECT_TRUE(handler->Connected());
    EXPECT_EQ(CallsOfANewLoad(), 3);
  }
  EXPECT_EQ(CallsOfANewLoad(), 1);
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       kStart,
                       Concat("I kIOHandler_Dll.Create:Loading DLL ", path),
                       "I kIOHandler_Dll.Create:DLL Loaded successfully",
                       Concat("I ", std::string(61, '*')),
                       "I kIOHandler_Dll",
                       "I ",
                       "I ConnectTimeout=1000",
                       "I ReadTimeout=1000",
                       "I kIOHandler_Dll.Destroy:Unloading DLL",
                       "I kIOHandler_Dll.Destroy:DLL Unloaded Successfully",
                       kStop,
                   }));
}

TEST_F(DllHandlerTest, GetAddressOfPresentAndMissingExports) {
  auto handler = MakeHandler(T(ZV_TestExports_PATH));
  auto add = reinterpret_cast<int (*)(int, int)>(handler->GetAddress(u"zv_test_add"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(40, 2), 42);
  auto calls = reinterpret_cast<CallsFunction>(handler->GetAddress(u"zv_test_calls"));
  EXPECT_EQ(calls(), 1);
  EXPECT_EQ(calls(), 2);
  EXPECT_EQ(FailureOf([&] { handler->GetAddress(u"zv_test_absent"); }),
            "Unable to get address for procedure zv_test_absent");
  EXPECT_EQ(FailureOf([&] { handler->GetAddress(u"ZV_TEST_ADD"); }),
            "Unable to get address for procedure ZV_TEST_ADD");
  EXPECT_EQ(FailureOf([&] { handler->GetAddress(u""); }), "Unable to get address for procedure ");
  // The name ends at no NUL: what follows it is part of the name asked for.
  const Text withNul = Text(u"zv_test_add").append(1, u'\0').append(u"x");
  EXPECT_EQ(FailureOf([&] { handler->GetAddress(withNul); }),
            Concat("Unable to get address for procedure ", U8(withNul)));
}

TEST_F(DllHandlerTest, ALibraryThatCannotBeLoadedFailsConstructionWithBothBanners) {
  const std::filesystem::path notLibrary = fDir.Path() / "notes.dll";
  std::ofstream(notLibrary) << std::string(200, '#') << " not a library\n";  // longer than an ELF header
  const std::string missing = (fDir.Path() / "missing.dll").string();
  const struct {
    std::string name;
    std::string reason;
  } cases[] = {
      {missing, "cannot open shared object file: No such file or directory [126]"},
      {notLibrary.string(), "invalid ELF header [193]"},
      {ZV_TestUnresolved_PATH, "undefined symbol: zv_test_nowhere [193]"},
      {"", "The specified module could not be found [126]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(fDir.Path() / Concat("Dll_", zvtest::Today(), ".log"));
    EXPECT_EQ(FailureOf([&] { MakeHandler(T(c.name)); }),
              Concat("Unable to Load Library ", c.name, ". ", c.reason));
    EXPECT_EQ(Log(), (std::vector<std::string>{kStart, Concat("I kIOHandler_Dll.Create:Loading DLL ", c.name), kStop}));
  }
}

TEST_F(DllHandlerTest, ALongLibraryNameIsCutInTheMessage) {
  const std::string name = Concat("/", zvtest::LongValue(5000));
  const std::string failure = FailureOf([&] { MakeHandler(T(name)); });
  EXPECT_EQ(failure, Concat("Unable to Load Library ", zvtest::Quoted(name),
                            ". cannot open shared object file: File name too long [193]"));
}

// The channel operations of the two handlers that carry no byte stream, each with its
// answer as text: a result, or the message of its failure.
TEST(DllAndComHandlers, ChannelOperationsAnswerFixedResultsAndLogNothing) {
  using Operation = std::function<std::string(kIOHandler&)>;
  const auto boolean = [](bool a) { return std::string(a ? "true" : "false"); };
  const struct {
    const char* name;
    Operation run;
    std::string dll;
    std::string com;
  } operations[] = {
      {"Connected", [&](kIOHandler& h) { return boolean(h.Connected()); }, "true", "true"},
      {"Disconnect", [&](kIOHandler& h) { return boolean(h.Disconnect()); }, "true", "true"},
      {"ClearBuffers", [](kIOHandler& h) { h.ClearBuffers(); return std::string("done"); }, "done", "done"},
      {"Write", [&](kIOHandler& h) { return boolean(h.Write(u"PING\r\n")); }, "true", "false"},
      {"ReadUpTo", [](kIOHandler& h) { return U8(h.ReadUpTo({'\n'})); }, "", ""},
      {"ReadChars", [](kIOHandler& h) { return U8(h.ReadChars(10)); }, "", ""},
      {"ReadAll", [](kIOHandler& h) { return U8(h.ReadAll()); }, "ReadAll Unsupported", "ReadAll Unsupported"},
      {"DecodeError", [](kIOHandler& h) { return U8(h.DecodeError(5)); }, "", ""},
      {"InputBufferContainsData", [&](kIOHandler& h) { return boolean(h.InputBufferContainsData()); },
       "InputBufferContainsData Unsupported", "InputBufferContainsData Unsupported"},
      {"SetParameter", [](kIOHandler& h) { h.SetParameter(u"Speed", u"9600"); return std::string("done"); }, "done",
       "done"},
  };
  LogDir dir;
  kConnection connection;
  connection.SetLibraryName(T(ZV_TestExports_PATH));
  {
    kIOHandler_Dll dll(&connection, dir.Dir(), u"Dll");
    kIOHandler_Com com(&connection, dir.Dir(), u"Com");
    const auto answer = [](kIOHandler& aHandler, const Operation& aRun) {
      try {
        return aRun(aHandler);
      } catch (const kException& e) {
        return U8(e.Message());
      }
    };
    for (const auto& op : operations) {
      SCOPED_TRACE(op.name);
      EXPECT_EQ(answer(dll, op.run), op.dll);
      EXPECT_EQ(answer(com, op.run), op.com);
    }
    EXPECT_TRUE(dll.Connected());
    EXPECT_FALSE(dll.ErrorFound());
    EXPECT_FALSE(com.ErrorFound());
  }
  const std::string path = ZV_TestExports_PATH;
  EXPECT_EQ(LogLines(dir.Path() / Concat("Dll_", zvtest::Today(), ".log")),
            (std::vector<std::string>{kStart, Concat("I kIOHandler_Dll.Create:Loading DLL ", path),
                                      "I kIOHandler_Dll.Create:DLL Loaded successfully",
                                      "I kIOHandler_Dll.Destroy:Unloading DLL",
                                      "I kIOHandler_Dll.Destroy:DLL Unloaded Successfully", kStop}));
  EXPECT_EQ(LogLines(dir.Path() / Concat("Com_", zvtest::Today(), ".log")), (std::vector<std::string>{kStart, kStop}));
}

TEST(ComHandler, ConnectWritesTheBaseBanner) {
  LogDir dir;
  kConnection connection;
  connection.SetConnectTimeOut(2500);
  {
    kIOHandler_Com com(&connection, dir.Dir(), u"Com");
    com.SetVersion(u"Version 1.0");
    EXPECT_TRUE(com.Connect());
  }
  EXPECT_EQ(LogLines(dir.Path() / Concat("Com_", zvtest::Today(), ".log")),
            (std::vector<std::string>{kStart, Concat("I ", std::string(61, '*')), "I kIOHandler_Com", "I Version 1.0",
                                      "I ConnectTimeout=2500", "I ReadTimeout=1000", kStop}));
}

std::unique_ptr<kIOHandler> FromFactory(const std::string& aConnection, const LogDir& aDir) {
  kDeviceHandler request;
  request.Deserialize(T(Concat("<OPEN><Driver>ZVPA_LORVANI_10</Driver><LogId>F</LogId><Connection>", aConnection,
                               "</Connection><Parameters><HexLog>True</HexLog></Parameters></OPEN>")));
  return request.CreateIOHandler(aDir.Dir());
}

TEST(DllAndComHandlers, TheFactoryMakesThemFromTheirConnectionTypes) {
  LogDir dir;
  const std::string library = ZV_TestExports_PATH;
  {
    const auto handler = FromFactory(Concat("<Type>dll</Type><LibraryName>", library, "</LibraryName>"), dir);
    auto* dll = dynamic_cast<kIOHandler_Dll*>(handler.get());
    ASSERT_NE(dll, nullptr);
    EXPECT_TRUE(dll->HexLog());
    EXPECT_EQ(reinterpret_cast<int (*)(int, int)>(dll->GetAddress(u"zv_test_add"))(1, 2), 3);
    EXPECT_EQ(reinterpret_cast<CallsFunction>(dll->GetAddress(u"zv_test_calls"))(), 1);
    EXPECT_EQ(U8(handler->GetLogFileName()), (dir.Path() / Concat("ZVPA_LORVANI_10_F_", zvtest::Today(), ".log")).string());
  }
  EXPECT_EQ(CallsOfANewLoad(), 1);
  const auto com = FromFactory("<Type>COM</Type>", dir);
  ASSERT_NE(dynamic_cast<kIOHandler_Com*>(com.get()), nullptr);
  EXPECT_TRUE(com->HexLog());
  EXPECT_FALSE(com->Write(u"x"));
}

TEST(DllAndComHandlers, TheFactoryPassesALoadFailureOn) {
  LogDir dir;
  const std::string missing = (dir.Path() / "missing.dll").string();
  EXPECT_EQ(FailureOf([&] { FromFactory(Concat("<Type>DLL</Type><LibraryName>", missing, "</LibraryName>"), dir); }),
            Concat("Unable to Load Library ", missing, ". cannot open shared object file: No such file or directory [126]"));
  EXPECT_EQ(LogLines(dir.Path() / Concat("ZVPA_LORVANI_10_F_", zvtest::Today(), ".log")),
            (std::vector<std::string>{kStart, Concat("I kIOHandler_Dll.Create:Loading DLL ", missing), kStop}));
}

}  // namespace
}  // namespace zv
