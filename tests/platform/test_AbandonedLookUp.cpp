// A connect that gives up on its name look-up leaves the look-up running on a thread of
// its own, in the code of the library that started it: that library then stays loaded
// when its host unloads it, instead of taking the running code away.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "TestSocket.h"

namespace {

TEST(AbandonedLookUp, KeepsTheLibraryLoadedAfterItsHostUnloadsIt) {
  zvtest::SilentNameServer server;
  ASSERT_GT(server.Port(), 0);
  void* probe = dlopen(ZV_SOCKET_PROBE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(probe, nullptr) << dlerror();
  using Connect = int (*)(const char*, const char*, int);
  const auto connect = reinterpret_cast<Connect>(dlsym(probe, "ZvProbeConnectTimingOut"));
  ASSERT_NE(connect, nullptr);
  const std::string nameServer = "127.0.0.1:" + std::to_string(server.Port());
  ASSERT_EQ(connect("lookup.zv-unanswered.example", nameServer.c_str(), 300), 1);
  EXPECT_TRUE(server.QueryArrived());

  EXPECT_EQ(dlclose(probe), 0);
  void* still = dlopen(ZV_SOCKET_PROBE_PATH, RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(still, nullptr);
  if (still != nullptr) dlclose(still);
}

}  // namespace
