#include "platform/Gui.h"
#include "platform/GuiState.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace zv::platform {

namespace {

std::atomic<WindowHandle> gNextWindow{0x10000};

}  // namespace

void ShowMessageDialog(DialogKind aKind, const Text& aText) {
  {
    std::lock_guard guard(GuiState().Lock);
    GuiState().Record.Dialogs.push_back({aKind, aText});
  }
  // No screen: the dialog's text goes where a person at the console sees it.
  const std::string line = std::string(aKind == DialogKind::Error ? "[Error] " : "[Information] ") + ToUtf8(aText) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

IconHandle ApplicationIcon() { return 1; }

bool AddNotifyIcon(const NotifyIconData& aData) {
  std::lock_guard guard(GuiState().Lock);
  auto& icons = GuiState().Record.NotifyIcons;
  if (std::any_of(icons.begin(), icons.end(), [&](const NotifyIconData& d) { return SameIcon(d, aData); })) return false;
  icons.push_back(aData);
  return true;
}

bool DeleteNotifyIcon(const NotifyIconData& aData) {
  std::lock_guard guard(GuiState().Lock);
  auto& icons = GuiState().Record.NotifyIcons;
  auto it = std::find_if(icons.begin(), icons.end(), [&](const NotifyIconData& d) { return SameIcon(d, aData); });
  if (it == icons.end()) return false;
  icons.erase(it);
  return true;
}

void ProcessMessages() {
  std::lock_guard guard(GuiState().Lock);
  ++GuiState().Record.MessagePumps;
}

void PostQuitRequest() {
  std::lock_guard guard(GuiState().Lock);
  ++GuiState().Record.QuitRequests;
}

PopupWindow::PopupWindow(int aClientWidth, int aClientHeight, Rgb aColor)
    : fHandle(gNextWindow++), fClientWidth(aClientWidth), fClientHeight(aClientHeight), fColor(aColor) {}

PopupWindow::~PopupWindow() { Hide(); }

void PopupWindow::Show() {
  fLeft = (kDesktopWidth - fClientWidth) / 2;
  fTop = (kDesktopHeight - fClientHeight) / 2;
  if (fVisible) return;
  fVisible = true;
  std::lock_guard guard(GuiState().Lock);
  ++GuiState().Record.VisibleWindows;
}

void PopupWindow::Hide() {
  if (!fVisible) return;
  fVisible = false;
  std::lock_guard guard(GuiState().Lock);
  --GuiState().Record.VisibleWindows;
}

}  // namespace zv::platform
