// The application object over a temporary "executable directory": its log, switches,
// message table, timers, single-instance lock, notification icon, message dialogs and
// unhandled-exception handling, checked against real files and the headless GUI record.

#include <gtest/gtest.h>

#include <cstdlib>

#include "AppTestSupport.h"
#include "CaseName.h"
#include "TestText.h"
#include "base/Exception.h"
#include "app/uZV_Base.h"
#include "platform/FileSystem.h"
#include "platform/Gui.h"
#include "platform/NamedMutex.h"

using namespace zv;
using namespace zvtest;

namespace {

class Application : public ::testing::Test {
 protected:
  void SetUp() override {
    // Dialogs and icons go to the record only: on Windows nobody would close a dialog.
    platform::SetRecordOnly(true);
    platform::ResetHeadlessRecord();
  }
  fs::path LogFile() const { return dir.Path() / "LogFiles" / "POS.log"; }

  TempDir dir;
};

TEST_F(Application, LogDirectoryAtCreationFileWithTheFirstLine) {
  tZV_Application app(TestEnvironment(dir.Path()));
  EXPECT_TRUE(fs::is_directory(dir.Path() / "LogFiles"));
  EXPECT_FALSE(fs::exists(LogFile()));
  EXPECT_EQ(app.GetLogFileName(), FromUtf8(LogFile().string()));
  EXPECT_EQ(app.GetLogDirectory(), FromUtf8((dir.Path() / "LogFiles").string()));
  app.Log(tZV_MessageType::let_info, u"hello");
  app.Log(tZV_MessageType::let_error, u"broken");
  EXPECT_EQ(app.LastError(), u"broken");
  ASSERT_TRUE(WaitForText(LogFile(), " - ERROR - broken\r\n"));
  EXPECT_NE(ReadFile(LogFile()).find(" - hello\r\n"), std::string::npos);
}

TEST_F(Application, InfoLinesDoNotChangeLastError) {
  tZV_Application app(TestEnvironment(dir.Path()));
  app.Log(tZV_MessageType::let_error, u"first");
  app.Log(tZV_MessageType::let_info, u"second");
  EXPECT_EQ(app.LastError(), u"first");
}

TEST_F(Application, WritesOutItsLogWhenDestroyed) {
  {
    tZV_Application app(TestEnvironment(dir.Path()));
    for (int i = 0; i < 50; ++i) app.Log(tZV_MessageType::let_info, u"line " + IntToText(i));
  }
  EXPECT_NE(ReadFile(LogFile()).find(" - line 49\r\n"), std::string::npos);
}

TEST_F(Application, AnExecutableNameWithInvalidPathCharactersFailsCreation) {
  auto environment = TestEnvironment(dir.Path());
  environment.ExeBaseName = Text(u"P\0S", 3);
  try {
    tZV_Application app(environment);
    FAIL() << "created";
  } catch (const kException& e) {
    EXPECT_EQ(e.Message(), u"Invalid characters in path");
  }
}

TEST_F(Application, AnInvalidReleaseDateFailsCreation) {
  auto environment = TestEnvironment(dir.Path());
  environment.ReadString = [](uint32_t aId) -> Text {
    if (aId == 10000) return u"$VERSION=9";
    if (aId == 10001) return u"$RELEASEDATE=31/02/2021";
    return Text();
  };
  try {
    tZV_Application app(environment);
    FAIL() << "created";
  } catch (const kException& e) {
    EXPECT_EQ(e.Message(), u"Invalid argument to date encode");
  }
  // The failed object left no handler of unhandled exceptions behind.
  EXPECT_FALSE(platform::HandleUnhandledException(std::make_exception_ptr(kException(u"x"))));
}

TEST_F(Application, LoadsThisLibrarysVersionHistory) {
  tZV_Application app(TestEnvironment(dir.Path()));
  EXPECT_EQ(app.Info().Version(), u"1.01");
  EXPECT_EQ(app.Info().VersionString(), u"[1.01 - " + ReleaseDateText() + u"]");
  GlobalApplication global(app);
  app.Info().SetVersion(u"7.7");
  EXPECT_EQ(GetApplicationInfo().Version(), u"7.7");
}

struct SwitchCase {
  std::vector<Text> arguments;
  bool batch, debug, test;
};

// The arguments, each as its name: x_and_slash_BATCH_colon_1, or no_arguments.
std::string ArgumentsName(const std::vector<Text>& aArguments) {
  std::string name;
  for (const Text& argument : aArguments) name.append(name.empty() ? "" : "_and_").append(zvtest::CaseName(argument));
  return name.empty() ? "no_arguments" : name;
}
std::string NameOf(const SwitchCase& aCase) { return ArgumentsName(aCase.arguments); }
void PrintTo(const SwitchCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class Switches : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(Switches, AreReadFromTheArguments) {
  TempDir dir;
  const SwitchCase& c = GetParam();
  tZV_Application app(TestEnvironment(dir.Path(), c.arguments));
  EXPECT_EQ(app.IsBatch(), c.batch);
  EXPECT_EQ(app.IsDebug(), c.debug);
  EXPECT_EQ(app.IsTest(), c.test);
}

INSTANTIATE_TEST_SUITE_P(Cases, Switches,
                         ::testing::Values(SwitchCase{{}, false, false, false},
                                           SwitchCase{{u"/batch"}, true, false, false},
                                           SwitchCase{{u"x", u"/BATCH:1", u"/debug=yes"}, true, true, false},
                                           SwitchCase{{u"/Test"}, false, false, true},
                                           SwitchCase{{u"/BATCHX", u"/DEBUGGING", u"TEST"}, false, false, false}),
                         zvtest::ByNameOf());

struct ParamCase {
  std::vector<Text> arguments;
  const char16_t* whole;  // the result with whole true
  const char16_t* value;  // the result with whole false
};

std::string NameOf(const ParamCase& aCase) { return ArgumentsName(aCase.arguments); }
void PrintTo(const ParamCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class CommandLineParam : public ::testing::TestWithParam<ParamCase> {};

TEST_P(CommandLineParam, MatchesTheNameWithItsSeparators) {
  const ParamCase& c = GetParam();
  EXPECT_EQ(GetCommandLineParam(u"/BATCH", true, c.arguments), Text(c.whole));
  EXPECT_EQ(GetCommandLineParam(u"/BATCH", false, c.arguments), Text(c.value));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineParam,
    ::testing::Values(ParamCase{{u"/batch"}, u"/batch", u""},
                      ParamCase{{u"/BATCH:1"}, u"/BATCH:1", u"1"},
                      ParamCase{{u"/Batch=yes"}, u"/Batch=yes", u"yes"},
                      ParamCase{{u"/BATCH="}, u"/BATCH=", u""},
                      ParamCase{{u"/BATCHX"}, u"", u""},
                      ParamCase{{u"/BATC"}, u"", u""},
                      ParamCase{{u"-BATCH"}, u"", u""},
                      ParamCase{{u" /BATCH"}, u"", u""},
                      ParamCase{{}, u"", u""},
                      ParamCase{{u"other", u"/batch:a:b", u"/BATCH:second"}, u"/batch:a:b", u"a:b"}),
    zvtest::ByNameOf());

TEST(CommandLine, ThisProcessHasNoBatchSwitch) {
  EXPECT_EQ(GetCommandLineParam(u"/BATCH", true), u"");
  EXPECT_FALSE(GetExePath().empty());
  EXPECT_TRUE(platform::IsPathSeparator(GetExePath().back()));
  EXPECT_EQ(GetExeBaseName(), u"test_app");
}

TEST_F(Application, DisplayMessageInBatchModeGoesToTheLogAsAnError) {
  tZV_Application app(TestEnvironment(dir.Path(), {u"/batch"}));
  GlobalApplication global(app);
  DisplayMessage(0, u"just information");
  DisplayMessage(7, u"odd kind");
  EXPECT_EQ(app.LastError(), u"odd kind");
  EXPECT_TRUE(platform::HeadlessSnapshot().Dialogs.empty());
  ASSERT_TRUE(WaitForText(LogFile(), " - ERROR - odd kind\r\n"));
  EXPECT_NE(ReadFile(LogFile()).find(" - ERROR - just information\r\n"), std::string::npos);
}

TEST_F(Application, DisplayMessageOutsideBatchModeShowsADialog) {
  tZV_Application app(TestEnvironment(dir.Path()));
  GlobalApplication global(app);
  DisplayMessage(0, u"info");
  DisplayMessage(1, u"error");
  DisplayMessage(2, u"nothing");
  const auto dialogs = platform::HeadlessSnapshot().Dialogs;
  ASSERT_EQ(dialogs.size(), 2u);
  EXPECT_EQ(dialogs[0].Kind, platform::DialogKind::Information);
  EXPECT_EQ(dialogs[0].Message, u"info");
  EXPECT_EQ(dialogs[1].Kind, platform::DialogKind::Error);
  EXPECT_EQ(dialogs[1].Message, u"error");
  EXPECT_EQ(app.LastError(), u"");
  EXPECT_FALSE(fs::exists(LogFile()));
}

TEST_F(Application, DisplayMessageWithoutAnApplicationShowsADialog) {
  ASSERT_EQ(ApplicationObject, nullptr);
  ShowAppMessage(1, u"alone");
  const auto dialogs = platform::HeadlessSnapshot().Dialogs;
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0].Message, u"alone");
}

TEST_F(Application, LogLocationCanBeChanged) {
  tZV_Application app(TestEnvironment(dir.Path()));
  app.ChangeLogDirectory(u"Sub");
  EXPECT_EQ(app.GetLogDirectory(), FromUtf8((dir.Path() / "LogFiles" / "Sub").string()));
  app.Log(tZV_MessageType::let_info, u"in sub");
  ASSERT_TRUE(WaitForText(dir.Path() / "LogFiles" / "Sub" / "POS.log", "in sub"));

  const fs::path elsewhere = dir.Path() / "elsewhere";
  app.ChangeLogDirectory(FromUtf8(elsewhere.string()));
  app.ChangeLogFilename(u"ignored/dir/Other.txt");
  EXPECT_EQ(app.GetLogFileName(), FromUtf8((elsewhere / "Other.txt").string()));
  app.Log(tZV_MessageType::let_info, u"in other");
  ASSERT_TRUE(WaitForText(elsewhere / "Other.txt", "in other"));
  EXPECT_FALSE(fs::exists(LogFile()));
}

// --- Message table ---

std::map<Text, std::string> Messages(const std::string& aContent) { return {{u"MESSAGES", aContent}}; }

TEST_F(Application, WithoutAMessageTableAnIdentifierIsItsOwnText) {
  tZV_Application app(TestEnvironment(dir.Path()));
  EXPECT_EQ(app.GetMessage(u"Hello"), u"Hello");
  EXPECT_EQ(app.GetMessage(u"Hello %s", {Text(u"you")}), u"Hello you");
}

TEST_F(Application, MessagesAreLookedUpByLanguageThenDefaultLanguage) {
  tZV_Application app(TestEnvironment(dir.Path(), {}, Messages("en.Hello:Hi there\r\nBye.it:Ciao\r\n")));
  app.SetLanguage(u"en");
  EXPECT_EQ(app.GetMessage(u"Hello"), u"Hi there");
  // Language empty, default en: the keys are ".Hello" and "Hello.en"; neither exists.
  app.SetLanguage(u"");
  app.SetDefaultLanguage(u"en");
  EXPECT_EQ(app.GetMessage(u"Hello"), u"Hello");
  app.SetDefaultLanguage(u"it");
  EXPECT_EQ(app.GetMessage(u"Bye"), u"Ciao");
  // Keys keep their letter case.
  app.SetLanguage(u"EN");
  EXPECT_EQ(app.GetMessage(u"Hello"), u"Hello");
}

TEST_F(Application, MessageValuesEndAtASecondColon) {
  tZV_Application app(TestEnvironment(dir.Path(), {}, Messages("en.A:one:two\nen.B\n\nen.C:%s has %d items")));
  app.SetLanguage(u"en");
  EXPECT_EQ(app.GetMessage(u"A"), u"one");
  EXPECT_EQ(app.GetMessage(u"B"), u"");
  EXPECT_EQ(app.GetMessage(u"C", {Text(u"cart"), int64_t{3}}), u"cart has 3 items");
}

TEST_F(Application, MessageTableEncodingComesFromItsByteOrderMark) {
  // UTF-16 little endian "en.E:è" and UTF-8 with a mark.
  const std::string utf16("\xFF\xFE" "e\0n\0.\0E\0:\0\xE8\0", 14);
  tZV_Application app(TestEnvironment(dir.Path(), {}, Messages(utf16)));
  app.SetLanguage(u"en");
  EXPECT_EQ(app.GetMessage(u"E"), u"\u00E8");
  TempDir other;
  tZV_Application app8(TestEnvironment(other.Path(), {}, Messages("\xEF\xBB\xBF" "en.E:\xC3\xA8")));
  app8.SetLanguage(u"en");
  EXPECT_EQ(app8.GetMessage(u"E"), u"\u00E8");
}

TEST_F(Application, ARepeatedMessageKeyFailsCreation) {
  for (const std::string content : {"en.A:1\r\nen.A:2\r\n", "\r\n\r\nen.A:1"}) {
    try {
      tZV_Application app(TestEnvironment(dir.Path(), {}, Messages(content)));
      FAIL() << "created with " << content;
    } catch (const kException& e) {
      EXPECT_EQ(e.Message(), u"Duplicates not allowed");
    }
  }
}

struct FormatCase {
  const char16_t* pattern;
  std::vector<tZV_FormatValue> values;
  const char16_t* expected;  // null: fails
};

// The pattern and the kinds of its values: percent_s_minus_percent_d_with_text_int.
std::string NameOf(const FormatCase& aCase) {
  std::string name = zvtest::CaseName(aCase.pattern);
  const char* const kinds[] = {"int", "float", "text"};  // in the order of tZV_FormatValue's alternatives
  for (size_t i = 0; i < aCase.values.size(); ++i) {
    name.append(i == 0 ? "_with_" : "_").append(kinds[aCase.values[i].index()]);
  }
  return name;
}
void PrintTo(const FormatCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class MessageFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(MessageFormat, FillsOrFailsClearly) {
  const FormatCase& c = GetParam();
  if (c.expected != nullptr) {
    EXPECT_EQ(FormatText(c.pattern, c.values), Text(c.expected)) << zvtest::U8(c.pattern);
    return;
  }
  try {
    FormatText(c.pattern, c.values);
    FAIL() << "no failure for " << zvtest::U8(c.pattern);
  } catch (const kException& e) {
    EXPECT_EQ(e.Message(), u"Format '" + Text(c.pattern) + u"' invalid or incompatible with argument");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageFormat,
    ::testing::Values(FormatCase{u"plain", {}, u"plain"},
                      FormatCase{u"100%%", {}, u"100%"},
                      FormatCase{u"%s-%d", {Text(u"a"), int64_t{-42}}, u"a--42"},
                      FormatCase{u"%5d|%-5d|%.3d", {int64_t{7}, int64_t{8}, int64_t{9}}, u"    7|8    |009"},
                      FormatCase{u"%x %u", {int64_t{255}, int64_t{3}}, u"FF 3"},
                      FormatCase{u"%.2s", {Text(u"abcdef")}, u"ab"},
                      FormatCase{u"%1:s %0:s %s", {Text(u"a"), Text(u"b")}, u"b a b"},
                      FormatCase{u"%f %.1f", {1.5, 2.25}, u"1.50 2.2"},
                      FormatCase{u"%d", {int64_t{1}, int64_t{2}}, u"1"},  // extra values are ignored
                      FormatCase{u"%s", {}, nullptr},                     // no value left
                      FormatCase{u"%d", {Text(u"x")}, nullptr},           // kind does not fit
                      FormatCase{u"%s", {int64_t{1}}, nullptr},
                      FormatCase{u"%f", {int64_t{1}}, nullptr},
                      FormatCase{u"%q", {int64_t{1}}, nullptr},           // no such type
                      FormatCase{u"end %", {}, nullptr},
                      FormatCase{u"%.d", {int64_t{1}}, nullptr},
                      FormatCase{u"%5:s", {Text(u"a")}, nullptr}),
    zvtest::ByNameOf());

TEST_F(Application, TheOneArgumentFormFailsOnAPlaceholder) {
  tZV_Application app(TestEnvironment(dir.Path()));
  EXPECT_THROW(app.GetMessage(u"Value %d"), kException);
  EXPECT_EQ(app.GetMessage(u"50%% off"), u"50% off");
}

// --- Timers ---

DateTime At(int aYear, int aMonth, int aDay, int aHour, int aMinute, int aSecond, int aMs) {
  return *TryEncodeDateTime(DateTimeParts{aYear, aMonth, aDay, aHour, aMinute, aSecond, aMs});
}

TEST(MillisecondsOfDay, CountsTheTimeOfDayOnly) {
  EXPECT_EQ(MillisecondsOfDay(At(2021, 11, 10, 0, 0, 0, 0)), 0);
  EXPECT_EQ(MillisecondsOfDay(At(2021, 11, 10, 1, 2, 3, 4)), 3723004);
  EXPECT_EQ(MillisecondsOfDay(At(1999, 1, 1, 23, 59, 59, 999)), 86399999);
}

TEST_F(Application, TimersNestAndAcrossMidnightGoNegative) {
  DateTime clock = At(2021, 11, 10, 23, 59, 59, 500);
  tZV_Application app(TestEnvironment(dir.Path(), {}, {}, &clock));
  app.StartTimer();
  clock = At(2021, 11, 11, 0, 0, 0, 0);
  app.StartTimer();
  EXPECT_EQ(app.GetTimerCount(), 2);
  clock = At(2021, 11, 11, 0, 0, 0, 500);
  EXPECT_EQ(app.GetTimerValue(), 500);
  EXPECT_EQ(app.StopTimer(), 500);
  EXPECT_EQ(app.GetTimerCount(), 1);
  EXPECT_EQ(app.StopTimer(), -86399000);
  EXPECT_EQ(app.GetTimerCount(), 0);
}

TEST_F(Application, StoppingWithoutARunningTimerFails) {
  tZV_Application app(TestEnvironment(dir.Path()));
  for (auto operation : {+[](tZV_Application& a) { a.StopTimer(); }, +[](tZV_Application& a) { a.GetTimerValue(); }}) {
    try {
      operation(app);
      FAIL() << "no failure";
    } catch (const kException& e) {
      EXPECT_EQ(e.Message(), u"Unbalanced stack or queue operation");
    }
  }
}

// --- Single instance ---

class SingleInstance : public Application {
 protected:
  // A mutex name of the test's own, so that test runs side by side do not meet; its
  // lock file is removed afterwards.
  SingleInstance()
      : name(FromUtf8("zvbase_" + std::to_string(::getpid()) + "_" +
                      testing::UnitTest::GetInstance()->current_test_info()->name())) {}
  void TearDown() override {
    std::error_code ignored;
    fs::remove(ToUtf8(platform::NamedMutex::LocationOf(name)), ignored);
  }
  tZV_ApplicationEnvironment Environment(std::vector<Text> aArguments = {}) {
    auto environment = TestEnvironment(dir.Path(), std::move(aArguments));
    environment.ExeBaseName = name;
    return environment;
  }
  fs::path NamedLogFile() const { return dir.Path() / "LogFiles" / (ToUtf8(name) + ".log"); }

  const Text name;
};

#ifdef _WIN32
TEST_F(SingleInstance, TheMutexIsAKernelObjectOfTheSessionNamespace) {
  // A backslash would name another namespace.
  EXPECT_EQ(platform::NamedMutex::LocationOf(u"a\\b/c"), u"a_b/c");
}
#else
TEST_F(SingleInstance, TheLockFileLivesInTheRuntimeDirectory) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string directory = runtime != nullptr && runtime[0] != '\0' ? runtime : "/tmp";
  EXPECT_EQ(ToUtf8(platform::NamedMutex::LocationOf(u"a/b")), (fs::path(directory) / "a_b.lock").string());
}
#endif

TEST_F(SingleInstance, TakesTheMutexOnceAndReleasesIt) {
  tZV_Application app(Environment());
  GlobalApplication global(app);
  app.SetSingleInstance(true);
  app.SetSingleInstance(true);
  EXPECT_TRUE(app.SingleInstance());
  {
    platform::NamedMutex other(name);
    EXPECT_FALSE(other.TryTake());
  }
  app.SetSingleInstance(false);
  platform::NamedMutex other(name);
  EXPECT_TRUE(other.TryTake());
  EXPECT_TRUE(platform::HeadlessSnapshot().Dialogs.empty());
  EXPECT_EQ(platform::HeadlessSnapshot().QuitRequests, 0);
}

TEST_F(SingleInstance, AMutexHeldElsewhereIsReportedAndEndsTheProgram) {
  platform::NamedMutex holder(name);
  ASSERT_TRUE(holder.TryTake());
  tZV_Application app(Environment());
  GlobalApplication global(app);
  app.SetSingleInstance(true);
  const auto record = platform::HeadlessSnapshot();
  ASSERT_EQ(record.Dialogs.size(), 1u);
  EXPECT_EQ(record.Dialogs[0].Kind, platform::DialogKind::Error);
  EXPECT_EQ(record.Dialogs[0].Message, u"Impossible to enter single instance mode.");
  EXPECT_EQ(record.QuitRequests, 1);
  // The other holder keeps it; switching off has nothing to release.
  app.SetSingleInstance(false);
  platform::NamedMutex third(name);
  EXPECT_FALSE(third.TryTake());
}

TEST_F(SingleInstance, InBatchModeTheFailureIsLogged) {
  platform::NamedMutex holder(name);
  ASSERT_TRUE(holder.TryTake());
  tZV_Application app(Environment({u"/BATCH"}));
  GlobalApplication global(app);
  app.SetSingleInstance(true);
  EXPECT_EQ(app.LastError(), u"Impossible to enter single instance mode.");
  EXPECT_TRUE(platform::HeadlessSnapshot().Dialogs.empty());
  EXPECT_TRUE(WaitForText(NamedLogFile(), " - ERROR - Impossible to enter single instance mode."));
}

TEST_F(SingleInstance, DestroyingTheApplicationReleasesTheMutex) {
  {
    tZV_Application app(Environment());
    app.SetSingleInstance(true);
  }
  platform::NamedMutex other(name);
  EXPECT_TRUE(other.TryTake());
}

// --- Notification icon, runtime hooks, message manager ---

TEST_F(Application, NotifyIconIsAddedAndDeleted) {
  std::optional<tZV_Application> app;
  app.emplace(TestEnvironment(dir.Path()));
  EXPECT_FALSE(app->NotifyIcon());
  app->CreateNotifyIcon(0x1234);
  EXPECT_TRUE(app->NotifyIcon());
  auto icons = platform::HeadlessSnapshot().NotifyIcons;
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].Window, 0x1234u);
  EXPECT_EQ(icons[0].CallbackMessage, 1124u);
  EXPECT_EQ(icons[0].Id, 1u);
  EXPECT_EQ(icons[0].Flags, platform::kNotifyIconHasMessage | platform::kNotifyIconHasIcon);
  EXPECT_EQ(icons[0].Icon, platform::ApplicationIcon());
  EXPECT_EQ(icons[0].Size, sizeof(platform::NotifyIconData));
  app->DeleteNotifyIcon();
  EXPECT_FALSE(app->NotifyIcon());
  EXPECT_EQ(app->IconData().Flags, 0u);
  EXPECT_TRUE(platform::HeadlessSnapshot().NotifyIcons.empty());
  // Destruction removes an icon still shown.
  app->CreateNotifyIcon(0x99);
  app.reset();
  EXPECT_TRUE(platform::HeadlessSnapshot().NotifyIcons.empty());
}

TEST_F(Application, UnhandledExceptionsAreShownAndEndABatchProgram) {
  {
    tZV_Application app(TestEnvironment(dir.Path()));
    GlobalApplication global(app);
    ASSERT_TRUE(platform::HandleUnhandledException(std::make_exception_ptr(kException(u"escaped"))));
    ASSERT_TRUE(platform::HandleUnhandledException(std::make_exception_ptr(kException(u""))));
    const auto record = platform::HeadlessSnapshot();
    ASSERT_EQ(record.Dialogs.size(), 1u);
    EXPECT_EQ(record.Dialogs[0].Message, u"escaped");
    EXPECT_EQ(record.QuitRequests, 0);
  }
  EXPECT_FALSE(platform::HandleUnhandledException(std::make_exception_ptr(kException(u"after"))));
  TempDir other;
  tZV_Application batch(TestEnvironment(other.Path(), {u"/batch"}));
  GlobalApplication global(batch);
  platform::HandleUnhandledException(std::make_exception_ptr(kException(u"in batch")));
  EXPECT_EQ(batch.LastError(), u"in batch");
  EXPECT_EQ(platform::HeadlessSnapshot().QuitRequests, 1);
}

TEST_F(Application, TerminateHandlesMessagesThenAsksToEnd) {
  tZV_Application app(TestEnvironment(dir.Path()));
  const auto start = std::chrono::steady_clock::now();
  app.Terminate();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
  const auto record = platform::HeadlessSnapshot();
  EXPECT_EQ(record.MessagePumps, 1);
  EXPECT_EQ(record.QuitRequests, 1);
}

TEST_F(Application, MessageManagerIsTheSharedOne) {
  tZV_Application app(TestEnvironment(dir.Path()));
  EXPECT_EQ(&app.MessageManager(), &tZV_MessageManager::DefaultManager());
  std::vector<int> seen;
  const uint64_t id = app.MessageManager().Subscribe(u"Count", [&](const Text&, const std::any& aMessage) {
    seen.push_back(std::any_cast<int>(aMessage));
  });
  tZV_MessageManager::DefaultManager().SendMessage(u"Count", 1);
  tZV_MessageManager::DefaultManager().SendMessage(u"Other", 2);
  app.MessageManager().Unsubscribe(id);
  tZV_MessageManager::DefaultManager().SendMessage(u"Count", 3);
  EXPECT_EQ(seen, std::vector<int>{1});
}

TEST_F(Application, SettingsAndFlagsStartEmpty) {
  tZV_Application app(TestEnvironment(dir.Path()));
  EXPECT_TRUE(app.Setup().Entries().empty());
  EXPECT_FALSE(app.SingleInstance());
  EXPECT_FALSE(app.NotifyIcon());
  EXPECT_FALSE(app.HideOnMinimize());
  EXPECT_EQ(app.Language(), u"");
  EXPECT_EQ(app.DefaultLanguage(), u"");
  EXPECT_EQ(app.GetTimerCount(), 0);
  EXPECT_FALSE(app.Wait().Started());
  EXPECT_FALSE(app.Wait().Form().Visible());
}

}  // namespace
