// The platform's library seam against real shared objects: the test library with
// known exports, one that cannot be resolved, and files that are no library.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestText.h"
#include "platform/DynamicLibrary.h"
#include "test_IOHandler_Support.h"
#include "test_TestLibraries.h"

namespace zv::platform {
namespace {

using zvtest::Concat;
using zvtest::LogDir;
using zvtest::T;
using zvtest::U8;

using zvtest::CallsFunction;
using zvtest::CallsOfANewLoad;
using AddFunction = int (*)(int, int);

TEST(DynamicLibrary, LoadsAndHandsOutExportsByName) {
  DynamicLibrary library;
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_EQ(library.Handle(), 0u);
  const DynamicLibrary::LoadResult result = library.Load(T(ZV_TestExports_PATH));
  ASSERT_TRUE(result.Loaded) << U8(result.Message);
  EXPECT_EQ(result.Code, 0u);
  EXPECT_TRUE(library.IsLoaded());
  EXPECT_NE(library.Handle(), 0u);
  auto add = reinterpret_cast<AddFunction>(library.Symbol("zv_test_add"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 3), 5);
  EXPECT_EQ(library.Symbol("zv_test_absent"), nullptr);
  // A NUL would otherwise end the name early and find zv_test_add.
  EXPECT_EQ(library.Symbol(std::string("zv_test_add\0x", 13)), nullptr);
}

TEST(DynamicLibrary, ABareNameIsSearchedForByTheSystem) {
  DynamicLibrary library;
  EXPECT_TRUE(library.Load(u"libm.so.6").Loaded);
  EXPECT_NE(library.Symbol("cos"), nullptr);
}

// A released library starts over when it is loaded again: its call count is 1.
TEST(DynamicLibrary, UnloadsOnUnloadDestructionAndReload) {
  {
    DynamicLibrary library;
    ASSERT_TRUE(library.Load(T(ZV_TestExports_PATH)).Loaded);
    auto calls = reinterpret_cast<CallsFunction>(library.Symbol("zv_test_calls"));
    EXPECT_EQ(calls(), 1);
    EXPECT_EQ(CallsOfANewLoad(), 2);
    library.Unload();
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_EQ(CallsOfANewLoad(), 1);
    ASSERT_TRUE(library.Load(T(ZV_TestExports_PATH)).Loaded);
    calls = reinterpret_cast<CallsFunction>(library.Symbol("zv_test_calls"));
    EXPECT_EQ(calls(), 1);
    EXPECT_EQ(calls(), 2);
    // Loading again releases the earlier library first.
    ASSERT_TRUE(library.Load(T(ZV_TestExports_PATH)).Loaded);
    calls = reinterpret_cast<CallsFunction>(library.Symbol("zv_test_calls"));
    EXPECT_EQ(calls(), 1);
  }
  EXPECT_EQ(CallsOfANewLoad(), 1);
}

TEST(DynamicLibrary, MovingHandsTheLibraryOver) {
  DynamicLibrary first;
  ASSERT_TRUE(first.Load(T(ZV_TestExports_PATH)).Loaded);
  const uintptr_t handle = first.Handle();
  DynamicLibrary second(std::move(first));
  EXPECT_FALSE(first.IsLoaded());
  EXPECT_EQ(second.Handle(), handle);
  // The target of an assignment releases what it held: here a load of its own.
  DynamicLibrary third;
  ASSERT_TRUE(third.Load(T(ZV_TestExports_PATH)).Loaded);
  third = std::move(second);
  EXPECT_FALSE(second.IsLoaded());
  EXPECT_EQ(third.Handle(), handle);
  EXPECT_EQ(reinterpret_cast<CallsFunction>(third.Symbol("zv_test_calls"))(), 1);
  third.Unload();
  EXPECT_EQ(CallsOfANewLoad(), 1);
}

TEST(DynamicLibrary, FailuresCarryTheCodeAndTheLoadersReason) {
  LogDir dir;
  const std::filesystem::path text = dir.Path() / "notes.so";
  std::ofstream(text) << std::string(200, '#') << " not a library\n";  // longer than an ELF header
  const std::filesystem::path empty = dir.Path() / "empty.so";
  std::ofstream{empty};
  const std::string missing = (dir.Path() / "missing.so").string();
  const struct {
    Text name;
    uint32_t code;
    std::string message;
  } cases[] = {
      {T(missing), DynamicLibrary::kModuleNotFound, "cannot open shared object file: No such file or directory"},
      {T((dir.Path() / "no-folder" / "x.so").string()), DynamicLibrary::kModuleNotFound,
       "cannot open shared object file: No such file or directory"},
      {u"libzv-no-such-library.so", DynamicLibrary::kModuleNotFound,
       "cannot open shared object file: No such file or directory"},
      {u"", DynamicLibrary::kModuleNotFound, "The specified module could not be found"},
      {T(ZV_TestExports_PATH).append(1, u'\0').append(u"x"), DynamicLibrary::kModuleNotFound,
       "The specified module could not be found"},
      {T(text.string()), DynamicLibrary::kBadLibrary, "invalid ELF header"},
      {T(empty.string()), DynamicLibrary::kBadLibrary, "file too short"},
      {dir.Dir(), DynamicLibrary::kBadLibrary, "cannot read file data: Is a directory"},
      {T(ZV_TestUnresolved_PATH), DynamicLibrary::kBadLibrary, "undefined symbol: zv_test_nowhere"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(U8(c.name));
    DynamicLibrary library;
    const DynamicLibrary::LoadResult result = library.Load(c.name);
    EXPECT_FALSE(result.Loaded);
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_EQ(result.Code, c.code);
    EXPECT_EQ(U8(result.Message), c.message);
    EXPECT_EQ(library.Symbol("zv_test_add"), nullptr);
  }
}

}  // namespace
}  // namespace zv::platform
