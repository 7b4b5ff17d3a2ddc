#pragma once
// The process-wide application object with its log, command-line switches, message
// table, settings, version history, please-wait window, notification icon, stopwatch
// timers and single-instance lock; and the module's free operations.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/DateTime.h"
#include "base/Text.h"
#include "app/uZV_Base_AppInfo.h"
#include "base/uZV_Base_Defs.h"
#include "platform/Gui.h"

namespace zv {

class tZV_LogWriter;
namespace platform {
class NamedMutex;
}

// A value that fills a placeholder of a message pattern.
using tZV_FormatValue = std::variant<int64_t, double, Text>;

// Fills the printf-like placeholders of aPattern with aValues: "%%" and
// "%[index:][-][width][.precision]type" with type d (integer), u (unsigned), x (hex),
// s (text), f, e, g (floating). Fails with "Format '<pattern>' invalid or
// incompatible with argument" when a placeholder is malformed, has no value left, or
// meets a value of another kind. Values beyond the placeholders are ignored.
Text FormatText(const Text& aPattern, const std::vector<tZV_FormatValue>& aValues);

// The runtime's process-wide publish-and-subscribe message manager.
class tZV_MessageManager {
 public:
  using Listener = std::function<void(const Text& aMessageType, const std::any& aMessage)>;
  // The one manager of the process.
  static tZV_MessageManager& DefaultManager();

  // Answers an identifier for Unsubscribe.
  uint64_t Subscribe(const Text& aMessageType, Listener aListener);
  void Unsubscribe(uint64_t aSubscription);
  // Calls every listener of the type, in the order they subscribed, on this thread.
  void SendMessage(const Text& aMessageType, const std::any& aMessage) const;

 private:
  struct Subscription {
    uint64_t Id;
    Text MessageType;
    Listener Call;
  };
  mutable std::mutex fLock;
  std::vector<Subscription> fSubscriptions;
  uint64_t fNextId = 1;
};

// What an application object reads from its process and module. OfProcess() is the
// real process; another environment lets the object be built over other data.
struct tZV_ApplicationEnvironment {
  Text LogRoot;                  // folder of "LogFiles", ending in a separator
  Text ExeBaseName;              // executable's file name without its extension
  std::vector<Text> Arguments;   // command-line arguments without the program name
  tZV_StringReader ReadString;   // the module's string table
  std::function<std::optional<std::string>(const Text& aName)> ReadRawResource;
  std::function<DateTime()> Clock;  // the current local date-time

  static tZV_ApplicationEnvironment OfProcess();
};

// The please-wait window: hidden until Start, red 12 green 25 blue 117, a white bold
// 10-point label centred on it, its width following the text.
class tZV_Wait {
 public:
  static constexpr int kClientWidth = 100;
  static constexpr int kClientHeight = 50;
  static constexpr platform::Rgb kColor{12, 25, 117};

  tZV_Wait();
  ~tZV_Wait();
  tZV_Wait(const tZV_Wait&) = delete;
  tZV_Wait& operator=(const tZV_Wait&) = delete;

  // Shows the window with the language's text and, when aText is not empty, aText on
  // a second line; lets waiting messages be handled so that it is painted at once.
  void Start(const Text& aText);
  void Stop();
  bool Started() const { return fStarted; }
  const platform::PopupWindow& Form() const { return *fForm; }

 private:
  // The application's language chooses the text (English for "en", Italian otherwise;
  // kept as it is without an application object); aExtra adds a line; the window's
  // width follows the label, which is centred.
  void ArrangeText(const Text& aExtra);

  std::unique_ptr<platform::PopupWindow> fForm;
  platform::Label* fLabel = nullptr;  // owned by fForm
  bool fStarted = false;
  Text fText_IT;
  Text fText_EN;
};

class tZV_Application {
 public:
  // Built over the real process and module.
  tZV_Application();
  // Reads the switches, creates the log directory "LogFiles" in the log root
  // (the log file appears with the first line), loads the version history and the
  // message table "MESSAGES"; makes no window (see Wait). Fails when the log writer
  // cannot be built, with "Invalid argument to date encode" from the version history, or
  // with "Duplicates not allowed" from the message table.
  explicit tZV_Application(tZV_ApplicationEnvironment aEnvironment);
  // Removes the notification icon, writes out the log; releases the single-instance
  // lock.
  ~tZV_Application();
  tZV_Application(const tZV_Application&) = delete;
  tZV_Application& operator=(const tZV_Application&) = delete;

  // Writes a line to the application log; an error line also becomes LastError.
  void Log(tZV_MessageType aEntryType, const Text& aMessage);
  // The text of Language + "." + id, else of id + "." + DefaultLanguage, else the id
  // itself, used as a pattern for FormatText (with no values in this form).
  Text GetMessage(const Text& aMessageId) const;
  Text GetMessage(const Text& aMessageId, const std::vector<tZV_FormatValue>& aValues) const;

  // A relative directory is taken below "LogFiles" in the log root.
  void ChangeLogDirectory(const Text& aNewDir);
  // Only the last component is used; nothing is appended.
  void ChangeLogFilename(const Text& aNewFileName);
  Text GetLogDirectory() const;
  Text GetLogFileName() const;

  // Puts the application's icon into the notification area; its notifications go to
  // aForm as message 1124.
  void CreateNotifyIcon(platform::WindowHandle aForm);
  void DeleteNotifyIcon();

  // Stopwatch timers on a stack. Only the time of day counts: a timer that runs
  // across midnight gives a negative value. StopTimer and GetTimerValue without a
  // running timer fail with "Unbalanced stack or queue operation".
  void StartTimer();
  int32_t StopTimer();
  int32_t GetTimerValue() const;
  int32_t GetTimerCount() const;

  // Lets waiting messages be handled, waits 500 ms, then asks the GUI runtime to end.
  void Terminate();

  bool SingleInstance() const { return fSingleInstance; }
  // On: takes the mutex named after the executable without waiting; when another
  // holder has it, shows "Impossible to enter single instance mode." and asks the GUI
  // runtime to end. Off: releases it.
  void SetSingleInstance(bool aValue);

  tZV_Setup& Setup() { return *fSetup; }
  // The please-wait window, created when it is first asked for: a window made while the
  // library loads would belong to the loading thread, inside the system's loader lock.
  tZV_Wait& Wait();
  // The wait window when it has been created, else null.
  tZV_Wait* CreatedWait() { return fWait.get(); }
  const platform::NotifyIconData& IconData() const { return fIconData; }
  void SetIconData(const platform::NotifyIconData& aData) { fIconData = aData; }
  bool NotifyIcon() const { return fNotifyIcon; }
  void SetNotifyIcon(bool aValue) { fNotifyIcon = aValue; }
  bool HideOnMinimize() const { return fHideOnMinimize; }
  void SetHideOnMinimize(bool aValue) { fHideOnMinimize = aValue; }
  const Text& LastError() const { return fLastError; }
  bool IsBatch() const { return fIsBatch; }
  bool IsDebug() const { return fIsDebug; }
  bool IsTest() const { return fIsTest; }
  const Text& DefaultLanguage() const { return fDefaultLanguage; }
  void SetDefaultLanguage(const Text& aValue) { fDefaultLanguage = aValue; }
  const Text& Language() const { return fLanguage; }
  void SetLanguage(const Text& aValue) { fLanguage = aValue; }
  tZV_ApplicationInfo& Info() { return *fInfo; }
  const tZV_ApplicationInfo& Info() const { return *fInfo; }
  void SetInfo(const tZV_ApplicationInfo& aInfo) { *fInfo = aInfo; }
  tZV_MessageManager& MessageManager() { return *fMessageManager; }
  const tZV_ApplicationEnvironment& Environment() const { return fEnvironment; }

 private:
  void LoadMessages(const Text& aResourceName);
  void AppExceptionHandler(std::exception_ptr aException);

  // Removes the unhandled-exception handler when the object goes, also when its
  // construction fails after installing it.
  struct ExceptionHook {
    uint64_t Token = 0;
    ~ExceptionHook();
  };

  tZV_ApplicationEnvironment fEnvironment;
  std::unique_ptr<tZV_Setup> fSetup;
  std::unique_ptr<tZV_Wait> fWait;
  platform::NotifyIconData fIconData;
  bool fNotifyIcon = false;
  bool fHideOnMinimize = false;
  std::unique_ptr<tZV_LogWriter> fLogger;
  Text fLastError;
  bool fIsBatch = false;
  bool fIsDebug = false;
  bool fIsTest = false;
  bool fSingleInstance = false;
  std::unique_ptr<platform::NamedMutex> fSingleInstanceMutexHandle;
  Text fDefaultLanguage;
  Text fLanguage;
  std::unique_ptr<std::map<Text, Text>> fMessages;
  std::unique_ptr<tZV_ApplicationInfo> fInfo;
  std::unique_ptr<std::vector<DateTime>> fTimers;
  tZV_MessageManager* fMessageManager = nullptr;  // shared, not owned
  ExceptionHook fExceptionHook;
};

// The application object of the loaded library; null before loading and after
// unloading.
extern tZV_Application* ApplicationObject;

// Kind 0 information, 1 error. In batch mode the text goes to the application log as
// an error line whatever the kind; otherwise a modal dialog shows it (other kinds show
// nothing). Without an application object it is shown as outside batch mode.
void DisplayMessage(int aKind, const Text& aText);
// DisplayMessage with the wait window hidden meanwhile when it is showing.
void ShowAppMessage(int aKind, const Text& aText);

// Directory of the process's executable, ending in a path separator.
Text GetExePath();
// File name of the process's executable without directory and extension.
Text GetExeBaseName();
// The first argument that equals aName or begins with aName + ":" or aName + "="
// (letter case ignored): as written when aWhole, else what follows the separator.
// Empty when none matches.
Text GetCommandLineParam(const Text& aName, bool aWhole);
Text GetCommandLineParam(const Text& aName, bool aWhole, const std::vector<Text>& aArguments);
// Milliseconds since the start of the day of the time of day of aTime.
int32_t MillisecondsOfDay(DateTime aTime);

// The application's information (version, release date, history): the application
// object's, or the module's own version history read on demand when there is no
// application object.
tZV_ApplicationInfo GetApplicationInfo();

}  // namespace zv
