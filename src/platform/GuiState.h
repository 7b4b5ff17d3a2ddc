#pragma once
// The record that both systems keep of dialogs, icons and windows beside whatever the
// system shows, and the unhandled-exception handler: one state per process.

#include <cstdint>
#include <mutex>

#include "platform/Gui.h"

namespace zv::platform {

struct HeadlessState {
  std::mutex Lock;
  HeadlessRecord Record;
  UnhandledExceptionHandler Handler;
  uint64_t HandlerToken = 0;
  bool RecordOnly = false;
};

HeadlessState& GuiState();

inline bool SameIcon(const NotifyIconData& a, const NotifyIconData& b) { return a.Window == b.Window && a.Id == b.Id; }

}  // namespace zv::platform
