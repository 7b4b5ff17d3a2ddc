#include "platform/Gui.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace zv::platform {

namespace {

// Everything the headless stand-in remembers. Several threads may show dialogs.
struct HeadlessState {
  std::mutex Lock;
  HeadlessRecord Record;
  UnhandledExceptionHandler Handler;
  uint64_t HandlerToken = 0;
};

HeadlessState& State() {
  static HeadlessState state;
  return state;
}

std::atomic<WindowHandle> gNextWindow{0x10000};

bool SameIcon(const NotifyIconData& a, const NotifyIconData& b) { return a.Window == b.Window && a.Id == b.Id; }

}  // namespace

void ShowMessageDialog(DialogKind aKind, const Text& aText) {
  {
    std::lock_guard guard(State().Lock);
    State().Record.Dialogs.push_back({aKind, aText});
  }
  // No screen: the dialog's text goes where a person at the console sees it.
  const std::string line = std::string(aKind == DialogKind::Error ? "[Error] " : "[Information] ") + ToUtf8(aText) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

IconHandle ApplicationIcon() { return 1; }

bool AddNotifyIcon(const NotifyIconData& aData) {
  std::lock_guard guard(State().Lock);
  auto& icons = State().Record.NotifyIcons;
  if (std::any_of(icons.begin(), icons.end(), [&](const NotifyIconData& d) { return SameIcon(d, aData); })) return false;
  icons.push_back(aData);
  return true;
}

bool DeleteNotifyIcon(const NotifyIconData& aData) {
  std::lock_guard guard(State().Lock);
  auto& icons = State().Record.NotifyIcons;
  auto it = std::find_if(icons.begin(), icons.end(), [&](const NotifyIconData& d) { return SameIcon(d, aData); });
  if (it == icons.end()) return false;
  icons.erase(it);
  return true;
}

void ProcessMessages() {
  std::lock_guard guard(State().Lock);
  ++State().Record.MessagePumps;
}

void PostQuitRequest() {
  std::lock_guard guard(State().Lock);
  ++State().Record.QuitRequests;
}

uint64_t SetUnhandledExceptionHandler(UnhandledExceptionHandler aHandler) {
  std::lock_guard guard(State().Lock);
  State().Handler = std::move(aHandler);
  return ++State().HandlerToken;
}

void RemoveUnhandledExceptionHandler(uint64_t aToken) {
  std::lock_guard guard(State().Lock);
  if (State().HandlerToken == aToken) State().Handler = nullptr;
}

bool HandleUnhandledException(std::exception_ptr aException) {
  UnhandledExceptionHandler handler;
  {
    std::lock_guard guard(State().Lock);
    handler = State().Handler;
  }
  if (!handler) return false;
  handler(aException);
  return true;
}

int Label::Width() const {
  const int charWidth = fFont.Size * 3 / 5 + (fFont.Bold ? 1 : 0);
  size_t longest = 0, current = 0;
  for (size_t i = 0; i < fCaption.size(); ++i) {
    if (fCaption[i] == u'\r' && i + 1 < fCaption.size() && fCaption[i + 1] == u'\n') {
      longest = std::max(longest, current);
      current = 0;
      ++i;
    } else {
      ++current;
    }
  }
  longest = std::max(longest, current);
  return static_cast<int>(longest) * charWidth;
}

int Label::Height() const {
  int lines = 1;
  for (size_t i = 0; i + 1 < fCaption.size(); ++i)
    if (fCaption[i] == u'\r' && fCaption[i + 1] == u'\n') ++lines;
  return lines * (fFont.Size * 8 / 5);
}

PopupWindow::PopupWindow(int aClientWidth, int aClientHeight, Rgb aColor)
    : fHandle(gNextWindow++), fClientWidth(aClientWidth), fClientHeight(aClientHeight), fColor(aColor) {}

PopupWindow::~PopupWindow() { Hide(); }

void PopupWindow::Show() {
  fLeft = (kDesktopWidth - fClientWidth) / 2;
  fTop = (kDesktopHeight - fClientHeight) / 2;
  if (fVisible) return;
  fVisible = true;
  std::lock_guard guard(State().Lock);
  ++State().Record.VisibleWindows;
}

void PopupWindow::Hide() {
  if (!fVisible) return;
  fVisible = false;
  std::lock_guard guard(State().Lock);
  --State().Record.VisibleWindows;
}

HeadlessRecord HeadlessSnapshot() {
  std::lock_guard guard(State().Lock);
  return State().Record;
}

void ResetHeadlessRecord() {
  std::lock_guard guard(State().Lock);
  State().Record.Dialogs.clear();
  State().Record.QuitRequests = 0;
  State().Record.MessagePumps = 0;
}

}  // namespace zv::platform
