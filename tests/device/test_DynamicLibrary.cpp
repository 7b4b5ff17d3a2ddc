// The platform's library seam against real shared objects: the test library with
// known exports, one that cannot be resolved, and files that are no library.

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <fstream>

#include "TestText.h"
#include "platform/DynamicLibrary.h"
#include "test_IOHandler_Support.h"

namespace zv::platform {
namespace {

using zvtest::Concat;
using zvtest::LogDir;
using zvtest::T;
using zvtest::U8;

using AddFunction = int (*)(int, int);
using CallsFunction = int (*)();

// Whether the loader still holds the library at aPath (without loading it).
bool StillLoaded(const char* aPath) {
  void* handle = dlopen(aPath, RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

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

TEST(DynamicLibrary, UnloadsOnUnloadDestructionAndReload) {
  {
    DynamicLibrary library;
    ASSERT_TRUE(library.Load(T(ZV_TestExports_PATH)).Loaded);
    EXPECT_TRUE(StillLoaded(ZV_TestExports_PATH));
    library.Unload();
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_FALSE(StillLoaded(ZV_TestExports_PATH));
    ASSERT_TRUE(library.Load(T(ZV_TestExports_PATH)).Loaded);
    auto calls = reinterpret_cast<CallsFunction>(library.Symbol("zv_test_calls"));
    EXPECT_EQ(calls(), 1);
    EXPECT_EQ(calls(), 2);
    // Loading again releases the earlier library first: its state starts over.
    ASSERT_TRUE(library.Load(T(ZV_TestExports_PATH)).Loaded);
    calls = reinterpret_cast<CallsFunction>(library.Symbol("zv_test_calls"));
    EXPECT_EQ(calls(), 1);
  }
  EXPECT_FALSE(StillLoaded(ZV_TestExports_PATH));
}

TEST(DynamicLibrary, MovingHandsTheLibraryOver) {
  DynamicLibrary first;
  ASSERT_TRUE(first.Load(T(ZV_TestExports_PATH)).Loaded);
  const uintptr_t handle = first.Handle();
  DynamicLibrary second(std::move(first));
  EXPECT_FALSE(first.IsLoaded());
  EXPECT_EQ(second.Handle(), handle);
  DynamicLibrary third;
  ASSERT_TRUE(third.Load(u"libm.so.6").Loaded);
  third = std::move(second);
  EXPECT_EQ(third.Handle(), handle);
  EXPECT_NE(third.Symbol("zv_test_add"), nullptr);
  EXPECT_TRUE(StillLoaded(ZV_TestExports_PATH));
  third.Unload();
  EXPECT_FALSE(StillLoaded(ZV_TestExports_PATH));
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
