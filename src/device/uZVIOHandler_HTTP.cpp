#include "device/uZVIOHandler_HTTP.h"

#include <curl/curl.h>

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/CappedBody.h"
#include "base/Exception.h"

namespace zv {

namespace {

void GlobalCurlInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Header names and values must not break the request apart: line breaks are dropped.
std::string HeaderSafe(const Text& aText) {
  std::string bytes = ToUtf8(aText);
  std::erase_if(bytes, [](char c) { return c == '\r' || c == '\n'; });
  return bytes;
}

std::string TrimRight(std::string aText) {
  while (!aText.empty() && (aText.back() == '\r' || aText.back() == '\n' || aText.back() == ' '))
    aText.pop_back();
  return aText;
}

}  // namespace

// The HTTP/1.1 client of the handler, over one libcurl easy handle restricted to plain
// http, driven through a multi handle of its own so that the read time-out is kept to
// the millisecond (the easy interface looks at a silent transfer about once a second).
// The connection stays open between posts; every post applies the settings held here
// afresh.
class kHttpComponent {
 public:
  enum class AuthMode { None, Basic, Digest };

  struct Outcome {
    bool Ok = false;        // a complete answer with a status from 200 to 299
    int32_t StatusCode = -1;  // -1 when no status line arrived
    std::string Body;       // the answer's body (when one arrived)
    Text Failure;           // the failure's message when !Ok
    Text TooLargeTitle;     // for a body over the limit: its length, and
    Text TooLargePart;      // its first part
  };

  kHttpComponent() { GlobalCurlInit(); }
  ~kHttpComponent() { Close(); }
  kHttpComponent(const kHttpComponent&) = delete;
  kHttpComponent& operator=(const kHttpComponent&) = delete;

  void SetConnectTimeout(int32_t aMs) { fConnectTimeout = aMs; }
  void SetReadTimeout(int32_t aMs) { fReadTimeout = aMs; }
  AuthMode Auth() const { return fAuth; }
  void SetAuth(AuthMode aMode) { fAuth = aMode; }
  void SetCredentials(const Text& aUser, const Text& aPassword) {
    fUser = ToUtf8(aUser);
    fPassword = ToUtf8(aPassword);
  }
  void SetContentType(const Text& aContentType) { fContentType = HeaderSafe(aContentType); }

  void SetHeader(const Text& aName, const Text& aValue) {
    for (auto& [name, value] : fHeaders)
      if (SameText(name, aName)) {
        value = aValue;
        return;
      }
    fHeaders.emplace_back(aName, aValue);
  }

  // The easy handle stays attached to the multi handle after a post: the connection is
  // found through it.
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

  Outcome Post(const std::string& aUrl, const std::string& aBody) {
    Outcome outcome;
    if (fMulti == nullptr) fMulti = curl_multi_init();
    if (fHandle == nullptr) fHandle = curl_easy_init();
    if (fHandle == nullptr || fMulti == nullptr) {
      outcome.Failure = u"Out of memory";
      return outcome;
    }
    CURL* h = fHandle;
    Detach();
    curl_easy_reset(h);

    Transfer transfer;
    transfer.Handle = h;

    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_slist* headers = nullptr;
    auto addHeader = [&headers](const std::string& aLine) {
      if (curl_slist* next = curl_slist_append(headers, aLine.c_str())) headers = next;
    };
    // An empty content type sends none (libcurl would add a form type of its own).
    addHeader(fContentType.empty() ? "Content-Type:" : "Content-Type: " + fContentType);
    addHeader("Expect:");
    for (const auto& [name, value] : fHeaders) {
      const std::string v = HeaderSafe(value);
      addHeader(v.empty() ? HeaderSafe(name) + ";" : HeaderSafe(name) + ": " + v);
    }

    curl_easy_setopt(h, CURLOPT_URL, aUrl.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "http");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, aBody.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(aBody.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    if (fConnectTimeout > 0) curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(fConnectTimeout));

    switch (fAuth) {
      case AuthMode::Basic:
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        break;
      case AuthMode::Digest:
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
        break;
      case AuthMode::None:
        break;
    }
    if (fAuth != AuthMode::None) {
      curl_easy_setopt(h, CURLOPT_USERNAME, fUser.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, fPassword.c_str());
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

    const CURLcode code = Run(transfer);
    curl_slist_free_all(headers);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    // Nothing must point at this frame after it returns.
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);

    outcome.StatusCode = status > 0 ? static_cast<int32_t>(status) : -1;
    if (transfer.Body.Refused()) {
      outcome.Failure = transfer.Body.FailureText();
      outcome.TooLargeTitle = transfer.Body.LogTitle();
      outcome.TooLargePart = transfer.Body.ShownPart();
      return outcome;
    }
    outcome.Body = transfer.Body.TakeBytes();
    if (code != CURLE_OK) {
      if (transfer.TimedOut)
        outcome.Failure = u"Read timed out after " + IntToText(fReadTimeout) + u" ms";
      else
        outcome.Failure = FromUtf8(errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code));
      return outcome;
    }
    if (outcome.StatusCode < 200 || outcome.StatusCode > 299) {
      // An HTTP error status is a failure whose message is the status line.
      outcome.Failure = transfer.StatusLine.empty() ? u"HTTP status " + IntToText(outcome.StatusCode)
                                                    : FromUtf8(transfer.StatusLine);
      return outcome;
    }
    outcome.Ok = true;
    return outcome;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // What the callbacks of one post fill in.
  struct Transfer {
    CURL* Handle = nullptr;
    CappedBody Body{kIOHandler_HTTP::kMaxAnswerBytes};
    std::string StatusLine;
    bool RequestSent = false;  // a connection is open and the request is on its way
    Clock::time_point LastActivity;
    curl_off_t Seen = -1;  // bytes moved so far, headers included
    bool TimedOut = false;
  };

  // Performs the transfer set up on fHandle. The read time-out counts from the moment
  // the request is about to be sent, and again from every byte that moves either way.
  CURLcode Run(Transfer& aTransfer) {
    CURL* h = aTransfer.Handle;
    if (curl_multi_add_handle(fMulti, h) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
    fAttached = true;
    const std::chrono::milliseconds limit(fReadTimeout);
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

  CURLM* fMulti = nullptr;
  bool fAttached = false;  // fHandle is attached to fMulti
  CURL* fHandle = nullptr;
  int32_t fConnectTimeout = 0;
  int32_t fReadTimeout = 0;
  AuthMode fAuth = AuthMode::None;
  std::string fUser;
  std::string fPassword;
  std::string fContentType;
  std::vector<std::pair<Text, Text>> fHeaders;
};

kIOHandler_HTTP::kIOHandler_HTTP(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName)
    : kIOHandler(aConnection, aDirectory, aFileName), fHttpClient(std::make_unique<kHttpComponent>()) {
  if (aConnection != nullptr) {
    if (!aConnection->URL().empty())
      fURL = aConnection->URL();
    else {
      fURL = aConnection->Address();
      if (aConnection->Port() > 0) fURL += u":" + IntToText(aConnection->Port());
    }
    fAuthType = aConnection->AuthType();
    fUser = aConnection->User();
    fPassword = aConnection->Password();
  }
  fHttpClient->SetConnectTimeout(ConnectTimeout());
}

kIOHandler_HTTP::~kIOHandler_HTTP() { fHttpClient.reset(); }

bool kIOHandler_HTTP::Connected() { return fHttpClient->Connected(); }

bool kIOHandler_HTTP::Connect() {
  kIOHandler::Connect();
  Debug(tZV_MessageType::let_info, u"URL=" + fURL);
  fHttpClient->SetConnectTimeout(ConnectTimeout());
  return true;
}

bool kIOHandler_HTTP::Disconnect() {
  fHttpClient->Close();
  return !fHttpClient->Connected();
}

bool kIOHandler_HTTP::Write(const Text& aMessage) {
  const std::string body = ToUtf8(aMessage);
  WriteLog(tZV_MessageType::let_info, u"Write [" + IntToText(static_cast<int64_t>(body.size())) + u"]", aMessage);

  switch (fAuthType) {
    case zvHTTPAuthType::at_Basic:
      fHttpClient->SetAuth(kHttpComponent::AuthMode::Basic);
      break;
    case zvHTTPAuthType::at_Digest:
      fHttpClient->SetAuth(kHttpComponent::AuthMode::Digest);
      break;
    case zvHTTPAuthType::at_None:
    case zvHTTPAuthType::at_Bearer:
      break;  // the settings stay as an earlier post left them
  }
  fHttpClient->SetCredentials(fUser, fPassword);
  fHttpClient->SetContentType(fContentType);
  // A post that never answers must not block the host for ever: the read time-out in
  // force bounds every wait for the answer.
  fHttpClient->SetReadTimeout(ReadTimeout());

  kHttpComponent::Outcome outcome = fHttpClient->Post(ToUtf8(fURL), body);
  if (outcome.Ok) {
    fResponse = FromUtf8(outcome.Body);
    fResponseCode = outcome.StatusCode;
  } else {
    WriteLog(tZV_MessageType::let_error, u"Post Error", outcome.Failure);
    if (!outcome.TooLargeTitle.empty())
      WriteLog(tZV_MessageType::let_error, outcome.TooLargeTitle, outcome.TooLargePart);
    const int32_t code = outcome.StatusCode;
    if (code < 200 || code > 299) {
      fResponseCode = code;
      SetCustomError(code, outcome.Failure + u" " + DecodeError(code));
      WriteLog(tZV_MessageType::let_error, u"Post Error", IntToText(code) + u" " + DecodeError(code));
    } else {
      fResponseCode = kFailureAfterSuccess;
      SetCustomError(kFailureAfterSuccess, outcome.Failure);
    }
  }
  WriteLog(tZV_MessageType::let_info, u"Read", u"ResponseCode:" + IntToText(fResponseCode) + u"\r\n" + fResponse);
  return fResponseCode >= 200 && fResponseCode <= 299;
}

Text kIOHandler_HTTP::ReadUpTo(const std::vector<uint8_t>&) { return Text(); }

Text kIOHandler_HTTP::ReadChars(int32_t) { return Text(); }

Text kIOHandler_HTTP::ReadAll() { throw kException(u"ReadAll Unsupported"); }

bool kIOHandler_HTTP::InputBufferContainsData() { throw kException(u"InputBufferContainsData Unsupported"); }

void kIOHandler_HTTP::SetParameter(const Text& aName, const Text& aValue) { fHttpClient->SetHeader(aName, aValue); }

Text kIOHandler_HTTP::DecodeError(int32_t aErrorCode) {
  struct Row {
    int32_t Code;
    const char16_t* Phrase;
  };
  static constexpr Row kPhrases[] = {
      {100, u"Continue"},
      {101, u"Switching Protocol"},
      {102, u"Processing (WebDAV)"},
      {200, u"OK"},
      {201, u"Created"},
      {202, u"Accepted"},
      {203, u"Non-Authoritative Information"},
      {204, u"No Content"},
      {205, u"Reset Content"},
      {206, u"Partial Content"},
      {207, u"Multi-Status (WebDAV)"},
      {208, u"Multi-Status (WebDAV)"},
      {226, u"IM Used (HTTP Delta encoding)"},
      {300, u"Multiple Choice"},
      {301, u"Moved Permanently"},
      {302, u"Found"},
      {303, u"See Other"},
      {304, u"Not Modified"},
      {305, u"Use Proxy "},
      {306, u"unused"},
      {307, u"Temporary Redirect"},
      {308, u"Permanent Redirect"},
      {400, u"Bad Request"},
      {401, u"Unauthorized"},
      {402, u"Payment Required"},
      {403, u"Forbidden"},
      {404, u"Not Found"},
      {405, u"Method Not Allowed"},
      {406, u"Not Acceptable"},
      {407, u"Proxy Authentication Required"},
      {408, u"Request Timeout"},
      {409, u"Conflict"},
      {410, u"Gone"},
      {411, u"Length Required"},
      {412, u"Precondition Failed"},
      {413, u"Payload Too Large"},
      {414, u"URI Too Long"},
      {415, u"Unsupported Media Type"},
      {416, u"Requested Range Not Satisfiable"},
      {417, u"Expectation Failed"},
      {418, u"I'm a teapot"},
      {421, u"Misdirected Request"},
      {422, u"Unprocessable Entity (WebDAV)"},
      {423, u"Locked (WebDAV)"},
      {424, u"Failed Dependency (WebDAV)"},
      {426, u"Upgrade Required"},
      {428, u"Precondition Required"},
      {429, u"Too Many Requests"},
      {431, u"Request Header Fields Too Large"},
      {451, u"Unavailable For Legal Reasons"},
      {500, u"Internal Server Error"},
      {501, u"Not Implemented"},
      {502, u"Bad Gateway"},
      {503, u"Service Unavailable"},
      {504, u"Gateway Timeout"},
      {505, u"HTTP Version Not Supported"},
      {506, u"Variant Also Negotiates"},
      {507, u"Insufficient Storage"},
      {508, u"Loop Detected (WebDAV)"},
      {510, u"Not Extended"},
      {511, u"Network Authentication Required"},
  };
  for (const Row& row : kPhrases)
    if (row.Code == aErrorCode) return row.Phrase;
  return u"Unknown";
}

}  // namespace zv
