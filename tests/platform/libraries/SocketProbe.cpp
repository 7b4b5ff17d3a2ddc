// A library built as the driver is (the platform linked in, nothing of it exported but
// this call), so that a test can unload it after a connect whose name look-up it
// abandoned and see whether it stays in memory for the look-up still running in it.

#include <string>

#include "platform/Socket.h"

// Connects to aHost, port 80, asking the name server at aNameServer ("address:port")
// and giving up after aTimeoutMs: 1 when the connect timed out, else 0.
extern "C" __attribute__((visibility("default"))) int ZvProbeConnectTimingOut(const char* aHost,
                                                                              const char* aNameServer, int aTimeoutMs) {
  if (!zv::platform::UseNameServerForTests(aNameServer)) return 0;
  zv::platform::TcpClient client;
  const zv::platform::TcpClient::Result result = client.Connect(aHost, 80, aTimeoutMs);
  zv::platform::UseNameServerForTests({});
  return result.State == zv::platform::TcpClient::Status::TimedOut ? 1 : 0;
}
