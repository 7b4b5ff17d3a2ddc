#pragma once
// The test library with known exports, seen through a load of its own.

#include "platform/DynamicLibrary.h"

namespace zvtest {

using CallsFunction = int (*)();

// What zv_test_calls answers to a new load of the test library: 1 when every earlier
// load was released (its state started over), more when one still holds it and called
// it before.
inline int CallsOfANewLoad() {
  zv::platform::DynamicLibrary library;
  if (!library.Load(zv::FromUtf8(ZV_TestExports_PATH)).Loaded) return -1;
  return reinterpret_cast<CallsFunction>(library.Symbol("zv_test_calls"))();
}

}  // namespace zvtest
