#include "platform/Gui.h"
#include "platform/GuiState.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace zv::platform {

namespace {

NOTIFYICONDATAW ToNative(const NotifyIconData& aData) {
  NOTIFYICONDATAW native{};
  native.cbSize = sizeof native;
  native.hWnd = reinterpret_cast<HWND>(aData.Window);
  native.uID = aData.Id;
  if (aData.Flags & kNotifyIconHasMessage) native.uFlags |= NIF_MESSAGE;
  if (aData.Flags & kNotifyIconHasIcon) native.uFlags |= NIF_ICON;
  native.uCallbackMessage = aData.CallbackMessage;
  native.hIcon = reinterpret_cast<HICON>(aData.Icon);
  return native;
}

// The class of the popup windows: a plain window painted in its own colour.
const wchar_t* PopupClass() {
  static const wchar_t* name = [] {
    WNDCLASSEXW c{};
    c.cbSize = sizeof c;
    c.lpfnWndProc = DefWindowProcW;
    c.hInstance = GetModuleHandleW(nullptr);
    c.lpszClassName = L"ZVPopupWindow";
    RegisterClassExW(&c);
    return L"ZVPopupWindow";
  }();
  return name;
}

HWND NativeWindow(WindowHandle aHandle) { return reinterpret_cast<HWND>(aHandle); }

// The handles of windows that exist only in the record.
std::atomic<WindowHandle> gNextRecordedWindow{0x10000};

WindowHandle CreatePopup(bool aRecordOnly, int aClientWidth, int aClientHeight) {
  if (aRecordOnly) return gNextRecordedWindow++;
  return reinterpret_cast<WindowHandle>(CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, PopupClass(), L"", WS_POPUP, 0,
                                                        0, aClientWidth, aClientHeight, nullptr, nullptr,
                                                        GetModuleHandleW(nullptr), nullptr));
}

}  // namespace

void ShowMessageDialog(DialogKind aKind, const Text& aText) {
  {
    std::lock_guard guard(GuiState().Lock);
    GuiState().Record.Dialogs.push_back({aKind, aText});
    if (GuiState().RecordOnly) return;
  }
  const UINT symbol = aKind == DialogKind::Error ? MB_ICONERROR : MB_ICONINFORMATION;
  MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(aText.c_str()), L"", MB_OK | MB_TASKMODAL | MB_SETFOREGROUND | symbol);
}

IconHandle ApplicationIcon() { return reinterpret_cast<IconHandle>(LoadIconW(nullptr, MAKEINTRESOURCEW(32512))); }

bool AddNotifyIcon(const NotifyIconData& aData) {
  std::lock_guard guard(GuiState().Lock);
  auto& icons = GuiState().Record.NotifyIcons;
  if (std::any_of(icons.begin(), icons.end(), [&](const NotifyIconData& d) { return SameIcon(d, aData); })) return false;
  NOTIFYICONDATAW native = ToNative(aData);
  if (!GuiState().RecordOnly && !Shell_NotifyIconW(NIM_ADD, &native)) return false;
  icons.push_back(aData);
  return true;
}

bool DeleteNotifyIcon(const NotifyIconData& aData) {
  std::lock_guard guard(GuiState().Lock);
  auto& icons = GuiState().Record.NotifyIcons;
  auto it = std::find_if(icons.begin(), icons.end(), [&](const NotifyIconData& d) { return SameIcon(d, aData); });
  if (it == icons.end()) return false;
  NOTIFYICONDATAW native = ToNative(aData);
  if (!GuiState().RecordOnly) Shell_NotifyIconW(NIM_DELETE, &native);
  icons.erase(it);
  return true;
}

void ProcessMessages() {
  {
    std::lock_guard guard(GuiState().Lock);
    ++GuiState().Record.MessagePumps;
  }
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void PostQuitRequest() {
  {
    std::lock_guard guard(GuiState().Lock);
    ++GuiState().Record.QuitRequests;
    if (GuiState().RecordOnly) return;
  }
  PostQuitMessage(0);
}

// Created on the calling thread, which owns it and must pump its messages.
PopupWindow::PopupWindow(int aClientWidth, int aClientHeight, Rgb aColor)
    : fRecordOnly(RecordOnly()),
      fHandle(CreatePopup(fRecordOnly, aClientWidth, aClientHeight)),
      fClientWidth(aClientWidth),
      fClientHeight(aClientHeight),
      fColor(aColor) {}

PopupWindow::~PopupWindow() {
  Hide();
  if (fHandle != 0 && !fRecordOnly) DestroyWindow(NativeWindow(fHandle));
}

void PopupWindow::Show() {
  const int desktopWidth = fRecordOnly ? kDesktopWidth : GetSystemMetrics(SM_CXSCREEN);
  const int desktopHeight = fRecordOnly ? kDesktopHeight : GetSystemMetrics(SM_CYSCREEN);
  fLeft = ((desktopWidth > 0 ? desktopWidth : kDesktopWidth) - fClientWidth) / 2;
  fTop = ((desktopHeight > 0 ? desktopHeight : kDesktopHeight) - fClientHeight) / 2;
  if (fHandle != 0 && !fRecordOnly) {
    SetWindowPos(NativeWindow(fHandle), HWND_TOPMOST, fLeft, fTop, fClientWidth, fClientHeight, SWP_SHOWWINDOW | SWP_NOACTIVATE);
    SetWindowTextW(NativeWindow(fHandle), reinterpret_cast<const wchar_t*>(fLabel.Caption().c_str()));
  }
  if (fVisible) return;
  fVisible = true;
  std::lock_guard guard(GuiState().Lock);
  ++GuiState().Record.VisibleWindows;
}

void PopupWindow::Hide() {
  if (!fVisible) return;
  if (fHandle != 0 && !fRecordOnly) ShowWindow(NativeWindow(fHandle), SW_HIDE);
  fVisible = false;
  std::lock_guard guard(GuiState().Lock);
  --GuiState().Record.VisibleWindows;
}

}  // namespace zv::platform
