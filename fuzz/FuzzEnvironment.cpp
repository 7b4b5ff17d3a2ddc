#include "FuzzEnvironment.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "driver/uZVDriverLibrary.h"

namespace zv {

// The device table's internals, as the driver tests reach them.
class kDeviceTableTestAccess {
 public:
  static void Reset(kDeviceTable& aTable) {
    aTable.fDevices.clear();
    aTable.fHandleCounter = 0;
  }
};

}  // namespace zv

namespace zvfuzz {

namespace {

// Before the library's state is built (its application log goes to ZV_LOG_DIR).
__attribute__((constructor(101))) void PrepareEnvironment() {
  // Plain C strings only: the C++ globals of this file are not built yet.
  const char* given = std::getenv("ZV_LOG_DIR");
  if (given == nullptr || *given == '\0') {
    char folder[] = "/tmp/zv-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    setenv("ZV_LOG_DIR", folder, 1);
  }
  // COM ports are looked up in an empty folder: a request naming one finds none.
  char devices[4096];
  std::snprintf(devices, sizeof devices, "%s/no-devices", std::getenv("ZV_LOG_DIR"));
  mkdir(devices, 0700);
  setenv("ZV_DEVICES", devices, 1);
}

void SetProxy(const std::string& aProxy, const char* aNoProxy) {
  for (const char* name : {"ALL_PROXY", "all_proxy", "http_proxy", "https_proxy", "HTTPS_PROXY"}) {
    if (aProxy.empty()) {
      unsetenv(name);
    } else {
      setenv(name, aProxy.c_str(), 1);
    }
  }
  for (const char* name : {"NO_PROXY", "no_proxy"}) {
    if (aNoProxy == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, aNoProxy, 1);
    }
  }
}

}  // namespace

std::string LogRoot() { return std::getenv("ZV_LOG_DIR"); }

int ClosedPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    std::abort();
  close(s);
  return ntohs(address.sin_port);
}

void RefuseEveryConnection() {
  SetProxy("http://127.0.0.1:" + std::to_string(ClosedPort()), nullptr);
}

void ConnectDirectly() { SetProxy("", "*"); }

Answer Call(int (*aCommand)(BSTR, BSTR*, BSTR*), const std::u16string& aRequest) {
  BSTR request = SysAllocStringLen(aRequest.data(), static_cast<unsigned>(aRequest.size()));
  BSTR response = nullptr, error = nullptr;
  Answer answer;
  answer.Result = aCommand(request, &response, &error);
  if (answer.Result != 0 && answer.Result != 0xFFFF) std::abort();
  if (response != nullptr) answer.Response.assign(response, SysStringLen(response));
  if (error != nullptr) answer.Error.assign(error, SysStringLen(error));
  SysFreeString(response);
  SysFreeString(error);
  SysFreeString(request);
  return answer;
}

std::u16string Widen(const uint8_t* aData, size_t aSize) { return std::u16string(aData, aData + aSize); }

std::u16string Utf16(const uint8_t* aData, size_t aSize) {
  std::u16string text;
  for (size_t i = 0; i + 1 < aSize; i += 2) text += static_cast<char16_t>(aData[i] | (aData[i + 1] << 8));
  return text;
}

void ForgetDevices() {
  std::lock_guard<std::timed_mutex> lock(zv::kDriverLibrary::CallLock());
  if (zv::kDriverLibrary* library = zv::kDriverLibrary::Current())
    zv::kDeviceTableTestAccess::Reset(library->Devices());
}

namespace {

std::mutex gAnswerLock;
std::string gAnswer;

bool ReadRequest(int aSocket) {
  std::string received;
  char buffer[4096];
  size_t headerEnd = std::string::npos;
  size_t contentLength = 0;
  while (true) {
    if (headerEnd != std::string::npos && received.size() >= headerEnd + 4 + contentLength) return true;
    const ssize_t n = recv(aSocket, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    received.append(buffer, static_cast<size_t>(n));
    if (headerEnd == std::string::npos) {
      headerEnd = received.find("\r\n\r\n");
      if (headerEnd == std::string::npos) continue;
      for (const char* name : {"Content-Length:", "content-length:"}) {
        const size_t at = received.find(name);
        if (at != std::string::npos && at < headerEnd) contentLength = std::strtoul(received.c_str() + at + 15, nullptr, 10);
      }
    }
  }
}

}  // namespace

AnswerServer& AnswerServer::Instance() {
  // Never destroyed: its thread serves until the process ends.
  static AnswerServer* server = new AnswerServer();
  return *server;
}

AnswerServer::AnswerServer() {
  fListen = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const int yes = 1;
  setsockopt(fListen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (fListen < 0 || bind(fListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fListen, 16) != 0 || getsockname(fListen, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    std::abort();
  fPort = ntohs(address.sin_port);
  std::thread([this] { Serve(); }).detach();
}

void AnswerServer::SetAnswer(std::string aBytes) {
  std::lock_guard<std::mutex> lock(gAnswerLock);
  gAnswer = std::move(aBytes);
}

void AnswerServer::Serve() {
  while (true) {
    const int s = accept(fListen, nullptr, nullptr);
    if (s < 0) continue;
    if (ReadRequest(s)) {
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(gAnswerLock);
        answer = gAnswer;
      }
      size_t sent = 0;
      while (sent < answer.size()) {
        const ssize_t n = send(s, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    }
    shutdown(s, SHUT_RDWR);
    close(s);
  }
}

}  // namespace zvfuzz
