#include "http/CurlSessionShare.h"

#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace zv {

namespace {

class Share {
 public:
  Share() : fHandle(curl_share_init()) {
    if (fHandle == nullptr) return;
    curl_share_setopt(fHandle, CURLSHOPT_LOCKFUNC, &Share::Lock);
    curl_share_setopt(fHandle, CURLSHOPT_UNLOCKFUNC, &Share::Unlock);
    curl_share_setopt(fHandle, CURLSHOPT_USERDATA, this);
    if (curl_share_setopt(fHandle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK ||
        curl_share_setopt(fHandle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
      curl_share_cleanup(fHandle);
      fHandle = nullptr;
    }
  }
  Share(const Share&) = delete;
  Share& operator=(const Share&) = delete;

  // False while a handle still uses the share (a request running at unload): it is
  // then left alive, locks included.
  bool Cleanup() { return fHandle == nullptr || curl_share_cleanup(fHandle) == CURLSHE_OK; }

  CURLSH* Handle() const { return fHandle; }

 private:
  static std::mutex& MutexFor(void* aSelf, curl_lock_data aData) {
    auto* self = static_cast<Share*>(aSelf);
    const size_t index = static_cast<size_t>(aData) < self->fLocks.size() ? static_cast<size_t>(aData) : 0;
    return self->fLocks[index];
  }
  static void Lock(CURL*, curl_lock_data aData, curl_lock_access, void* aSelf) { MutexFor(aSelf, aData).lock(); }
  static void Unlock(CURL*, curl_lock_data aData, void* aSelf) { MutexFor(aSelf, aData).unlock(); }

  CURLSH* fHandle;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> fLocks;
};

// Every share lives until the library is unloaded.
struct Shares {
  std::mutex Lock;
  std::map<std::string, std::unique_ptr<Share>> ByTrust;
  ~Shares() {
    for (auto& entry : ByTrust)
      if (!entry.second->Cleanup()) (void)entry.second.release();
  }
};

// A CA file replaced in place (same path, new certificates) is another trust.
std::string TrustKey(bool aVerify, const std::string& aCaFile) {
  if (!aVerify) return "no verification";
  if (aCaFile.empty()) return "system";
  std::error_code error;
  const auto size = std::filesystem::file_size(aCaFile, error);
  const auto stamp = std::filesystem::last_write_time(aCaFile, error).time_since_epoch().count();
  return "system\n" + aCaFile + '\n' + std::to_string(error ? 0 : size) + '\n' + std::to_string(error ? 0 : stamp);
}

}  // namespace

CURLSH* CurlSessionShare(bool aVerify, const std::string& aCaFile) {
  static Shares shares;
  const std::string key = TrustKey(aVerify, aCaFile);
  std::lock_guard guard(shares.Lock);
  auto& share = shares.ByTrust[key];
  if (!share) share = std::make_unique<Share>();
  return share->Handle();
}

}  // namespace zv
