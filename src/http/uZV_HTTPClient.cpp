#include "http/uZV_HTTPClient.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>

#include "base/CappedBody.h"
#include "base/Exception.h"
#include "http/CurlSessionShare.h"

namespace zv {

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

// Header texts lose CR, LF and NUL, so that no value can end its header line early
// and smuggle another header or request into the stream.
std::string HeaderSafe(const Text& aText) {
  std::string out = ToUtf8(aText);
  std::erase_if(out, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
  return out;
}

bool ValidHeaderName(const std::string& aName) {
  if (aName.empty()) return false;
  for (unsigned char c : aName) {
    if (c <= 0x20 || c >= 0x7F || c == ':') return false;
  }
  return true;
}

bool SameHeaderName(const std::string& a, const std::string& b) {
  return SameText(FromAscii(a), FromAscii(b));
}

// The certificates a client trusts: the system's bundle, plus those of an extra CA
// file. Loading the system's bundle costs more processor time than everything else
// of a payment, and every request has a fresh client, so the stores are built once
// per process (per extra file as it is on disk) and shared; OpenSSL counts their
// references and only reads them during handshakes.
class TrustStores {
 public:
  // A new reference to the store for aCaFile ("" for the system's bundle only), or
  // null with aError set.
  static X509_STORE* Acquire(const std::string& aCaFile, std::string& aError) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<X509_STORE, StoreDeleter>> stores;
    const std::string key = Key(aCaFile);
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

  // A file replaced in place (same path, new certificate) gets a store of its own.
  static std::string Key(const std::string& aCaFile) {
    if (aCaFile.empty()) return std::string();
    std::error_code error;
    const auto size = std::filesystem::file_size(aCaFile, error);
    const auto stamp = std::filesystem::last_write_time(aCaFile, error).time_since_epoch().count();
    return aCaFile + '\n' + std::to_string(error ? 0 : size) + '\n' + std::to_string(error ? 0 : stamp);
  }

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

bool IsPostSuccessStatus(int32_t aStatus) {
  return (aStatus >= 200 && aStatus <= 299) || (aStatus >= 301 && aStatus <= 308);
}

bool IsGetSuccessStatus(int32_t aStatus) { return aStatus >= 200 && aStatus <= 299; }

}  // namespace

// The libcurl easy handle of one client with what its callbacks fill.
struct ZV_HttpClient::Transport {
  std::unique_ptr<CURL, CurlEasyDeleter> Handle;
  char ErrorBuffer[CURL_ERROR_SIZE] = {};
  std::string CaFile;       // extra trusted certificates, fixed when applied
  std::string TlsError;     // why the extra certificates could not be used
  CappedBody Body{kMaxAnswerBytes};  // body of the exchange under way
  std::string Reason;       // reason phrase of the last status line
  bool StatusLineSeen = false;

  // The read time-out: once the request is under way, the time since a byte last
  // moved in either direction.
  std::chrono::milliseconds ReadTimeout{0};
  bool Transferring = false;
  bool ReadTimedOut = false;
  curl_off_t LastUpload = 0;
  std::chrono::steady_clock::time_point LastActivity;

  void StartExchange() {
    Body.Clear();
    Reason.clear();
    TlsError.clear();
    StatusLineSeen = false;
    Transferring = false;
    ReadTimedOut = false;
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

  // Keeps the reason phrase of the last status line ("HTTP/1.1 201 Created"): an
  // authentication round or an interim answer is followed by the final one.
  static size_t OnHeader(char* aData, size_t aSize, size_t aCount, void* aSelf) {
    auto* self = static_cast<Transport*>(aSelf);
    self->Activity();
    std::string_view line(aData, aSize * aCount);
    if (line.starts_with("HTTP/")) {
      self->StatusLineSeen = true;
      self->Reason.clear();
      size_t code = line.find(' ');
      size_t reason = code == std::string_view::npos ? code : line.find(' ', code + 1);
      if (reason != std::string_view::npos) {
        std::string_view text = line.substr(reason + 1);
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
        self->Reason = std::string(text);
      }
    }
    return aSize * aCount;
  }

  // Puts the shared trust store in place of the one libcurl would build.
  static CURLcode OnSslContext(CURL*, void* aSslContext, void* aSelf) {
    auto* self = static_cast<Transport*>(aSelf);
    X509_STORE* store = TrustStores::Acquire(self->CaFile, self->TlsError);
    if (store == nullptr) return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(aSslContext), store);  // takes the reference
    return CURLE_OK;
  }
};

ZV_HttpClient::ZV_HttpClient() : fHttp(std::make_unique<Transport>()) {
  EnsureCurlInitialised();
  fHttp->Handle.reset(curl_easy_init());
  if (!fHttp->Handle) throw kException(u"Cannot create the HTTP transport");
}

ZV_HttpClient::~ZV_HttpClient() = default;

void ZV_HttpClient::SetRequestHeader(const Text& aKey, const Text& aValue) {
  std::string name = HeaderSafe(aKey);
  if (!ValidHeaderName(name)) return;  // no header line can be built from it
  std::string value = HeaderSafe(aValue);
  for (auto& header : fRequestHeaders) {
    if (SameHeaderName(header.first, name)) {
      header.second = std::move(value);
      return;
    }
  }
  fRequestHeaders.emplace_back(std::move(name), std::move(value));
}

void ZV_HttpClient::ApplySettings() {
  CURL* h = fHttp->Handle.get();
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, fHttp->ErrorBuffer);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // A URL without a scheme (an address and port) is taken as HTTPS, never as plain
  // HTTP that would carry credentials in clear text.
  curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "https");
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transport::OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, fHttp.get());
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Transport::OnHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, fHttp.get());

  // Time-outs in seconds: the connect time-out covers TCP and TLS; the read time-out
  // is the time without a byte moving once the request is under way.
  if (fConnectTimeout > 0) curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(fConnectTimeout));
  fHttp->ReadTimeout = std::chrono::seconds(fReadTimeout > 0 ? fReadTimeout : 0);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Transport::OnProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, fHttp.get());

  // No Accept-Charset, Accept-Language or Accept-Encoding is sent (libcurl adds none),
  // so no compressed answer is asked for.
  if (!fUserAgent.empty()) curl_easy_setopt(h, CURLOPT_USERAGENT, HeaderSafe(fUserAgent).c_str());
  fAppliedContentType = HeaderSafe(fContentType);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);

  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, fTlsVerify ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, fTlsVerify ? 2L : 0L);
  if (fTlsVerify) {
    // libcurl loads no bundle of its own: the callback installs the shared store of
    // the system's bundle plus TlsCaFile.
    fHttp->CaFile = ToUtf8(fTlsCaFile);
    curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &Transport::OnSslContext);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, fHttp.get());
  }

  // A connection serves one request only: a POST is never resent by the transport on
  // a connection the server may have closed. Handshakes resume the TLS session of an
  // earlier request made under the same trust.
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
  if (CURLSH* share = CurlSessionShare(fTlsVerify, fHttp->CaFile)) curl_easy_setopt(h, CURLOPT_SHARE, share);

  switch (fAuthType) {
    case zvHTTPAuthType::at_Basic:
      curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
      curl_easy_setopt(h, CURLOPT_USERNAME, ToUtf8(fUser).c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, ToUtf8(fPassword).c_str());
      break;
    case zvHTTPAuthType::at_Digest:
      curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
      curl_easy_setopt(h, CURLOPT_USERNAME, ToUtf8(fUser).c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, ToUtf8(fPassword).c_str());
      break;
    case zvHTTPAuthType::at_Bearer:
      curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BEARER));
      curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, HeaderSafe(fBearer).c_str());
      break;
    case zvHTTPAuthType::at_None:
      break;
  }
  fHTTPAlreadySet = true;
}

ZV_HttpClient::Exchange ZV_HttpClient::Perform(const std::string& aURL, const std::string* aBody) {
  CURL* h = fHttp->Handle.get();
  fHttp->StartExchange();

  // Header lines of this request: no "Expect: 100-continue" round for larger bodies,
  // the Content-Type fixed by the settings, then the caller's headers.
  curl_slist* list = curl_slist_append(nullptr, "Expect:");
  std::unique_ptr<curl_slist, SlistDeleter> headers(list);
  auto append = [&headers](const std::string& aLine) {
    curl_slist* next = curl_slist_append(headers.get(), aLine.c_str());
    if (next) {
      (void)headers.release();
      headers.reset(next);
    }
  };
  // The Content-Type of the settings is a request header like the others: it goes
  // with every request, a GET included.
  if (!fAppliedContentType.empty()) append("Content-Type: " + fAppliedContentType);
  for (const auto& [name, value] : fRequestHeaders) {
    append(value.empty() ? name + ";" : name + ": " + value);
  }

  curl_easy_setopt(h, CURLOPT_URL, aURL.c_str());
  if (aBody) {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(aBody->size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, aBody->data());
  } else {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

  CURLcode code = curl_easy_perform(h);
  if (fHttp->Body.Refused()) DoWriteLog(tZV_MessageType::let_error, fHttp->Body.LogTitle(), fHttp->Body.ShownPart());

  // The handle must not keep pointers to what dies with this call.
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  if (aBody) curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);

  Exchange result;
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  result.Answered = status > 0 && fHttp->StatusLineSeen;
  result.Status = static_cast<int32_t>(status);
  result.Reason = fHttp->Reason;
  result.BodyRead = result.Answered && code == CURLE_OK;
  if (result.BodyRead) {
    result.Body = fHttp->Body.TakeBytes();
    char* contentType = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType) {
      result.ContentType = contentType;
    }
  }
  if (code != CURLE_OK) {
    result.FailureCode = static_cast<int32_t>(code);
    if (fHttp->Body.Refused()) {
      result.FailureText = fHttp->Body.FailureText();
    } else if (fHttp->ReadTimedOut) {
      result.FailureCode = static_cast<int32_t>(CURLE_OPERATION_TIMEDOUT);
      result.FailureText = u"Read time-out: nothing received for " + IntToText(std::chrono::duration_cast<std::chrono::seconds>(fHttp->ReadTimeout).count()) + u" s";
    } else if (!fHttp->TlsError.empty()) {
      result.FailureText = FromUtf8(fHttp->TlsError);
    } else if (fHttp->ErrorBuffer[0] != '\0') {
      result.FailureText = FromUtf8(fHttp->ErrorBuffer);
    } else {
      result.FailureText = FromUtf8(curl_easy_strerror(code));
    }
  }
  fHttp->Body.Clear();
  return result;
}

bool ZV_HttpClient::Post(const Text& aURL, const Text& aMessage) {
  DoWriteLog(tZV_MessageType::let_info, u"Write", aURL);
  if (!aMessage.empty()) {
    DoWriteLog(tZV_MessageType::let_info, u"Write [" + IntToText(static_cast<int64_t>(aMessage.size())) + u"]",
               aMessage);
  }
  if (!fHTTPAlreadySet) ApplySettings();

  // The three kinds of POST (XML, JSON, any other type) all send the message as UTF-8
  // under the Content-Type of the settings; an empty type sends the form type.
  const std::string body = ToUtf8(aMessage);
  Exchange exchange = Perform(ToUtf8(aURL), &body);
  fLastFailureText = exchange.BodyRead ? Text() : exchange.FailureText;

  bool result = false;
  if (exchange.Answered) {
    fLastStatusCode = exchange.Status;
    fLastStatusText = FromUtf8(exchange.Reason);
    if (exchange.BodyRead) {
      TakeBody(exchange);
      result = true;
    } else {
      fResponse.clear();
      DoWriteLog(tZV_MessageType::let_error, u"PostXml method error", CodeAndText(fLastStatusCode, fLastStatusText));
    }
    if (!IsPostSuccessStatus(fLastStatusCode)) {
      result = false;
      DoWriteLog(tZV_MessageType::let_error, u"HTTP Error", CodeAndText(fLastStatusCode, fLastStatusText));
    }
  } else {
    fLastStatusCode = exchange.FailureCode;
    fLastStatusText = exchange.FailureText;
    DoWriteLog(tZV_MessageType::let_error, u"HTTP Error", CodeAndText(fLastStatusCode, fLastStatusText));
  }
  return result;
}

bool ZV_HttpClient::Get(const Text& aURL) {
  if (!fHTTPAlreadySet) ApplySettings();
  DoWriteLog(tZV_MessageType::let_info, u"GET", aURL);
  Exchange exchange = Perform(ToUtf8(aURL), nullptr);
  fLastFailureText = exchange.BodyRead ? Text() : exchange.FailureText;

  // Unlike a bare status code, the status text is updated too, so that the error line
  // never shows the text of an earlier request.
  bool result = false;
  if (exchange.Answered) {
    fLastStatusCode = exchange.Status;
    fLastStatusText = FromUtf8(exchange.Reason);
  } else {
    fLastStatusCode = exchange.FailureCode;
    fLastStatusText = exchange.FailureText;
  }
  if (exchange.BodyRead) {
    TakeBody(exchange);
    result = true;
  } else {
    fResponse.clear();
  }
  if (!exchange.Answered || !IsGetSuccessStatus(fLastStatusCode)) {
    result = false;
    DoWriteLog(tZV_MessageType::let_error, u"HTTP Error", CodeAndText(fLastStatusCode, fLastStatusText));
  }
  return result;
}

void ZV_HttpClient::TakeBody(const Exchange& aExchange) {
  fResponse = FromUtf8(aExchange.Body);
  DoWriteLog(tZV_MessageType::let_info, u"Read [" + IntToText(static_cast<int64_t>(fResponse.size())) + u"]",
             fResponse);
  fResponseContentType = FromUtf8(aExchange.ContentType);
}

void ZV_HttpClient::DoWriteLog(tZV_MessageType aEntryType, const Text& aTitle, const Text& aMessage) {
  if (fOnWriteLog) fOnWriteLog(aEntryType, aTitle, aMessage);
}

Text ZV_HttpClient::CodeAndText(int32_t aCode, const Text& aText) { return IntToText(aCode) + u" - " + aText; }

}  // namespace zv
