// What both systems share of the GUI: the record kept of it, the unhandled-exception
// handler, and the label metrics (a fixed metric, not measured with the system's fonts).

#include <algorithm>
#include <mutex>

#include "platform/Gui.h"
#include "platform/GuiState.h"

namespace zv::platform {

HeadlessState& GuiState() {
  static HeadlessState state;
  return state;
}

uint64_t SetUnhandledExceptionHandler(UnhandledExceptionHandler aHandler) {
  std::lock_guard guard(GuiState().Lock);
  GuiState().Handler = std::move(aHandler);
  return ++GuiState().HandlerToken;
}

void RemoveUnhandledExceptionHandler(uint64_t aToken) {
  std::lock_guard guard(GuiState().Lock);
  if (GuiState().HandlerToken == aToken) GuiState().Handler = nullptr;
}

bool HandleUnhandledException(std::exception_ptr aException) {
  UnhandledExceptionHandler handler;
  {
    std::lock_guard guard(GuiState().Lock);
    handler = GuiState().Handler;
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

HeadlessRecord HeadlessSnapshot() {
  std::lock_guard guard(GuiState().Lock);
  return GuiState().Record;
}

void SetRecordOnly(bool aOn) {
  std::lock_guard guard(GuiState().Lock);
  GuiState().RecordOnly = aOn;
}

bool RecordOnly() {
  std::lock_guard guard(GuiState().Lock);
  return GuiState().RecordOnly;
}

void ResetHeadlessRecord() {
  std::lock_guard guard(GuiState().Lock);
  GuiState().Record.Dialogs.clear();
  GuiState().Record.QuitRequests = 0;
  GuiState().Record.MessagePumps = 0;
}

}  // namespace zv::platform
