#pragma once
// What the system halves of the socket code share: a deadline counted in milliseconds,
// and a call bounded by one. Nothing here knows the operating system.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace zv::platform::detail {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // aTimeoutMs from now; 0 or less: no deadline.
  explicit Deadline(int aTimeoutMs)
      : fLimited(aTimeoutMs > 0), fAt(Clock::now() + std::chrono::milliseconds(fLimited ? aTimeoutMs : 0)) {}

  bool Limited() const { return fLimited; }
  Clock::time_point At() const { return fAt; }
  // Milliseconds left for a system wait: -1 without a deadline, never below 0.
  int RemainingMs() const {
    if (!fLimited) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(fAt - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

 private:
  bool fLimited;
  Clock::time_point fAt;
};

// Runs aWork on a helper thread and waits for its result until aDeadline; nothing when
// the deadline passed first. A call still running then is abandoned, not waited for:
// aWork owns copies of what it uses, the result it makes late is freed with the state
// it shares with this call, and aOnAbandon runs here (the system half keeps the module
// loaded whose code the helper still runs). Without a deadline, or when no thread can
// be started, aWork runs on the caller's thread.
template <typename R>
std::optional<R> CallWithin(const Deadline& aDeadline, std::function<R()> aWork, void (*aOnAbandon)() = nullptr) {
  if (!aDeadline.Limited()) return aWork();
  struct Shared {
    std::mutex Lock;
    std::condition_variable Done;
    std::optional<R> Result;
  };
  auto shared = std::make_shared<Shared>();
  auto work = std::make_shared<std::function<R()>>(std::move(aWork));
  try {
    std::thread([shared, work] {
      R result = (*work)();
      const std::lock_guard<std::mutex> hold(shared->Lock);
      shared->Result.emplace(std::move(result));
      shared->Done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return (*work)();
  }
  std::unique_lock<std::mutex> hold(shared->Lock);
  if (!shared->Done.wait_until(hold, aDeadline.At(), [&] { return shared->Result.has_value(); })) {
    if (aOnAbandon != nullptr) aOnAbandon();
    return std::nullopt;
  }
  return std::move(shared->Result);
}

}  // namespace zv::platform::detail
