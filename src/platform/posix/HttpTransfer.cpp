// HTTP transfers over libcurl. The Https mode drives one easy handle whose settings are
// applied once; the PlainHttp mode drives its easy handle through a multi handle of its
// own, so that its read time-out is kept to the millisecond.

#include "platform/HttpTransfer.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace zv::platform {

static_assert(kHttpUnsupportedProtocol == static_cast<int32_t>(CURLE_UNSUPPORTED_PROTOCOL) &&
              kHttpCouldNotConnect == static_cast<int32_t>(CURLE_COULDNT_CONNECT) &&
              kHttpCouldNotResolveHost == static_cast<int32_t>(CURLE_COULDNT_RESOLVE_HOST) &&
              kHttpWriteError == static_cast<int32_t>(CURLE_WRITE_ERROR) &&
              kHttpOutOfMemory == static_cast<int32_t>(CURLE_OUT_OF_MEMORY) &&
              kHttpTimedOut == static_cast<int32_t>(CURLE_OPERATION_TIMEDOUT) &&
              kHttpAborted == static_cast<int32_t>(CURLE_ABORTED_BY_CALLBACK) &&
              kHttpGotNothing == static_cast<int32_t>(CURLE_GOT_NOTHING) &&
              kHttpSendError == static_cast<int32_t>(CURLE_SEND_ERROR) &&
              kHttpRecvError == static_cast<int32_t>(CURLE_RECV_ERROR) &&
              kHttpPeerFailedVerification == static_cast<int32_t>(CURLE_PEER_FAILED_VERIFICATION) &&
              kHttpCaFileUnusable == static_cast<int32_t>(CURLE_SSL_CACERT_BADFILE) &&
              kHttpCouldNotResolveProxy == static_cast<int32_t>(CURLE_COULDNT_RESOLVE_PROXY) &&
              kHttpTlsConnectError == static_cast<int32_t>(CURLE_SSL_CONNECT_ERROR));

bool KeepTlsStateUntilProcessEnd() { return OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1; }

namespace {

void EnsureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlEasyDeleter {
  void operator()(CURL* a) const { curl_easy_cleanup(a); }
};
struct SlistDeleter {
  void operator()(curl_slist* a) const { curl_slist_free_all(a); }
};
struct BioDeleter {
  void operator()(BIO* a) const { BIO_free(a); }
};
struct X509Deleter {
  void operator()(X509* a) const { X509_free(a); }
};

std::string TrimRight(std::string aText) {
  while (!aText.empty() && (aText.back() == '\r' || aText.back() == '\n' || aText.back() == ' ')) aText.pop_back();
  return aText;
}

// The header lines of a request: no "Expect: 100-continue" round for larger bodies,
// the Content-Type (an empty one removes libcurl's own form type), then the caller's.
std::unique_ptr<curl_slist, SlistDeleter> HeaderLines(const HttpTransfer::Request& aRequest) {
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  auto append = [&headers](const std::string& aLine) {
    curl_slist* next = curl_slist_append(headers.get(), aLine.c_str());
    if (next) {
      (void)headers.release();
      headers.reset(next);
    }
  };
  append("Expect:");
  append(aRequest.ContentType.empty() ? "Content-Type:" : "Content-Type: " + aRequest.ContentType);
  for (const auto& [name, value] : aRequest.Fields) append(value.empty() ? name + ";" : name + ": " + value);
  return headers;
}

// The certificates a client trusts: the system's bundle, plus those of an extra CA
// file. Loading the system's bundle costs more processor time than everything else
// of a payment, and every request has a fresh client, so the stores are built once
// per process (per extra file as it is on disk) and shared; OpenSSL counts their
// references and only reads them during handshakes.
class TrustStores {
 public:
  // A file replaced in place (same path, new certificate) gets a store of its own. One
  // look at the file, made once for a client's request.
  static std::string Key(const std::string& aCaFile) {
    if (aCaFile.empty()) return std::string();
    struct stat info {};
    if (::stat(aCaFile.c_str(), &info) != 0) return aCaFile + "\n0\n0";
    return aCaFile + '\n' + std::to_string(info.st_size) + '\n' + std::to_string(info.st_mtim.tv_sec) + '.' +
           std::to_string(info.st_mtim.tv_nsec);
  }

  // A new reference to the store for aCaFile ("" for the system's bundle only) as Key
  // gave aKey for it, or null with aError set.
  static X509_STORE* Acquire(const std::string& aCaFile, const std::string& aKey, std::string& aError) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<X509_STORE, StoreDeleter>> stores;
    const std::string& key = aKey;
    std::lock_guard guard(lock);
    auto it = stores.find(key);
    if (it == stores.end()) {
      std::unique_ptr<X509_STORE, StoreDeleter> store(Build(aCaFile, aError));
      if (!store) return nullptr;
      it = stores.emplace(key, std::move(store)).first;
    }
    X509_STORE_up_ref(it->second.get());
    return it->second.get();
  }

 private:
  struct StoreDeleter {
    void operator()(X509_STORE* a) const { X509_STORE_free(a); }
  };


  static X509_STORE* Build(const std::string& aCaFile, std::string& aError) {
    std::unique_ptr<X509_STORE, StoreDeleter> store(X509_STORE_new());
    if (!store) {
      aError = "Cannot create a certificate store";
      return nullptr;
    }
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    const bool loaded = curl->cainfo != nullptr ? X509_STORE_load_file(store.get(), curl->cainfo) == 1
                                                : X509_STORE_set_default_paths(store.get()) == 1;
    if (curl->capath != nullptr) X509_STORE_load_path(store.get(), curl->capath);
    if (!loaded && curl->capath == nullptr) {
      aError = "Cannot read the system's certificate bundle";
      return nullptr;
    }
    if (!aCaFile.empty() && !AddFile(store.get(), aCaFile, aError)) return nullptr;
    return store.release();
  }

  // A file that cannot be read or holds no certificate fails the connection instead
  // of silently trusting less or more.
  static bool AddFile(X509_STORE* aStore, const std::string& aCaFile, std::string& aError) {
    std::unique_ptr<BIO, BioDeleter> file(BIO_new_file(aCaFile.c_str(), "r"));
    if (!file) {
      aError = "Cannot read the CA file " + aCaFile;
      return false;
    }
    int added = 0;
    for (;;) {
      std::unique_ptr<X509, X509Deleter> certificate(PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr));
      if (!certificate) break;
      if (X509_STORE_add_cert(aStore, certificate.get()) != 1) {
        aError = "Cannot add a certificate of the CA file " + aCaFile;
        return false;
      }
      ++added;
    }
    if (added == 0) {
      aError = "No PEM certificate in the CA file " + aCaFile;
      return false;
    }
    return true;
  }
};

// The libcurl easy handle of an Https transfer with what its callbacks fill.
struct Transport {
  explicit Transport(size_t aLimit) : Body(aLimit) {}

  std::unique_ptr<CURL, CurlEasyDeleter> Handle;
  char ErrorBuffer[CURL_ERROR_SIZE] = {};
  bool Verify = true;    // the server's certificate is checked
  std::string CaFile;    // extra trusted certificates, fixed when applied
  std::string TrustKey;  // TrustStores::Key of CaFile, taken when applied
  std::string TlsError;  // why the extra certificates could not be used
  CappedBody Body;       // body of the exchange under way
  std::string StatusLine;  // the last status line and its reason phrase
  std::string Reason;
  bool StatusLineSeen = false;
  std::string ProxyReason;         // of the proxy's answer to the tunnel request
  bool TlsVersionRefused = false;  // a protocol_version alert, sent or received

  // The read time-out: once the request is under way, the time since a byte last
  // moved in either direction.
  std::chrono::milliseconds ReadTimeout{0};
  bool Transferring = false;
  bool ReadTimedOut = false;
  bool RequestSent = false;  // connected (TLS included) and the request on its way
  curl_off_t LastUpload = 0;
  std::chrono::steady_clock::time_point LastActivity;

  void StartExchange() {
    Body.Clear();
    StatusLine.clear();
    Reason.clear();
    TlsError.clear();
    StatusLineSeen = false;
    ProxyReason.clear();
    TlsVersionRefused = false;
    Transferring = false;
    ReadTimedOut = false;
    RequestSent = false;
    LastUpload = 0;
    ErrorBuffer[0] = '\0';
  }

  void Activity() { LastActivity = std::chrono::steady_clock::now(); }

  static size_t OnBody(char* aData, size_t aSize, size_t aCount, void* aSelf) {
    auto* self = static_cast<Transport*>(aSelf);
    self->Activity();
    curl_off_t announced = -1;
    curl_easy_getinfo(self->Handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (!self->Body.Append(std::string_view(aData, aSize * aCount), announced)) return 0;  // aborts the transfer
    return aSize * aCount;
  }

  // Called about once a second even while nothing moves. The connection phase is left
  // to the connect time-out; the clock starts when the request is about to be sent.
  static int OnProgress(void* aSelf, curl_off_t, curl_off_t aDownloaded, curl_off_t, curl_off_t aUploaded) {
    auto* self = static_cast<Transport*>(aSelf);
    if (self->ReadTimeout.count() <= 0) return 0;
    if (!self->Transferring) {
      curl_off_t pretransfer = 0;
      curl_easy_getinfo(self->Handle.get(), CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
      if (pretransfer <= 0 && aUploaded == 0 && aDownloaded == 0 && !self->StatusLineSeen) return 0;
      self->Transferring = true;
      self->LastUpload = aUploaded;
      self->Activity();
      return 0;
    }
    if (aUploaded != self->LastUpload) {
      self->LastUpload = aUploaded;
      self->Activity();
    }
    if (std::chrono::steady_clock::now() - self->LastActivity > self->ReadTimeout) {
      self->ReadTimedOut = true;
      return 1;  // aborts the transfer
    }
    return 0;
  }

  // Keeps the last status line ("HTTP/1.1 201 Created") and its reason phrase: an
  // authentication round or an interim answer is followed by the final one. A status
  // line before the request left is a proxy's answer to the tunnel request.
  static size_t OnHeader(char* aData, size_t aSize, size_t aCount, void* aSelf) {
    auto* self = static_cast<Transport*>(aSelf);
    self->Activity();
    std::string_view line(aData, aSize * aCount);
    if (line.starts_with("HTTP/")) {
      size_t code = line.find(' ');
      size_t reason = code == std::string_view::npos ? code : line.find(' ', code + 1);
      std::string_view text = reason == std::string_view::npos ? std::string_view() : line.substr(reason + 1);
      while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
      if (!self->RequestSent) {
        self->ProxyReason = std::string(text);
        return aSize * aCount;
      }
      self->StatusLineSeen = true;
      self->StatusLine = TrimRight(std::string(line));
      self->Reason = std::string(text);
    }
    return aSize * aCount;
  }

  // Notes a protocol_version alert, which either side sends when they share no TLS
  // version.
  static void OnTlsMessage(int, int, int aContentType, const void* aData, size_t aLength, SSL*, void* aSelf) {
    const auto* alert = static_cast<const unsigned char*>(aData);
    if (aContentType == SSL3_RT_ALERT && aLength >= 2 && alert[1] == SSL_AD_PROTOCOL_VERSION)
      static_cast<Transport*>(aSelf)->TlsVersionRefused = true;
  }

  // Watches the handshake for a refused TLS version; when verifying, puts the shared
  // trust store in place of the one libcurl would build.
  static CURLcode OnSslContext(CURL*, void* aSslContext, void* aSelf) {
    auto* self = static_cast<Transport*>(aSelf);
    auto* context = static_cast<SSL_CTX*>(aSslContext);
    SSL_CTX_set_msg_callback(context, &Transport::OnTlsMessage);
    SSL_CTX_set_msg_callback_arg(context, self);
    if (!self->Verify) return CURLE_OK;
    X509_STORE* store = TrustStores::Acquire(self->CaFile, self->TrustKey, self->TlsError);
    if (store == nullptr) return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set_cert_store(context, store);  // takes the reference
    return CURLE_OK;
  }
};

// What libcurl's fresh handles of this process share: TLS sessions and resolved host
// names, never connections. Each request still makes a connection of its own, but
// its handshake resumes the session of an earlier one instead of repeating the
// certificate exchange and checks, as one long-lived handle would.

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

  // The next share left alive for a request still running at unload (see Shares).
  Share* NextLeftAlive = nullptr;

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

// Shares that a request still used when the library was unloaded (the process exiting
// during a call): chained from a plain pointer, so that no exit-time destructor frees
// them under that request and a leak checker still reaches them.
Share* gSharesLeftAlive = nullptr;

// Every share lives until the library is unloaded.
struct Shares {
  std::mutex Lock;
  std::map<std::string, std::unique_ptr<Share>> ByTrust;
  ~Shares() {
    for (auto& entry : ByTrust) {
      if (entry.second->Cleanup()) continue;
      entry.second->NextLeftAlive = gSharesLeftAlive;
      gSharesLeftAlive = entry.second.release();
    }
  }
};

// The share for handles of one trust configuration; null when none can be made (the
// handle then goes without).
CURLSH* SessionShareFor(bool aVerify, const std::string& aTrustKey) {
  static Shares shares;
  // A session is resumed only under the trust it was made with; a CA file replaced in
  // place is another trust.
  const std::string key = aVerify ? "verified\n" + aTrustKey : std::string("no verification");
  std::lock_guard guard(shares.Lock);
  auto& share = shares.ByTrust[key];
  if (!share) share = std::make_unique<Share>();
  return share->Handle();
}

// The multi handle that Https exchanges are driven through, kept between requests: each
// request has a fresh easy handle, and libcurl's easy interface would make a multi
// handle for each, with a wake-up socket pair of its own. It carries nothing from one
// request to the next: connections end with their exchange (CURLOPT_FORBID_REUSE), and
// TLS sessions and names go through the shares. One is kept idle; a request made while
// another runs (a host calling from several threads) gets one of its own.
class IdleMulti {
 public:
  static CURLM* Take() {
    if (CURLM* idle = Slot().exchange(nullptr)) return idle;
    return curl_multi_init();
  }
  static void Give(CURLM* aMulti) {
    CURLM* empty = nullptr;
    if (!Slot().compare_exchange_strong(empty, aMulti)) curl_multi_cleanup(aMulti);
  }

 private:
  // Plain storage: a request still running while the library is unloaded (the host
  // exiting during a call) gives its handle back after the clean-up without touching
  // freed memory.
  static std::atomic<CURLM*>& Slot() {
    static std::atomic<CURLM*> slot{nullptr};
    static const struct CleanUp {
      ~CleanUp() {
        if (CURLM* idle = slot.exchange(nullptr)) curl_multi_cleanup(idle);
      }
    } cleanUp;
    return slot;
  }
};

// Performs the exchange set up on aHandle as curl_easy_perform does, through the kept
// multi handle: waits on the connection, wakes about once a second while it is silent
// (so that the progress callback keeps the read time-out).
CURLcode PerformThroughMulti(CURL* aHandle) {
  CURLM* multi = IdleMulti::Take();
  if (multi == nullptr) return CURLE_OUT_OF_MEMORY;
  if (curl_multi_add_handle(multi, aHandle) != CURLM_OK) {
    IdleMulti::Give(multi);
    return CURLE_OUT_OF_MEMORY;
  }
  CURLcode code = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      code = CURLE_OUT_OF_MEMORY;
      break;
    }
    if (running == 0) {
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &left))
        if (message->msg == CURLMSG_DONE && message->easy_handle == aHandle) code = message->data.result;
      break;
    }
    if (curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK) {
      code = CURLE_OUT_OF_MEMORY;
      break;
    }
  }
  curl_multi_remove_handle(multi, aHandle);
  IdleMulti::Give(multi);
  return code;
}

// The Https mode: settings applied to the easy handle once, before its first exchange.
class HttpsTransfer {
 public:
  HttpsTransfer() : fHttp(HttpTransfer::Settings().MaxBodyBytes) {
    EnsureCurlInitialised();
    fHttp.Handle.reset(curl_easy_init());
  }

  bool Usable() const { return fHttp.Handle != nullptr; }

  void Configure(const HttpTransfer::Settings& aSettings) {
    fSettings = aSettings;
    fApplied = false;
  }

  void ApplySettings() {
    CURL* h = fHttp.Handle.get();
    const HttpTransfer::Settings& s = fSettings;
    fHttp.Body = CappedBody(s.MaxBodyBytes);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, fHttp.ErrorBuffer);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    // A URL without a scheme (an address and port) is taken as HTTPS, never as plain
    // HTTP that would carry credentials in clear text.
    curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "https");
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transport::OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &fHttp);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Transport::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &fHttp);

    // The connect time-out covers TCP and TLS; the read time-out is the time without
    // a byte moving once the request is under way.
    if (s.ConnectTimeoutMs > 0) curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s.ConnectTimeoutMs));
    fHttp.ReadTimeout = std::chrono::milliseconds(s.ReadTimeoutMs > 0 ? s.ReadTimeoutMs : 0);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Transport::OnProgress);
    // Called once the connection (TLS included) stands, just before the request
    // leaves: the line between "not sent" and "outcome unknown".
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, +[](void* aSelf, char*, char*, int, int) {
      static_cast<Transport*>(aSelf)->RequestSent = true;
      return static_cast<int>(CURL_PREREQFUNC_OK);
    });
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &fHttp);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &fHttp);

    // No Accept-Charset, Accept-Language or Accept-Encoding is sent (libcurl adds none),
    // so no compressed answer is asked for.
    if (!s.UserAgent.empty()) curl_easy_setopt(h, CURLOPT_USERAGENT, s.UserAgent.c_str());
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);

    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, s.TlsVerify ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, s.TlsVerify ? 2L : 0L);
    // Whatever the system's OpenSSL configuration allows: older versions are broken.
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    ApplyProxy(h, s);

    // A connection serves one request only: a POST is never resent by the transport on
    // a connection the server may have closed. Handshakes resume the TLS session of an
    // earlier request made under the same trust.
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    fHttp.TrustKey = s.TlsVerify ? TrustStores::Key(s.TlsCaFile) : std::string();
    if (CURLSH* share = SessionShareFor(s.TlsVerify, fHttp.TrustKey)) curl_easy_setopt(h, CURLOPT_SHARE, share);
    fHttp.Verify = s.TlsVerify;
    if (s.TlsVerify) {
      // libcurl loads no bundle of its own: the callback installs the shared store of
      // the system's bundle plus TlsCaFile.
      fHttp.CaFile = s.TlsCaFile;
      curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
      curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    // The multi handle is kept from request to request (IdleMulti): it must not keep a
    // store of an earlier request's trust and put it in place of this one's.
    curl_easy_setopt(h, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &Transport::OnSslContext);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &fHttp);

    switch (s.Authentication) {
      case HttpTransfer::Auth::Basic:
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(h, CURLOPT_USERNAME, s.User.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, s.Password.c_str());
        break;
      case HttpTransfer::Auth::Digest:
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
        curl_easy_setopt(h, CURLOPT_USERNAME, s.User.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, s.Password.c_str());
        break;
      case HttpTransfer::Auth::Bearer:
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BEARER));
        curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, s.Bearer.c_str());
        break;
      case HttpTransfer::Auth::None:
        break;
    }
    fApplied = true;
  }

  HttpTransfer::Result Perform(const HttpTransfer::Request& aRequest) {
    if (!fApplied) ApplySettings();
    CURL* h = fHttp.Handle.get();
    fHttp.StartExchange();
    std::unique_ptr<curl_slist, SlistDeleter> headers = HeaderLines(aRequest);

    curl_easy_setopt(h, CURLOPT_URL, aRequest.Url.c_str());
    if (aRequest.Body) {
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(aRequest.Body->size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, aRequest.Body->data());
    } else {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    CURLcode code = PerformThroughMulti(h);

    // The handle must not keep pointers to what dies with this call.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    if (aRequest.Body) curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);

    HttpTransfer::Result result(fSettings.MaxBodyBytes);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    result.Answered = status > 0 && fHttp.StatusLineSeen;
    result.RequestSent = fHttp.RequestSent || result.Answered;
    result.Status = static_cast<int32_t>(status);
    result.StatusLine = fHttp.StatusLine;
    result.Reason = fHttp.Reason;
    if (result.Answered && code == CURLE_OK) {
      char* contentType = nullptr;
      if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType) {
        result.ContentType = contentType;
      }
    }
    if (code != CURLE_OK) {
      result.FailureCode = static_cast<int32_t>(code);
      if (!result.RequestSent) ExplainRefusal(code, aRequest.Url, result);
      if (fHttp.Body.Refused()) {
        result.FailureText = fHttp.Body.FailureText();
      } else if (fHttp.ReadTimedOut) {
        result.FailureCode = kHttpTimedOut;
        result.ReadTimedOut = true;
      } else if (!fHttp.TlsError.empty()) {
        result.FailureText = FromUtf8(fHttp.TlsError);
      } else if (fHttp.ErrorBuffer[0] != '\0') {
        result.FailureText = FromUtf8(fHttp.ErrorBuffer);
      } else {
        result.FailureText = FromUtf8(curl_easy_strerror(code));
      }
    }
    result.Body = std::move(fHttp.Body);
    fHttp.Body = CappedBody(fSettings.MaxBodyBytes);
    return result;
  }

  // The proxy of the settings: the named one with its credentials, none, or the
  // environment's (libcurl's own choice). An explicit choice overrides no_proxy too.
  static void ApplyProxy(CURL* aHandle, const HttpTransfer::Settings& s) {
    switch (s.Proxy) {
      case HttpTransfer::Settings::ProxyRoute::System: break;
      case HttpTransfer::Settings::ProxyRoute::Direct:
        curl_easy_setopt(aHandle, CURLOPT_PROXY, "");
        curl_easy_setopt(aHandle, CURLOPT_NOPROXY, "*");
        break;
      case HttpTransfer::Settings::ProxyRoute::Named:
        curl_easy_setopt(aHandle, CURLOPT_PROXY, ("http://" + s.ProxyHost).c_str());
        curl_easy_setopt(aHandle, CURLOPT_NOPROXY, "");
        if (!s.ProxyUser.empty()) {
          curl_easy_setopt(aHandle, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
          curl_easy_setopt(aHandle, CURLOPT_PROXYUSERNAME, s.ProxyUser.c_str());
          curl_easy_setopt(aHandle, CURLOPT_PROXYPASSWORD, s.ProxyPassword.c_str());
        }
        break;
    }
  }

  // What refused an exchange before its request left, when it was the proxy or the
  // server's TLS version.
  void ExplainRefusal(CURLcode aCode, const std::string& aUrl, HttpTransfer::Result& aResult) {
    long tunnel = 0;
    curl_easy_getinfo(fHttp.Handle.get(), CURLINFO_HTTP_CONNECTCODE, &tunnel);
    const std::string proxy = ProxyName();
    if (tunnel != 0 && (tunnel < 200 || tunnel > 299)) {
      aResult.ProxyFailed = true;
      aResult.ProxyName = proxy;
      aResult.ProxyStatus = static_cast<int32_t>(tunnel);
      aResult.ProxyReason = fHttp.ProxyReason;
    } else if (aCode == CURLE_COULDNT_RESOLVE_PROXY || (aCode == CURLE_COULDNT_CONNECT && ProxyCertain())) {
      aResult.ProxyFailed = true;
      aResult.ProxyName = proxy;
    } else if (fHttp.TlsVersionRefused) {
      aResult.TlsTooOld = true;
      aResult.ServerTls = OlderTlsOf(aUrl);
    }
  }

  // The proxy an exchange goes through ("host:port"), empty when none is set.
  std::string ProxyName() const {
    switch (fSettings.Proxy) {
      case HttpTransfer::Settings::ProxyRoute::Named: return fSettings.ProxyHost;
      case HttpTransfer::Settings::ProxyRoute::Direct: return std::string();
      case HttpTransfer::Settings::ProxyRoute::System: break;
    }
    // libcurl's order for an https URL.
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      const char* value = std::getenv(name);
      if (value != nullptr && *value != '\0') return HostOfProxyUrl(value);
    }
    return std::string();
  }

  // Whether every exchange goes through the proxy: a failure to connect is then the
  // proxy's. With no_proxy set, libcurl may have gone to the server itself.
  bool ProxyCertain() const {
    if (fSettings.Proxy != HttpTransfer::Settings::ProxyRoute::System) return !ProxyName().empty();
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
      const char* value = std::getenv(name);
      if (value != nullptr && *value != '\0') return false;
    }
    return !ProxyName().empty();
  }

  // "host:port" of a proxy URL, without scheme, credentials or path.
  static std::string HostOfProxyUrl(std::string_view aUrl) {
    if (const size_t scheme = aUrl.find("://"); scheme != std::string_view::npos) aUrl.remove_prefix(scheme + 3);
    aUrl = aUrl.substr(0, aUrl.find('/'));
    if (const size_t at = aUrl.rfind('@'); at != std::string_view::npos) aUrl.remove_prefix(at + 1);
    return std::string(aUrl);
  }

  // The TLS version older than 1.2 that the server completes a handshake with, through
  // the same proxy ("TLS 1.1", "TLS 1.0"); empty when none. Only the handshake is made:
  // nothing is sent over it, so neither the security level nor the certificate matters.
  std::string OlderTlsOf(const std::string& aUrl) const {
    std::unique_ptr<CURL, CurlEasyDeleter> probe(curl_easy_init());
    if (!probe) return std::string();
    CURL* h = probe.get();
    curl_easy_setopt(h, CURLOPT_URL, aUrl.c_str());
    curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "https");
    curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SSLVERSION,
                     static_cast<long>(CURL_SSLVERSION_TLSv1_0) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_1));
    curl_easy_setopt(h, CURLOPT_SSL_CIPHER_LIST, "DEFAULT:@SECLEVEL=0");
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    if (fSettings.ConnectTimeoutMs > 0)
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(fSettings.ConnectTimeoutMs));
    ApplyProxy(h, fSettings);
    int version = 0;
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &version);
    curl_easy_setopt(
        h, CURLOPT_SSL_CTX_FUNCTION, +[](CURL*, void* aSslContext, void* aVersion) {
          auto* context = static_cast<SSL_CTX*>(aSslContext);
          SSL_CTX_set_app_data(context, aVersion);
          SSL_CTX_set_info_callback(context, [](const SSL* aSsl, int aWhere, int) {
            if ((aWhere & SSL_CB_HANDSHAKE_DONE) != 0)
              *static_cast<int*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(aSsl))) = SSL_version(aSsl);
          });
          return CURLE_OK;
        });
    if (curl_easy_perform(h) != CURLE_OK) return std::string();
    switch (version) {
      case TLS1_VERSION: return "TLS 1.0";
      case TLS1_1_VERSION: return "TLS 1.1";
      default: return std::string();
    }
  }

  bool Connected() {
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (!fHttp.Handle || curl_easy_getinfo(fHttp.Handle.get(), CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK) return false;
    return socket != CURL_SOCKET_BAD;
  }

  // A fresh easy handle has no connection; the settings go to it at the next exchange.
  void Close() {
    fHttp.Handle.reset(curl_easy_init());
    fApplied = false;
  }

 private:
  Transport fHttp;
  HttpTransfer::Settings fSettings;
  bool fApplied = false;
};

// The PlainHttp mode: one easy handle restricted to plain http, driven through a multi
// handle of its own so that the read time-out is kept to the millisecond (the easy
// interface looks at a silent transfer about once a second). The connection stays
// open between exchanges; every exchange applies the settings afresh.
class PlainTransfer {
 public:
  PlainTransfer() { EnsureCurlInitialised(); }
  ~PlainTransfer() { Close(); }
  PlainTransfer(const PlainTransfer&) = delete;
  PlainTransfer& operator=(const PlainTransfer&) = delete;

  void Configure(const HttpTransfer::Settings& aSettings) { fSettings = aSettings; }

  // The easy handle stays attached to the multi handle after an exchange: the
  // connection is found through it.
  bool Connected() {
    if (fHandle == nullptr || !fAttached) return false;
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(fHandle, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK) return false;
    return socket != CURL_SOCKET_BAD;
  }

  // Closes the connection: the multi handle keeps it, and fresh handles have none.
  void Close() {
    Detach();
    if (fHandle != nullptr) curl_easy_cleanup(fHandle);
    fHandle = nullptr;
    if (fMulti != nullptr) curl_multi_cleanup(fMulti);
    fMulti = nullptr;
  }

  HttpTransfer::Result Perform(const HttpTransfer::Request& aRequest) {
    const HttpTransfer::Settings& s = fSettings;
    HttpTransfer::Result outcome(s.MaxBodyBytes);
    if (fMulti == nullptr) fMulti = curl_multi_init();
    if (fHandle == nullptr) fHandle = curl_easy_init();
    if (fHandle == nullptr || fMulti == nullptr) {
      outcome.FailureCode = kHttpOutOfMemory;
      outcome.FailureText = u"Out of memory";
      return outcome;
    }
    CURL* h = fHandle;
    Detach();
    curl_easy_reset(h);

    Transfer transfer(s.MaxBodyBytes);
    transfer.Handle = h;

    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, SlistDeleter> headers = HeaderLines(aRequest);

    curl_easy_setopt(h, CURLOPT_URL, aRequest.Url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "http");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    if (aRequest.Body) {
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, aRequest.Body->data());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(aRequest.Body->size()));
    } else {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    if (s.ConnectTimeoutMs > 0) curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s.ConnectTimeoutMs));
    if (!s.UserAgent.empty()) curl_easy_setopt(h, CURLOPT_USERAGENT, s.UserAgent.c_str());

    switch (s.Authentication) {
      case HttpTransfer::Auth::Basic:
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        break;
      case HttpTransfer::Auth::Digest:
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
        break;
      case HttpTransfer::Auth::Bearer:
      case HttpTransfer::Auth::None:
        break;
    }
    if (s.Authentication == HttpTransfer::Auth::Basic || s.Authentication == HttpTransfer::Auth::Digest) {
      curl_easy_setopt(h, CURLOPT_USERNAME, s.User.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, s.Password.c_str());
    }

    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, +[](char* aData, size_t aSize, size_t aCount, void* aUser) {
      auto* t = static_cast<Transfer*>(aUser);
      curl_off_t announced = -1;
      curl_easy_getinfo(t->Handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
      if (!t->Body.Append(std::string_view(aData, aSize * aCount), announced)) return size_t{0};  // aborts
      return aSize * aCount;
    });
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, +[](char* aData, size_t aSize, size_t aCount, void* aUser) {
      const std::string_view line(aData, aSize * aCount);
      if (line.starts_with("HTTP/")) static_cast<Transfer*>(aUser)->StatusLine = TrimRight(std::string(line));
      return aSize * aCount;
    });
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    // The read time-out: once a request is on its way, the longest wait without any
    // byte moving in either direction.
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, +[](void* aUser, char*, char*, int, int) {
      auto* t = static_cast<Transfer*>(aUser);
      t->RequestSent = true;
      t->LastActivity = Clock::now();
      return static_cast<int>(CURL_PREREQFUNC_OK);
    });
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer);

    const CURLcode code = Run(transfer, s.ReadTimeoutMs);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    // Nothing must point at this frame after it returns.
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);

    outcome.Answered = status > 0;
    outcome.RequestSent = transfer.RequestSent || outcome.Answered;
    outcome.Status = static_cast<int32_t>(status);
    outcome.StatusLine = transfer.StatusLine;
    const size_t code_end = transfer.StatusLine.find(' ');
    const size_t reason = code_end == std::string::npos ? code_end : transfer.StatusLine.find(' ', code_end + 1);
    if (reason != std::string::npos) outcome.Reason = transfer.StatusLine.substr(reason + 1);
    if (code != CURLE_OK) {
      outcome.FailureCode = static_cast<int32_t>(code);
      if (transfer.Body.Refused())
        outcome.FailureText = transfer.Body.FailureText();
      else if (transfer.TimedOut)
        outcome.ReadTimedOut = true;
      else
        outcome.FailureText = FromUtf8(errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code));
    }
    outcome.Body = std::move(transfer.Body);
    return outcome;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // What the callbacks of one exchange fill in.
  struct Transfer {
    explicit Transfer(size_t aLimit) : Body(aLimit) {}
    CURL* Handle = nullptr;
    CappedBody Body;
    std::string StatusLine;
    bool RequestSent = false;  // a connection is open and the request is on its way
    Clock::time_point LastActivity;
    curl_off_t Seen = -1;  // bytes moved so far, headers included
    bool TimedOut = false;
  };

  // Performs the transfer set up on fHandle. The read time-out counts from the moment
  // the request is about to be sent, and again from every byte that moves either way.
  CURLcode Run(Transfer& aTransfer, int32_t aReadTimeoutMs) {
    CURL* h = aTransfer.Handle;
    if (curl_multi_add_handle(fMulti, h) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
    fAttached = true;
    const std::chrono::milliseconds limit(aReadTimeoutMs);
    for (;;) {
      int running = 0;
      if (curl_multi_perform(fMulti, &running) != CURLM_OK) {
        Detach();
        return CURLE_OUT_OF_MEMORY;
      }
      if (running == 0) break;
      auto wait = std::chrono::milliseconds(1000);
      if (aTransfer.RequestSent && limit.count() > 0) {
        const auto now = Clock::now();
        const curl_off_t moved = BytesMoved(h);
        if (moved != aTransfer.Seen) {
          aTransfer.Seen = moved;
          aTransfer.LastActivity = now;
        }
        const auto idle = now - aTransfer.LastActivity;
        if (idle >= limit) {
          aTransfer.TimedOut = true;
          Detach();  // ends the transfer and closes its connection
          return CURLE_OPERATION_TIMEDOUT;
        }
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(limit - idle));
      }
      if (curl_multi_poll(fMulti, nullptr, 0, static_cast<int>(wait.count()), nullptr) != CURLM_OK) {
        Detach();
        return CURLE_OUT_OF_MEMORY;
      }
    }
    CURLcode code = CURLE_OK;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(fMulti, &left))
      if (message->msg == CURLMSG_DONE && message->easy_handle == h) code = message->data.result;
    return code;
  }

  static curl_off_t BytesMoved(CURL* aHandle) {
    curl_off_t uploaded = 0, downloaded = 0;
    long headers = 0;
    curl_easy_getinfo(aHandle, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    curl_easy_getinfo(aHandle, CURLINFO_SIZE_DOWNLOAD_T, &downloaded);
    curl_easy_getinfo(aHandle, CURLINFO_HEADER_SIZE, &headers);
    return uploaded + downloaded + headers;
  }

  void Detach() {
    if (fAttached) curl_multi_remove_handle(fMulti, fHandle);
    fAttached = false;
  }

  HttpTransfer::Settings fSettings;
  CURLM* fMulti = nullptr;
  bool fAttached = false;  // fHandle is attached to fMulti
  CURL* fHandle = nullptr;
};

}  // namespace

struct HttpTransfer::Impl {
  explicit Impl(Mode aMode) {
    if (aMode == Mode::Https)
      Https = std::make_unique<HttpsTransfer>();
    else
      Plain = std::make_unique<PlainTransfer>();
  }
  std::unique_ptr<HttpsTransfer> Https;
  std::unique_ptr<PlainTransfer> Plain;
};

HttpTransfer::HttpTransfer(Mode aMode) : fImpl(std::make_unique<Impl>(aMode)) {}
HttpTransfer::~HttpTransfer() = default;

bool HttpTransfer::Usable() const { return fImpl->Https ? fImpl->Https->Usable() : true; }

void HttpTransfer::Configure(const Settings& aSettings) {
  if (fImpl->Https)
    fImpl->Https->Configure(aSettings);
  else
    fImpl->Plain->Configure(aSettings);
}

HttpTransfer::Result HttpTransfer::Perform(const Request& aRequest) {
  return fImpl->Https ? fImpl->Https->Perform(aRequest) : fImpl->Plain->Perform(aRequest);
}

bool HttpTransfer::Connected() { return fImpl->Https ? fImpl->Https->Connected() : fImpl->Plain->Connected(); }

void HttpTransfer::Close() {
  if (fImpl->Https)
    fImpl->Https->Close();
  else
    fImpl->Plain->Close();
}

}  // namespace zv::platform
