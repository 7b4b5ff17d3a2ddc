#pragma once
// The GUI facilities of the application object: a modal message dialog, the
// notification-area icon, a borderless always-on-top window with one label, the
// handling of waiting messages, a quit request and the runtime's handler of unhandled
// exceptions.
//
// On Linux the library runs headless: windows, labels and icons are records kept in
// memory, a dialog is written to standard error, and the record of what happened can
// be read back (the functions at the end) so that callers' behaviour can be checked.

#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

#include "base/Text.h"

namespace zv::platform {

using WindowHandle = uintptr_t;
using IconHandle = uintptr_t;

// The first message number that an application may define for itself.
constexpr uint32_t kFirstUserMessage = 1024;
// Flags of a notification icon record: it names a callback message, it carries an icon.
constexpr uint32_t kNotifyIconHasMessage = 0x1;
constexpr uint32_t kNotifyIconHasIcon = 0x2;

// The record that describes a notification-area icon.
struct NotifyIconData {
  uint32_t Size = 0;             // size of the record, as the platform wants it filled
  WindowHandle Window = 0;       // receives the icon's notifications
  uint32_t Id = 0;               // the icon's identifier for that window
  uint32_t Flags = 0;            // kNotifyIconHas...
  uint32_t CallbackMessage = 0;  // message number of the notifications
  IconHandle Icon = 0;
};

enum class DialogKind : uint8_t { Information, Error };

// A modal dialog centred on the screen with the text, the kind's symbol and one OK
// button; returns when it is closed (headless: at once).
void ShowMessageDialog(DialogKind aKind, const Text& aText);

// The GUI runtime's application icon.
IconHandle ApplicationIcon();
// Adds or deletes the icon that the record describes; false when the notification area
// refuses (adding an icon that is there, deleting one that is not).
bool AddNotifyIcon(const NotifyIconData& aData);
bool DeleteNotifyIcon(const NotifyIconData& aData);

// Lets the GUI runtime handle the messages that wait for the calling thread.
void ProcessMessages();
// Asks the GUI runtime to end: a quit request posted to the calling thread's loop.
void PostQuitRequest();

// The runtime's handler of exceptions that escape its handling of messages. Setting
// one replaces the one before and answers a token; removing with that token removes
// it only while it is still the installed one.
using UnhandledExceptionHandler = std::function<void(std::exception_ptr aException)>;
uint64_t SetUnhandledExceptionHandler(UnhandledExceptionHandler aHandler);
void RemoveUnhandledExceptionHandler(uint64_t aToken);
// What the runtime does with an exception that escaped message handling: hands it to
// the installed handler. False when none is installed.
bool HandleUnhandledException(std::exception_ptr aException);

struct Rgb {
  uint8_t Red = 0, Green = 0, Blue = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct Font {
  Rgb Color;
  int Size = 8;  // points
  bool Bold = false;
};

// A text label on a window. Its size follows its text and font; the headless metric
// is fixed so that layouts can be checked: every character is Size * 3 / 5 pixels wide
// (one more when bold), every line Size * 8 / 5 high; the lines are split at CR LF, and
// an empty text still has the height of one line.
class Label {
 public:
  const Text& Caption() const { return fCaption; }
  void SetCaption(const Text& aCaption) { fCaption = aCaption; }
  const Font& GetFont() const { return fFont; }
  void SetFont(const Font& aFont) { fFont = aFont; }
  bool Centred() const { return fCentred; }
  void SetCentred(bool aCentred) { fCentred = aCentred; }
  int Left() const { return fLeft; }
  int Top() const { return fTop; }
  void SetLeft(int aLeft) { fLeft = aLeft; }
  void SetTop(int aTop) { fTop = aTop; }
  int Width() const;
  int Height() const;

 private:
  Text fCaption;
  Font fFont;
  bool fCentred = false;
  int fLeft = 0, fTop = 0;
};

// A window without border or caption, always on top of other windows, centred on the
// desktop when it is shown, with one label. It starts hidden.
class PopupWindow {
 public:
  PopupWindow(int aClientWidth, int aClientHeight, Rgb aColor);
  ~PopupWindow();
  PopupWindow(const PopupWindow&) = delete;
  PopupWindow& operator=(const PopupWindow&) = delete;

  WindowHandle Handle() const { return fHandle; }
  int ClientWidth() const { return fClientWidth; }
  int ClientHeight() const { return fClientHeight; }
  void SetClientWidth(int aWidth) { fClientWidth = aWidth; }
  Rgb Color() const { return fColor; }
  bool TopMost() const { return true; }
  bool Borderless() const { return true; }
  // Position on the desktop, set when the window is shown.
  int Left() const { return fLeft; }
  int Top() const { return fTop; }
  Label& GetLabel() { return fLabel; }
  const Label& GetLabel() const { return fLabel; }
  void Show();
  void Hide();
  bool Visible() const { return fVisible; }

 private:
  [[maybe_unused]] bool fRecordOnly = true;  // a window of the record only, not of the system (Windows)
  WindowHandle fHandle;
  int fClientWidth, fClientHeight;
  Rgb fColor;
  int fLeft = 0, fTop = 0;
  bool fVisible = false;
  Label fLabel;
};

// --- The record of what was shown (kept on every platform; on Windows beside the real
// windows, dialogs and icons) ---

// Size of the headless desktop, for centring.
constexpr int kDesktopWidth = 1920;
constexpr int kDesktopHeight = 1080;

struct ShownDialog {
  DialogKind Kind;
  Text Message;
};

struct HeadlessRecord {
  std::vector<ShownDialog> Dialogs;       // in the order they were shown
  std::vector<NotifyIconData> NotifyIcons;  // the icons now in the notification area
  int QuitRequests = 0;
  int MessagePumps = 0;                    // calls of ProcessMessages
  int VisibleWindows = 0;
};

HeadlessRecord HeadlessSnapshot();
// Forgets dialogs, quit requests and message pumps (icons and windows stay).
void ResetHeadlessRecord();
// For test programs: with aOn the system shows nothing of its own (no dialog waiting
// for a person, no window, no icon) and only the record is kept, as on Linux, where
// nothing is shown anyway. The library never sets it.
void SetRecordOnly(bool aOn);
bool RecordOnly();

}  // namespace zv::platform
