// The library as a host sees it: loaded by path, called through its exports with
// BSTRs allocated and freed by the library's own allocator.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HostLibrary.h"
#include "HttpTestServer.h"
#ifdef _WIN32
#include "platform/Regional.h"
#endif
#include "ZVPA_LORVANI_10.h"

namespace {

using Command = int(ZV_API*)(BSTR, BSTR*, BSTR*);
using Command16 = int16_t(ZV_API*)(BSTR, BSTR*, BSTR*);
using Library = zvtest::HostLibrary;
using zvtest::FromBstr;
using zvtest::Ole;

#ifdef _WIN32
// The names in the loaded module's export directory.
std::set<std::string> ExportedNames(uintptr_t aModule) {
  const auto* base = reinterpret_cast<const unsigned char*>(aModule);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::set<std::string> names;
  if (entry.Size == 0) return names;
  const auto* directory = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* nameOffsets = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
  for (DWORD i = 0; i < directory->NumberOfNames; ++i)
    names.insert(reinterpret_cast<const char*>(base + nameOffsets[i]));
  return names;
}
#else
// The names of the shared object's dynamic symbol table, as nm lists them.
std::set<std::string> ExportedNames(const std::string& aPath) {
  const std::string command = "nm -D --defined-only '" + aPath + "'";
  FILE* pipe = popen(command.c_str(), "r");
  std::set<std::string> names;
  if (pipe == nullptr) return names;
  std::array<char, 512> line{};
  while (fgets(line.data(), line.size(), pipe)) {
    std::string text(line.data());
    const auto last = text.find_last_of(' ');
    std::string name = text.substr(last + 1);
    name.erase(name.find_last_not_of("\r\n") + 1);
    names.insert(name);
  }
  if (pclose(pipe) != 0) names.insert("<nm failed>");
  return names;
}
#endif

class HostBoundary : public ::testing::Test {
 protected:
  Library lib;
};

TEST_F(HostBoundary, ExportsExactlyTheBoundary) {
  std::set<std::string> expected = {"OPEN", "CLOSE", "PAY", "REPRINT", "GETSTATUS", "DAYCLOSE", "GETTOTALS", "VERSION"};
#ifdef _WIN32
  // The commands under their undecorated names; the strings are oleaut32's.
  EXPECT_EQ(ExportedNames(lib.Module()), expected);
#else
  expected.insert({"SysAllocString", "SysAllocStringLen", "SysStringLen", "SysStringByteLen", "SysFreeString"});
  EXPECT_EQ(ExportedNames(lib.Path()), expected);
#endif
}

TEST_F(HostBoundary, BstrsHaveTheWindowsLayout) {
#ifdef _WIN32
  GTEST_SKIP() << "on Windows the strings are oleaut32's, not the library's";
#endif
  BSTR s = lib.allocString(Ole(u"abc"));
  ASSERT_NE(s, nullptr);
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(s) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(s[3], u'\0');
  EXPECT_EQ(lib.stringLen(s), 3u);
  EXPECT_EQ(lib.stringByteLen(s), 6u);
  lib.freeString(s);
  EXPECT_EQ(lib.allocString(nullptr), nullptr);
  EXPECT_EQ(lib.stringLen(nullptr), 0u);
  lib.freeString(nullptr);
  BSTR zeros = lib.allocStringLen(nullptr, 2);
  EXPECT_EQ(zeros[0], u'\0');
  EXPECT_EQ(lib.stringLen(zeros), 2u);
  lib.freeString(zeros);
}

TEST_F(HostBoundary, FailureIs0xFFFFInTheWholeRegister) {
  BSTR request = lib.allocString(Ole(u"<R><Driver>NOPE</Driver></R>"));
  BSTR response = nullptr, error = nullptr;
  const int wide = lib.Symbol<Command>("OPEN")(request, &response, &error);
  EXPECT_EQ(wide, 65535);
  lib.freeString(response);
  lib.freeString(error);
  response = error = nullptr;
  const int16_t narrow = lib.Symbol<Command16>("OPEN")(request, &response, &error);
  EXPECT_EQ(narrow, -1);
  lib.freeString(response);
  lib.freeString(error);
  lib.freeString(request);
}

TEST_F(HostBoundary, OpenOfAnUnregisteredDriverAnswersEscapedAndPlainError) {
  auto a = lib.Call("OPEN", u"<R><Driver>a&lt;b&amp;c</Driver></R>");
  EXPECT_EQ(a.result, 0xFFFF);
  EXPECT_EQ(a.response,
            u"<Handle>0</Handle>\r\n<Error>True</Error>\r\n"
            u"<ErrorText>Payment Driver [a&lt;b&amp;c] not registered.</ErrorText>\r\n<LogFileName></LogFileName>");
  EXPECT_EQ(a.error, u"Payment Driver [a<b&c] not registered.");
}

TEST_F(HostBoundary, OutVariablesAreNulledNotFreedAndNullAddressesSkipped) {
  // Values that are not strings at all: freeing them would crash or be reported.
  OLECHAR stale1[4] = {'x', 'y', 'z', 0};
  OLECHAR stale2[4] = {'x', 'y', 'z', 0};
  BSTR response = stale1, error = stale2;
  const int result = lib.Symbol<Command>("GETSTATUS")(nullptr, &response, &error);
  EXPECT_EQ(result, 0);
  EXPECT_NE(response, stale1);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(error, nullptr);  // empty error text is a null string
  lib.freeString(response);

  EXPECT_EQ(lib.Symbol<Command>("OPEN")(nullptr, nullptr, nullptr), 0xFFFF);
  EXPECT_EQ(lib.Symbol<Command>("CLOSE")(nullptr, nullptr, nullptr), 0xFFFF);
  EXPECT_EQ(lib.Symbol<Command>("GETSTATUS")(nullptr, nullptr, nullptr), 0);
  BSTR onlyError = stale1;
  EXPECT_EQ(lib.Symbol<Command>("CLOSE")(nullptr, nullptr, &onlyError), 0xFFFF);
  ASSERT_NE(onlyError, stale1);
  EXPECT_EQ(FromBstr(onlyError, lib.stringLen(onlyError)), u"No document element found at offset 0");
  lib.freeString(onlyError);
}

// The text between <aName> and </aName> of a response.
std::u16string ElementOf(const std::u16string& aResponse, const std::u16string& aName) {
  const std::u16string open = u"<" + aName + u">";
  const size_t start = aResponse.find(open);
  if (start == std::u16string::npos) return u"<absent>";
  const size_t from = start + open.size();
  return aResponse.substr(from, aResponse.find(u"</" + aName + u">", from) - from);
}

std::u16string Wide(const std::string& aText) { return std::u16string(aText.begin(), aText.end()); }

// OPEN and PAY act before they answer: without a response address nobody would learn
// the handle or the payment's outcome, so they do nothing at all.
TEST_F(HostBoundary, OpenAndPayWithoutAResponseAddressDoNothing) {
  zvtest::HttpTestServer provider([](const zvtest::HttpRequest&) {
    zvtest::HttpReply reply;
    reply.Status = 201;
    reply.Headers = {{"Content-Type", "application/json"}};
    reply.Body = R"({"token":"ord_1","status":"approved"})";
    return reply;
  });
  const std::u16string open =
      u"<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>noresponse</LogId><Connection><Type>HTTP</Type><URL>" +
      Wide(provider.Url("/v1/instore/")) +
      u"</URL></Connection><Parameters><Bearer>t</Bearer><TlsVerify>false</TlsVerify></Parameters></Request>";
  const std::u16string handle = ElementOf(lib.Call("OPEN", open).response, u"Handle");
  const std::u16string pay = u"<Request><Handle>" + handle +
                             u"</Handle><Payment><Amount>1.25</Amount><Currency>EUR</Currency>"
                             u"<Attributes>PRE-1</Attributes><StoreCode>S1</StoreCode><TillCode>T1</TillCode>"
                             u"</Payment></Request>";
  const auto callWithoutResponse = [&](const char* aCommand, const std::u16string& aRequest, bool aWithError) {
    BSTR request = lib.allocStringLen(Ole(aRequest.data()), static_cast<unsigned>(aRequest.size()));
    OLECHAR stale[4] = {'x', 'y', 'z', 0};
    BSTR error = stale;
    Library::Answer a;
    a.result = lib.Symbol<Command>(aCommand)(request, nullptr, aWithError ? &error : nullptr);
    if (aWithError && error != nullptr) a.error = FromBstr(error, lib.stringLen(error));
    if (aWithError) lib.freeString(error);
    lib.freeString(request);
    return a;
  };

  for (const bool withError : {true, false}) {
    const auto refusedOpen = callWithoutResponse("OPEN", open, withError);
    EXPECT_EQ(refusedOpen.result, 0xFFFF);
    if (withError) {
      EXPECT_EQ(refusedOpen.error,
                u"No device was opened: the response address is null, so the handle could not be returned");
    }
    const auto refusedPay = callWithoutResponse("PAY", pay, withError);
    EXPECT_EQ(refusedPay.result, 0xFFFF);
    if (withError) {
      EXPECT_EQ(refusedPay.error,
                u"Nothing was sent to the provider: the response address is null, so the answer could not be returned");
    }
  }
  EXPECT_TRUE(provider.Requests().empty()) << "a payment left without a response address";
  // No handle was drawn by the refused OPENs, and the device pays when it is asked properly.
  const std::u16string next = ElementOf(lib.Call("OPEN", open).response, u"Handle");
  EXPECT_EQ(std::stoi(std::string(next.begin(), next.end())), std::stoi(std::string(handle.begin(), handle.end())) + 1);
  EXPECT_EQ(lib.Call("PAY", pay).result, 0);
  EXPECT_EQ(provider.Requests().size(), 1u);
  for (const std::u16string& h : {handle, next})
    EXPECT_EQ(lib.Call("CLOSE", u"<Request><Handle>" + h + u"</Handle></Request>").result, 0);
}

TEST_F(HostBoundary, EveryCommandAnswersACompleteResponse) {
  for (const char* command : {"OPEN", "CLOSE", "PAY", "REPRINT", "DAYCLOSE", "GETTOTALS"}) {
    for (const std::u16string& request : {std::u16string(), std::u16string(u"<<<"), std::u16string(u"<R/>")}) {
      auto a = lib.Call(command, request);
      EXPECT_EQ(a.result, 0xFFFF) << command;
      EXPECT_FALSE(a.responseNull) << command;
      EXPECT_NE(a.response.find(u"<Error>True</Error>"), std::u16string::npos) << command;
      EXPECT_FALSE(a.errorNull) << command;
    }
  }
}

TEST_F(HostBoundary, GetStatusAnswersItsFixedStatus) {
  auto a = lib.Call("GETSTATUS", u"not xml at all");
  EXPECT_EQ(a.result, 0);
  EXPECT_TRUE(a.errorNull);
  EXPECT_EQ(a.response,
            u"<DayOpened>False</DayOpened>\r\n<DateTime>1899-12-30T00:00:00.000Z</DateTime>\r\n"
            u"<PaperEnd>False</PaperEnd>\r\n<PaperNearEnd>False</PaperNearEnd>\r\n<CoverOpen>False</CoverOpen>\r\n"
            u"<FiscalReceiptOpen>False</FiscalReceiptOpen>\r\n<ReceiptOpen>False</ReceiptOpen>\r\n"
            u"<TrainingMode>False</TrainingMode>\r\n<FirmwareVersion></FirmwareVersion>\r\n"
            u"<SerialNumber></SerialNumber>\r\n<FiscalMode></FiscalMode>\r\n<Error>False</Error>\r\n"
            u"<ErrorText></ErrorText>\r\n<LogFileName></LogFileName>");
}

TEST_F(HostBoundary, VersionOfAnUnknownNameIsNullWithResultZero) {
  OLECHAR stale[4] = {'x', 'y', 'z', 0};
  BSTR response = stale, error = stale;
  BSTR name = lib.allocString(Ole(u"zvpa_lorvani_10"));
  EXPECT_EQ(lib.Symbol<Command>("VERSION")(name, &response, &error), 0);
  EXPECT_EQ(response, nullptr);
  EXPECT_EQ(error, nullptr);
  lib.freeString(name);
}

TEST_F(HostBoundary, VersionOfTheRegisteredDriver) {
  auto a = lib.Call("VERSION", u"ZVPA_LORVANI_10");
  EXPECT_EQ(a.result, 0);
#ifdef _WIN32
  // The release date in the user's regional short date format.
  EXPECT_EQ(a.response, u"Version 1.01 - " + zv::platform::FormatShortDate(2021, 11, 10));
#else
  EXPECT_EQ(a.response, u"Version 1.01 - 10/11/2021");
#endif
  EXPECT_TRUE(a.errorNull);
  EXPECT_EQ(lib.Call("OPEN", u"<R><Driver>zvpa_lorvani_10</Driver></R>").error,
            u"Payment Driver [zvpa_lorvani_10] not registered.");
}

TEST_F(HostBoundary, LoneSurrogatesAreReplacedNotMisread) {
  std::u16string request = u"<R><Driver>x";
  request += char16_t(0xD800);
  request += u"y</Driver></R>";
  auto a = lib.Call("OPEN", request);
  EXPECT_EQ(a.error, u"Payment Driver [x\uFFFDy] not registered.");
}

// A host that unloads the library at once, before or right after a call (one that reads
// each library's version, say): no wait for threads that have not yet begun, and none of
// them left to run the unloaded code later.
// OPEN of a device of this library (it connects to nothing before a payment).
const std::u16string kOpenDevice =
    u"<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>unload</LogId><Connection><Type>HTTP</Type><URL>"
    u"http://127.0.0.1:9/</URL></Connection><Parameters><Bearer>t</Bearer><TlsVerify>false</TlsVerify>"
    u"</Parameters></Request>";

#ifdef _WIN32
constexpr bool kUnloadWithoutACall = true;
#else
// On Linux a load and unload without any call makes LeakSanitizer's tracer crash at the
// exit of the process (the sanitizer build); every round there makes a call.
constexpr bool kUnloadWithoutACall = false;
#endif

TEST(HostUnload, RightAfterLoadingOrACallIsPrompt) {
  for (int round = 0; round < 8; ++round) {
    const auto start = std::chrono::steady_clock::now();
    {
      Library lib;
      if (round % 2 == 1 || !kUnloadWithoutACall) {
        EXPECT_EQ(lib.Call("VERSION", u"ZV").result, 0);
      }
      if (round >= 4) {
        // A device whose log writer starts its thread in this call.
        EXPECT_EQ(lib.Call("OPEN", kOpenDevice).result, 0);
      }
    }
    // The first round only warms up: the system's first load of the libraries that the
    // library uses can take seconds (under Wine). Unloading used to wait 5 s for a thread
    // that could not begin.
    if (round > 0) {
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << round;
    }
  }
}

TEST_F(HostBoundary, ConcurrentCallsAreServedOneAtATime) {
  std::vector<std::thread> threads;
  std::array<int, 8> failures{};
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        auto a = lib.Call(i % 2 ? "GETSTATUS" : "OPEN", u"<R><Driver>NOPE</Driver></R>");
        if (a.response.empty()) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace

#ifdef _WIN32
namespace {

// A host that ends with the library still loaded, after a device has logged: the
// library's objects are destroyed during the process's exit, after the system has ended
// their threads (a Windows path). Writing what those threads left once hung the exit.
TEST(HostExit, WithTheLibraryLoadedAndADeviceOpenEndsPromptly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Library* lib = std::make_unique<Library>().release();  // never unloaded
        const auto open = lib->Call("OPEN", kOpenDevice);
        std::fprintf(stderr, "open=%d\n", open.result);
        std::exit(open.result == 0 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "open=0");
}

}  // namespace
#endif
