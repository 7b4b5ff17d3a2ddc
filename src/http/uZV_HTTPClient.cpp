#include "http/uZV_HTTPClient.h"

#include "base/Exception.h"

namespace zv {

bool KeepTlsStateUntilProcessEnd() { return platform::KeepTlsStateUntilProcessEnd(); }

namespace {

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

bool IsPostSuccessStatus(int32_t aStatus) {
  return (aStatus >= 200 && aStatus <= 299) || (aStatus >= 301 && aStatus <= 308);
}

bool IsGetSuccessStatus(int32_t aStatus) { return aStatus >= 200 && aStatus <= 299; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX sequences decoded; nothing for a broken one.
std::optional<std::string> PercentDecoded(std::string_view aText) {
  std::string out;
  for (size_t i = 0; i < aText.size(); ++i) {
    if (aText[i] != '%') {
      out += aText[i];
      continue;
    }
    if (i + 2 >= aText.size()) return std::nullopt;
    const int high = HexValue(aText[i + 1]), low = HexValue(aText[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// "host:port" with a port from 1 to 65535; an IPv6 address in brackets.
bool ValidHostAndPort(std::string_view aText) {
  const size_t colon = aText.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const std::string_view host = aText.substr(0, colon), port = aText.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  int number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > 65535) return false;
  const bool bracketed = host.front() == '[';
  if (bracketed && (host.size() < 3 || host.back() != ']')) return false;
  for (char c : bracketed ? host.substr(1, host.size() - 2) : host) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                         c == '.' || c == '_' || (bracketed && c == ':');
    if (!allowed) return false;
  }
  return true;
}

}  // namespace

std::optional<ProxyChoice> ParseProxy(const Text& aText) {
  using Route = platform::HttpTransfer::Settings::ProxyRoute;
  ProxyChoice choice;
  if (aText.empty()) return choice;
  if (SameText(aText, u"none")) {
    choice.Route = Route::Direct;
    return choice;
  }
  const std::string url = ToUtf8(aText);
  std::string_view rest = url;
  if (const size_t scheme = rest.find("://"); scheme != std::string_view::npos) {
    if (!SameText(FromUtf8(rest.substr(0, scheme)), u"http")) return std::nullopt;
    rest.remove_prefix(scheme + 3);
  }
  if (rest.ends_with('/')) rest.remove_suffix(1);
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view userInfo = rest.substr(0, at);
    const size_t colon = userInfo.find(':');
    const auto user = PercentDecoded(userInfo.substr(0, colon));
    const auto password =
        colon == std::string_view::npos ? std::optional<std::string>("") : PercentDecoded(userInfo.substr(colon + 1));
    if (!user || !password || user->empty()) return std::nullopt;
    choice.User = *user;
    choice.Password = *password;
    rest.remove_prefix(at + 1);
  }
  if (!ValidHostAndPort(rest)) return std::nullopt;
  choice.Route = Route::Named;
  choice.Host = std::string(rest);
  return choice;
}

ZV_HttpClient::ZV_HttpClient() : fHttp(std::make_unique<platform::HttpTransfer>(platform::HttpTransfer::Mode::Https)) {
  if (!fHttp->Usable()) throw kException(u"Cannot create the HTTP transport");
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
  platform::HttpTransfer::Settings settings;
  // Time-outs in seconds: the connect time-out covers TCP and TLS; the read time-out
  // is the time without a byte moving once the request is under way.
  settings.ConnectTimeoutMs = fConnectTimeout > 0 ? fConnectTimeout * 1000 : 0;
  settings.ReadTimeoutMs = fReadTimeout > 0 ? fReadTimeout * 1000 : 0;
  settings.MaxBodyBytes = kMaxAnswerBytes;
  // No Accept-Charset, Accept-Language or Accept-Encoding is sent, so no compressed
  // answer is asked for; redirects are not followed.
  settings.UserAgent = HeaderSafe(fUserAgent);
  fAppliedContentType = HeaderSafe(fContentType);
  settings.TlsVerify = fTlsVerify;
  settings.TlsCaFile = ToUtf8(fTlsCaFile);
  const std::optional<ProxyChoice> proxy = ParseProxy(fProxy);
  fProxyUsable = proxy.has_value();
  if (proxy) {
    settings.Proxy = proxy->Route;
    settings.ProxyHost = proxy->Host;
    settings.ProxyUser = proxy->User;
    settings.ProxyPassword = proxy->Password;
    fProxyHasCredentials = !proxy->User.empty();
  }

  switch (fAuthType) {
    case zvHTTPAuthType::at_Basic:
      settings.Authentication = platform::HttpTransfer::Auth::Basic;
      settings.User = ToUtf8(fUser);
      settings.Password = ToUtf8(fPassword);
      break;
    case zvHTTPAuthType::at_Digest:
      settings.Authentication = platform::HttpTransfer::Auth::Digest;
      settings.User = ToUtf8(fUser);
      settings.Password = ToUtf8(fPassword);
      break;
    case zvHTTPAuthType::at_Bearer:
      settings.Authentication = platform::HttpTransfer::Auth::Bearer;
      settings.Bearer = HeaderSafe(fBearer);
      break;
    case zvHTTPAuthType::at_None:
      break;
  }
  fHttp->Configure(settings);
  fHTTPAlreadySet = true;
}

ZV_HttpClient::Exchange ZV_HttpClient::Perform(const std::string& aURL, const std::string* aBody) {
  // The Content-Type of the settings is a request header like the others: it goes
  // with every request, a GET included; a POST without one is sent as a form.
  platform::HttpTransfer::Request request;
  request.Url = aURL;
  request.Body = aBody;
  request.ContentType = fAppliedContentType.empty() && aBody ? std::string("application/x-www-form-urlencoded")
                                                             : fAppliedContentType;
  request.Fields = fRequestHeaders;

  Exchange result;
  // An unreadable proxy is never replaced by another way out.
  if (!fProxyUsable) {
    result.FailureCode = platform::kHttpCouldNotResolveProxy;
    result.FailureText = u"the proxy setting is not an HTTP proxy's URL (http://host:port) or none";
    return result;
  }
  platform::HttpTransfer::Result answer = fHttp->Perform(request);
  if (answer.Body.Refused()) DoWriteLog(tZV_MessageType::let_error, answer.Body.LogTitle(), answer.Body.ShownPart());

  result.Answered = answer.Answered;
  result.Status = answer.Status;
  result.Reason = answer.Reason;
  result.BodyRead = answer.Complete();
  result.RequestSent = answer.RequestSent;
  if (result.BodyRead) {
    result.Body = answer.Body.TakeBytes();
    result.ContentType = answer.ContentType;
  }
  if (answer.FailureCode != platform::kHttpOk) {
    result.FailureCode = answer.FailureCode;
    result.FailureText = FailureWords(answer);
  }
  return result;
}

Text ZV_HttpClient::FailureWords(const platform::HttpTransfer::Result& aAnswer) const {
  if (aAnswer.ReadTimedOut) return u"Read time-out: nothing received for " + IntToText(fReadTimeout) + u" s";
  if (aAnswer.TlsTooOld) {
    return u"the server offers only " +
           (aAnswer.ServerTls.empty() ? Text(u"TLS older than 1.2") : FromUtf8(aAnswer.ServerTls)) +
           u"; TLS 1.2 or later is required";
  }
  if (!aAnswer.ProxyFailed) return aAnswer.FailureText;
  const Text proxy =
      aAnswer.ProxyName.empty() ? Text(u"the system's proxy") : u"the proxy " + FromUtf8(aAnswer.ProxyName);
  const Text answer =
      IntToText(aAnswer.ProxyStatus) + (aAnswer.ProxyReason.empty() ? Text() : u" " + FromUtf8(aAnswer.ProxyReason));
  if (aAnswer.ProxyStatus == 0) return proxy + u" cannot be reached: " + aAnswer.FailureText;
  // 407 is the standard answer; some proxies refuse wrong credentials with 401.
  if (aAnswer.ProxyStatus == 407 || aAnswer.ProxyStatus == 401)
    return proxy + (fProxyHasCredentials ? u" did not accept the credentials: " : u" asks for credentials: ") + answer;
  return proxy + u" refused the connection to the server: " + answer;
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
  fLastRequestSent = exchange.RequestSent;
  fLastAnswered = exchange.Answered;

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
  fLastRequestSent = exchange.RequestSent;
  fLastAnswered = exchange.Answered;

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
