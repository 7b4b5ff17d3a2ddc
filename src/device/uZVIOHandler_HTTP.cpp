#include "device/uZVIOHandler_HTTP.h"

#include <string>
#include <utility>
#include <vector>

#include "base/Exception.h"
#include "platform/HttpTransfer.h"

namespace zv {

namespace {

// Header names and values must not break the request apart: line breaks are dropped.
std::string HeaderSafe(const Text& aText) {
  std::string bytes = ToUtf8(aText);
  std::erase_if(bytes, [](char c) { return c == '\r' || c == '\n'; });
  return bytes;
}

}  // namespace

// The HTTP/1.1 client of the handler: plain http only, its read time-out kept to the
// millisecond. The connection stays open between posts; every post applies the
// settings held here afresh.
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

  kHttpComponent() : fTransfer(platform::HttpTransfer::Mode::PlainHttp) {}
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

  bool Connected() { return fTransfer.Connected(); }
  void Close() { fTransfer.Close(); }

  Outcome Post(const std::string& aUrl, const std::string& aBody) {
    platform::HttpTransfer::Settings settings;
    settings.ConnectTimeoutMs = fConnectTimeout;
    settings.ReadTimeoutMs = fReadTimeout;
    settings.MaxBodyBytes = kIOHandler_HTTP::kMaxAnswerBytes;
    switch (fAuth) {
      case AuthMode::Basic:
        settings.Authentication = platform::HttpTransfer::Auth::Basic;
        break;
      case AuthMode::Digest:
        settings.Authentication = platform::HttpTransfer::Auth::Digest;
        break;
      case AuthMode::None:
        break;
    }
    settings.User = fUser;
    settings.Password = fPassword;
    fTransfer.Configure(settings);

    platform::HttpTransfer::Request request;
    request.Url = aUrl;
    request.Body = &aBody;
    request.ContentType = fContentType;
    for (const auto& [name, value] : fHeaders) request.Fields.emplace_back(HeaderSafe(name), HeaderSafe(value));

    platform::HttpTransfer::Result answer = fTransfer.Perform(request);
    Outcome outcome;
    outcome.StatusCode = answer.Answered ? answer.Status : -1;
    if (answer.Body.Refused()) {
      outcome.Failure = answer.Body.FailureText();
      outcome.TooLargeTitle = answer.Body.LogTitle();
      outcome.TooLargePart = answer.Body.ShownPart();
      return outcome;
    }
    outcome.Body = answer.Body.TakeBytes();
    if (answer.FailureCode != platform::kHttpOk) {
      if (answer.ReadTimedOut)
        outcome.Failure = Text(u"Read timed out after ").append(IntToText(fReadTimeout)).append(u" ms");
      else
        outcome.Failure = answer.FailureText;
      return outcome;
    }
    if (outcome.StatusCode < 200 || outcome.StatusCode > 299) {
      // An HTTP error status is a failure whose message is the status line.
      outcome.Failure = answer.StatusLine.empty() ? u"HTTP status " + IntToText(outcome.StatusCode)
                                                  : FromUtf8(answer.StatusLine);
      return outcome;
    }
    outcome.Ok = true;
    return outcome;
  }

 private:
  platform::HttpTransfer fTransfer;
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
      if (aConnection->Port() > 0) fURL.append(u":").append(IntToText(aConnection->Port()));
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
