#include "TcpTestPeer.h"

#include <stdexcept>

#include "TestSocket.h"

namespace zvtest {

namespace {

constexpr int kSliceMs = 20;  // how often waiting threads look at the stop flag

}  // namespace

TcpTestPeer::TcpTestPeer(Script aScript) : fScript(std::move(aScript)) {
  fListen = TcpSocket();
  if (fListen < 0) throw std::runtime_error("socket failed");
  fPort = BindLocal(fListen);
  if (fPort < 0) {
    CloseSocket(fListen);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  fAcceptor = std::thread([this] { AcceptLoop(); });
}

TcpTestPeer::~TcpTestPeer() {
  fStop = true;
  fAcceptor.join();
  for (std::thread& t : fThreads) t.join();
  for (int s : fSockets) CloseSocket(s);
  CloseSocket(fListen);
}

std::string TcpTestPeer::Received() const {
  std::lock_guard lock(fLock);
  return fReceived;
}

bool TcpTestPeer::WaitForReceived(size_t aBytes, std::chrono::milliseconds aLimit) const {
  const auto end = std::chrono::steady_clock::now() + aLimit;
  while (Received().size() < aBytes) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  return true;
}

bool TcpTestPeer::WaitForConnections(int aCount, std::chrono::milliseconds aLimit) const {
  const auto end = std::chrono::steady_clock::now() + aLimit;
  while (fConnections.load() < aCount) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  return true;
}

bool TcpTestPeer::WaitForFinish(std::chrono::milliseconds aLimit) const {
  const auto end = std::chrono::steady_clock::now() + aLimit;
  while (fFinished.load() < fConnections.load() || fConnections.load() == 0) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  return true;
}

void TcpTestPeer::AcceptLoop() {
  while (!fStop) {
    if (WaitSocket(fListen, kSliceMs) <= 0) continue;
    const int s = AcceptSocket(fListen);
    if (s < 0) continue;
    ++fConnections;
    std::lock_guard lock(fLock);
    fSockets.push_back(s);
    fThreads.emplace_back([this, s] { Serve(s); });
  }
}

bool TcpTestPeer::ReadSome(int aSocket, int aWaitMs) {
  if (WaitSocket(aSocket, aWaitMs) <= 0) return true;
  char buffer[4096];
  const long n = ReceiveSome(aSocket, buffer, sizeof buffer);
  if (n <= 0) return false;
  std::lock_guard lock(fLock);
  fReceived.append(buffer, static_cast<size_t>(n));
  return true;
}

void TcpTestPeer::Serve(int aSocket) {
  bool open = true;
  // The request: every byte up to the awaited text.
  const size_t before = Received().size();
  while (open && !fStop && !fScript.AwaitRequest.empty() &&
         Received().find(fScript.AwaitRequest, before) == std::string::npos)
    open = ReadSome(aSocket, kSliceMs);

  for (const Step& step : fScript.Steps) {
    const auto sendAt = std::chrono::steady_clock::now() + step.Pause;
    while (!fStop && std::chrono::steady_clock::now() < sendAt)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (fStop) break;
    SendSome(aSocket, step.Bytes.data(), step.Bytes.size());
  }

  switch (fScript.Finish) {
    case End::Reset: {
      SetAbortiveClose(aSocket);
      {
        std::lock_guard lock(fLock);
        for (int& s : fSockets)
          if (s == aSocket) s = -1;
      }
      CloseSocket(aSocket);
      ++fFinished;
      return;
    }
    case End::Close:
      ShutdownWrite(aSocket);
      break;
    case End::StayOpen:
      break;
  }
  ++fFinished;
  while (open && !fStop) open = ReadSome(aSocket, kSliceMs);
}

}  // namespace zvtest
