#include "app/uZV_Base.h"

#include <chrono>
#include <thread>

#include "base/Exception.h"
#include "log/uZV_LogWriter.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/NamedMutex.h"
#include "platform/Process.h"
#include "platform/Resources.h"

namespace zv {

tZV_Application* ApplicationObject = nullptr;

// ---------------------------------------------------------------------------
// Free operations

Text GetExePath() {
  const Text exe = platform::ExecutableFileName();
  const Text name = platform::ExtractFileName(exe);
  return exe.substr(0, exe.size() - name.size());
}

Text GetExeBaseName() {
  const Text name = platform::ExtractFileName(platform::ExecutableFileName());
  const size_t dot = name.rfind(u'.');
  // A name that only begins with a dot has no extension to remove.
  return dot == Text::npos || dot == 0 ? name : name.substr(0, dot);
}

Text GetCommandLineParam(const Text& aName, bool aWhole, const std::vector<Text>& aArguments) {
  for (const Text& argument : aArguments) {
    const bool matches = SameText(argument, aName) ||
                         (argument.size() > aName.size() && SameText(TextView(argument).substr(0, aName.size()), aName) &&
                          (argument[aName.size()] == u':' || argument[aName.size()] == u'='));
    if (!matches) continue;
    if (aWhole) return argument;
    return argument.size() > aName.size() + 1 ? argument.substr(aName.size() + 1) : Text();
  }
  return Text();
}

Text GetCommandLineParam(const Text& aName, bool aWhole) {
  return GetCommandLineParam(aName, aWhole, platform::CommandLineArguments());
}

int32_t MillisecondsOfDay(DateTime aTime) {
  const DateTimeParts parts = DecodeDateTime(aTime);
  return ((parts.Hour * 3600 + parts.Minute * 60 + parts.Second) * 1000) + parts.Millisecond;
}

void DisplayMessage(int aKind, const Text& aText) {
  if (ApplicationObject != nullptr && ApplicationObject->IsBatch()) {
    // Nobody is there to close a dialog: the text goes to the log instead.
    ApplicationObject->Log(tZV_MessageType::let_error, aText);
    return;
  }
  if (aKind == 0)
    platform::ShowMessageDialog(platform::DialogKind::Information, aText);
  else if (aKind == 1)
    platform::ShowMessageDialog(platform::DialogKind::Error, aText);
}

void ShowAppMessage(int aKind, const Text& aText) {
  tZV_Wait* wait = ApplicationObject != nullptr ? ApplicationObject->CreatedWait() : nullptr;
  const bool wasShowing = wait != nullptr && wait->Started();
  if (wasShowing) wait->Stop();
  DisplayMessage(aKind, aText);
  if (wasShowing) wait->Start(Text());
}

tZV_ApplicationInfo GetApplicationInfo() {
  if (ApplicationObject != nullptr) return ApplicationObject->Info();
  // Read once: the module's table does not change while the process runs.
  static const tZV_ApplicationInfo moduleInfo = [] {
    tZV_ApplicationInfo info;
    info.Load();
    return info;
  }();
  return moduleInfo;
}

// ---------------------------------------------------------------------------
// tZV_MessageManager

tZV_MessageManager& tZV_MessageManager::DefaultManager() {
  static tZV_MessageManager manager;
  return manager;
}

uint64_t tZV_MessageManager::Subscribe(const Text& aMessageType, Listener aListener) {
  std::lock_guard guard(fLock);
  fSubscriptions.push_back({fNextId, aMessageType, std::move(aListener)});
  return fNextId++;
}

void tZV_MessageManager::Unsubscribe(uint64_t aSubscription) {
  std::lock_guard guard(fLock);
  std::erase_if(fSubscriptions, [&](const Subscription& s) { return s.Id == aSubscription; });
}

void tZV_MessageManager::SendMessage(const Text& aMessageType, const std::any& aMessage) const {
  // Listeners run without the lock, so that they may subscribe or unsubscribe.
  std::vector<Listener> listeners;
  {
    std::lock_guard guard(fLock);
    for (const Subscription& s : fSubscriptions)
      if (s.MessageType == aMessageType) listeners.push_back(s.Call);
  }
  for (const Listener& listener : listeners) listener(aMessageType, aMessage);
}

// ---------------------------------------------------------------------------
// tZV_ApplicationEnvironment

tZV_ApplicationEnvironment tZV_ApplicationEnvironment::OfProcess() {
  tZV_ApplicationEnvironment environment;
  environment.LogRoot = platform::LogRoot();
  environment.ExeBaseName = GetExeBaseName();
  environment.Arguments = platform::CommandLineArguments();
  environment.ReadString = [](uint32_t aId) { return platform::LoadResourceString(aId); };
  environment.ReadRawResource = [](const Text& aName) { return platform::LoadRawResource(aName); };
  environment.Clock = [] { return Now(); };
  return environment;
}

// ---------------------------------------------------------------------------
// tZV_Wait

tZV_Wait::tZV_Wait() : fText_IT(u"Attendere prego ..."), fText_EN(u"Wait please ...") {
  fForm = std::make_unique<platform::PopupWindow>(kClientWidth, kClientHeight, kColor);
  fLabel = &fForm->GetLabel();
  fLabel->SetCentred(true);
  ArrangeText(Text());
}

tZV_Wait::~tZV_Wait() = default;

void tZV_Wait::ArrangeText(const Text& aExtra) {
  if (ApplicationObject != nullptr)
    fLabel->SetCaption(LowerCase(ApplicationObject->Language()) == u"en" ? fText_EN : fText_IT);
  if (!aExtra.empty()) fLabel->SetCaption(fLabel->Caption() + u"\r\n" + aExtra);
  fLabel->SetFont(platform::Font{platform::Rgb{255, 255, 255}, 10, true});
  fForm->SetClientWidth(static_cast<int>(fLabel->Width() * 1.3));
  fLabel->SetTop((fForm->ClientHeight() - fLabel->Height()) / 2);
  fLabel->SetLeft((fForm->ClientWidth() - fLabel->Width()) / 2);
}

void tZV_Wait::Start(const Text& aText) {
  ArrangeText(aText);
  fForm->Show();
  fStarted = true;
  platform::ProcessMessages();
}

void tZV_Wait::Stop() {
  fStarted = false;
  fForm->Hide();
}

// ---------------------------------------------------------------------------
// tZV_Application

tZV_Application::ExceptionHook::~ExceptionHook() {
  if (Token != 0) platform::RemoveUnhandledExceptionHandler(Token);
}

tZV_Application::tZV_Application() : tZV_Application(tZV_ApplicationEnvironment::OfProcess()) {}

tZV_Application::tZV_Application(tZV_ApplicationEnvironment aEnvironment) : fEnvironment(std::move(aEnvironment)) {
  fSetup = std::make_unique<tZV_Setup>();
  fLogger = std::make_unique<tZV_LogWriter>(fEnvironment.ExeBaseName,
                                            tZV_LogWriter::JoinPath(fEnvironment.LogRoot, u"LogFiles"), 0, false);
  fMessages = std::make_unique<std::map<Text, Text>>();
  fIsBatch = !GetCommandLineParam(u"/BATCH", true, fEnvironment.Arguments).empty();
  fIsDebug = !GetCommandLineParam(u"/DEBUG", true, fEnvironment.Arguments).empty();
  fIsTest = !GetCommandLineParam(u"/TEST", true, fEnvironment.Arguments).empty();
  fExceptionHook.Token = platform::SetUnhandledExceptionHandler(
      [this](std::exception_ptr aException) { AppExceptionHandler(aException); });
  fInfo = std::make_unique<tZV_ApplicationInfo>();
  fInfo->Load(fEnvironment.ReadString);
  fTimers = std::make_unique<std::vector<DateTime>>();
  fMessageManager = &tZV_MessageManager::DefaultManager();
  LoadMessages(u"MESSAGES");
}

tZV_Application::~tZV_Application() {
  DeleteNotifyIcon();
  fSetup.reset();
  fLogger.reset();
  fWait.reset();
  fMessages.reset();
  fInfo.reset();
  fTimers.reset();
  // The single-instance lock goes with the object (see SetSingleInstance).
}

tZV_Wait& tZV_Application::Wait() {
  if (!fWait) fWait = std::make_unique<tZV_Wait>();
  return *fWait;
}

void tZV_Application::Log(tZV_MessageType aEntryType, const Text& aMessage) {
  if (aEntryType == tZV_MessageType::let_error) fLastError = aMessage;
  fLogger->Write(aEntryType, aMessage);
}

Text tZV_Application::GetMessage(const Text& aMessageId) const { return GetMessage(aMessageId, {}); }

Text tZV_Application::GetMessage(const Text& aMessageId, const std::vector<tZV_FormatValue>& aValues) const {
  auto it = fMessages->find(fLanguage + u"." + aMessageId);
  if (it == fMessages->end()) it = fMessages->find(aMessageId + u"." + fDefaultLanguage);
  return FormatText(it != fMessages->end() ? it->second : aMessageId, aValues);
}

void tZV_Application::LoadMessages(const Text& aResourceName) {
  const std::optional<std::string> bytes =
      fEnvironment.ReadRawResource ? fEnvironment.ReadRawResource(aResourceName) : std::nullopt;
  if (!bytes) return;
  // The encoding comes from a byte-order mark, else it is the system's ANSI code page.
  Text content;
  const std::string& b = *bytes;
  if (b.size() >= 3 && b.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    content = FromUtf8(std::string_view(b).substr(3));
  } else if (b.size() >= 2 && (b.compare(0, 2, "\xFF\xFE") == 0 || b.compare(0, 2, "\xFE\xFF") == 0)) {
    const bool little = b[0] == '\xFF';
    for (size_t i = 2; i + 1 < b.size(); i += 2) {
      const auto lo = static_cast<unsigned char>(b[little ? i : i + 1]);
      const auto hi = static_cast<unsigned char>(b[little ? i + 1 : i]);
      content += static_cast<char16_t>(lo | (hi << 8));
    }
  } else {
    content = platform::AnsiToText(b);
  }
  // Lines end at CR LF, LF or CR; a break at the very end opens no further line.
  std::vector<Text> lines;
  Text line;
  for (size_t i = 0; i < content.size(); ++i) {
    const char16_t c = content[i];
    if (c == u'\r' || c == u'\n') {
      lines.push_back(std::move(line));
      line.clear();
      if (c == u'\r' && i + 1 < content.size() && content[i + 1] == u'\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  for (const Text& l : lines) {
    const Text key = GetDelimitedField(l, 1, u':', false);
    if (!fMessages->emplace(key, GetDelimitedField(l, 2, u':', false)).second)
      throw kException(u"Duplicates not allowed");
  }
}

void tZV_Application::ChangeLogDirectory(const Text& aNewDir) {
  const Text logFiles = tZV_LogWriter::JoinPath(fEnvironment.LogRoot, u"LogFiles");
  if (aNewDir.empty())
    fLogger->SetDirectory(logFiles);
  else if (platform::IsRootedPath(aNewDir))
    fLogger->SetDirectory(aNewDir);
  else
    fLogger->SetDirectory(tZV_LogWriter::JoinPath(logFiles, aNewDir));
}

void tZV_Application::ChangeLogFilename(const Text& aNewFileName) { fLogger->SetFileName(aNewFileName); }

Text tZV_Application::GetLogDirectory() const { return fLogger->Directory(); }

Text tZV_Application::GetLogFileName() const { return fLogger->FileName(); }

void tZV_Application::CreateNotifyIcon(platform::WindowHandle aForm) {
  fIconData = platform::NotifyIconData{};
  fIconData.Size = sizeof(platform::NotifyIconData);
  fIconData.Window = aForm;
  fIconData.CallbackMessage = platform::kFirstUserMessage + 100;
  fIconData.Id = 1;
  fIconData.Icon = platform::ApplicationIcon();
  fIconData.Flags = platform::kNotifyIconHasMessage | platform::kNotifyIconHasIcon;
  platform::AddNotifyIcon(fIconData);
  fNotifyIcon = true;
}

void tZV_Application::DeleteNotifyIcon() {
  if (!fNotifyIcon) return;
  fIconData.Flags = 0;
  platform::DeleteNotifyIcon(fIconData);
  fNotifyIcon = false;
}

void tZV_Application::StartTimer() { fTimers->push_back(fEnvironment.Clock()); }

int32_t tZV_Application::GetTimerValue() const {
  if (fTimers->empty()) throw kException(u"Unbalanced stack or queue operation");
  return MillisecondsOfDay(fEnvironment.Clock()) - MillisecondsOfDay(fTimers->back());
}

int32_t tZV_Application::StopTimer() {
  const int32_t value = GetTimerValue();
  fTimers->pop_back();
  return value;
}

int32_t tZV_Application::GetTimerCount() const { return static_cast<int32_t>(fTimers->size()); }

void tZV_Application::Terminate() {
  platform::ProcessMessages();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  platform::PostQuitRequest();
}

void tZV_Application::SetSingleInstance(bool aValue) {
  if (aValue == fSingleInstance) return;
  fSingleInstance = aValue;
  if (aValue) {
    auto mutex = std::make_unique<platform::NamedMutex>(fEnvironment.ExeBaseName);
    if (!mutex->TryTake()) {
      ShowAppMessage(1, u"Impossible to enter single instance mode.");
      platform::PostQuitRequest();
      return;
    }
    fSingleInstanceMutexHandle = std::move(mutex);
  } else if (fSingleInstanceMutexHandle) {
    fSingleInstanceMutexHandle->Release();
    fSingleInstanceMutexHandle.reset();
  }
}

void tZV_Application::AppExceptionHandler(std::exception_ptr aException) {
  const Text message = FailureMessage(aException);
  if (!message.empty()) ShowAppMessage(1, message);
  if (fIsBatch) platform::PostQuitRequest();
}

}  // namespace zv
