// ZV_HttpClient against real HTTP servers on 127.0.0.1.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <regex>
#include <string>

#include "HttpClientTestSupport.h"
#include "HttpTestServer.h"
#include "Wine.h"
#include "http/uZV_HTTPClient.h"

namespace zv {
namespace {

using ::testing::ElementsAre;
using zvtest::LocalServer;
using zvtest::LogCapture;
using zvtest::Md5Hex;

// Answers /status/<code> with that code, the body "body of <code>" and, for 3xx, a
// Location elsewhere; /json/400 with a JSON error body.
void StatusResponder(const httplib::Request& aRequest, httplib::Response& aResponse) {
  const std::string prefix = "/status/";
  if (aRequest.path.starts_with(prefix)) {
    aResponse.status = std::stoi(aRequest.path.substr(prefix.size()));
    if (aResponse.status >= 300 && aResponse.status < 400) aResponse.set_header("Location", "/elsewhere");
    if (aResponse.status != 204) aResponse.set_content("body of " + std::to_string(aResponse.status), "text/plain");
    return;
  }
  if (aRequest.path == "/json/400") {
    aResponse.status = 400;
    aResponse.set_content(R"({"message":"amount missing"})", "application/json");
    return;
  }
  aResponse.status = 200;
  aResponse.set_content("{\"token\":\"abc\"}", "application/json; charset=utf-8");
}

TEST(HttpClient, DefaultsOfANewClient) {
  ZV_HttpClient client;
  EXPECT_EQ(client.ConnectTimeout(), 5);
  EXPECT_EQ(client.ReadTimeout(), 10);
  EXPECT_EQ(client.ContentCharset(), u"utf-8");
  EXPECT_EQ(client.AuthType(), zvHTTPAuthType::at_None);
  EXPECT_TRUE(client.TlsVerify());
  EXPECT_EQ(client.TlsCaFile(), u"");
  EXPECT_EQ(client.LastStatusCode(), 0);
  EXPECT_EQ(client.Response(), u"");
}

// Post succeeds for 200-299 and 301-308 when the body was read; any other status is an
// "HTTP Error". The body is kept either way, and redirects are not followed.
TEST(HttpClient, PostResultByStatus) {
  struct Case {
    int Status;
    bool Result;
    const char* StatusText;
  };
  const Case cases[] = {
      {200, true, "OK"},           {201, true, "Created"},      {204, true, "No Content"},
      {300, false, "Multiple Choice"}, {301, true, "Moved Permanently"}, {302, true, "Found"},
      {307, true, "Temporary Redirect"}, {308, true, "Permanent Redirect"}, {400, false, "Bad Request"},
      {404, false, "Not Found"},   {500, false, "Internal Server Error"},
  };
  LocalServer server(StatusResponder);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Status);
    ZV_HttpClient client;
    LogCapture log;
    client.SetOnWriteLog(log.Event());
    client.SetContentType(u"application/json");
    const Text url = server.Url("/status/" + std::to_string(c.Status));
    EXPECT_EQ(client.Post(url, u"{}"), c.Result);
    EXPECT_EQ(client.LastStatusCode(), c.Status);
    EXPECT_EQ(ToUtf8(client.LastStatusText()), c.StatusText);
    const std::string body = c.Status == 204 ? "" : "body of " + std::to_string(c.Status);
    EXPECT_EQ(ToUtf8(client.Response()), body);
    std::vector<std::string> titles{"Write", "Write [2]", "Read [" + std::to_string(body.size()) + "]"};
    if (!c.Result) titles.push_back("HTTP Error");
    EXPECT_EQ(log.Titles(), titles);
    EXPECT_EQ(log.Lines()[0].Message, ToUtf8(url));
    if (!c.Result) {
      EXPECT_EQ(log.Lines().back().Type, tZV_MessageType::let_error);
      EXPECT_EQ(log.Lines().back().Message, std::to_string(c.Status) + " - " + c.StatusText);
    }
  }
  // One request per case: no redirect was followed.
  EXPECT_EQ(server.Requests().size(), std::size(cases));
}

TEST(HttpClient, ErrorStatusWithJsonBodyKeepsTheBody) {
  LocalServer server(StatusResponder);
  ZV_HttpClient client;
  LogCapture log;
  client.SetOnWriteLog(log.Event());
  client.SetContentType(u"application/json");
  EXPECT_FALSE(client.Post(server.Url("/json/400"), u"{\"a\":1}"));
  EXPECT_EQ(client.Response(), u"{\"message\":\"amount missing\"}");
  EXPECT_EQ(client.LastStatusCode(), 400);
  EXPECT_EQ(client.ResponseContentType(), u"application/json");
  ASSERT_EQ(log.Lines().size(), 4u);
  EXPECT_EQ(log.Lines()[2].Title, "Read [28]");
  EXPECT_EQ(log.Lines()[2].Message, R"({"message":"amount missing"})");
  EXPECT_EQ(log.Lines()[3].Title, "HTTP Error");
  EXPECT_EQ(log.Lines()[3].Message, "400 - Bad Request");
}

// What goes on the wire: method, path, the body as UTF-8, the content type and user
// agent of the settings, and none of the headers that ask for compression or a
// charset or language, nor an Expect round for a larger body. Lengths in the log are
// UTF-16 code units.
TEST(HttpClient, PostSendsTheBodyAsUtf8WithTheConfiguredHeaders) {
  LocalServer server(StatusResponder);
  ZV_HttpClient client;
  LogCapture log;
  client.SetOnWriteLog(log.Event());
  client.SetContentType(u"application/json");
  client.SetUserAgent(u"Zorvik PXR Driver");
  const Text message = u"{\"name\":\"Gr\u00fc\u00dfe \u20ac \U0001F600\",\"pad\":\"" + Text(3000, u'x') + u"\"}";
  ASSERT_TRUE(client.Post(server.Url("/v1/instore/orders?x=1"), message));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const zvtest::Received& received = requests[0];
  EXPECT_EQ(received.Method, "POST");
  EXPECT_EQ(received.Path, "/v1/instore/orders?x=1");
  EXPECT_EQ(received.Body, ToUtf8(message));
  EXPECT_EQ(received.Header("Content-Type"), "application/json");
  EXPECT_EQ(received.Header("User-Agent"), "Zorvik PXR Driver");
  EXPECT_EQ(received.Header("Content-Length"), std::to_string(ToUtf8(message).size()));
  for (const char* absent : {"Accept-Encoding", "Accept-Charset", "Accept-Language", "Expect", "Authorization"}) {
    EXPECT_FALSE(received.Has(absent)) << absent;
  }
  ASSERT_GE(log.Lines().size(), 2u);
  EXPECT_EQ(log.Lines()[1].Title, "Write [" + std::to_string(message.size()) + "]");
  EXPECT_EQ(log.Lines()[1].Message, ToUtf8(message));
  EXPECT_EQ(client.Response(), u"{\"token\":\"abc\"}");
  EXPECT_EQ(client.ResponseContentType(), u"application/json; charset=utf-8");
}

// The three kinds of POST: XML, JSON and any other type all carry the message bytes
// under the configured Content-Type; without one, the form type.
TEST(HttpClient, PostKindsByContentType) {
  struct Case {
    const char16_t* ContentType;
    const char* OnTheWire;
  };
  const Case cases[] = {
      {u"application/xml", "application/xml"},
      {u"application/json", "application/json"},
      {u"text/plain; charset=utf-8", "text/plain; charset=utf-8"},
      {u"", "application/x-www-form-urlencoded"},
  };
  LocalServer server(StatusResponder);
  for (const Case& c : cases) {
    ZV_HttpClient client;
    client.SetContentType(c.ContentType);
    const Text message = u"<a>\u00e9&amp;=+</a>";
    EXPECT_TRUE(client.Post(server.Url("/kind"), message));
    const zvtest::Received received = server.Requests().back();
    EXPECT_EQ(received.Header("Content-Type"), c.OnTheWire);
    EXPECT_EQ(received.Body, ToUtf8(message));
  }
}

TEST(HttpClient, EmptyMessageLogsOnlyTheUrlBeforePosting) {
  LocalServer server(StatusResponder);
  ZV_HttpClient client;
  LogCapture log;
  client.SetOnWriteLog(log.Event());
  EXPECT_TRUE(client.Post(server.Url("/empty"), u""));
  EXPECT_THAT(log.Titles(), ElementsAre("Write", "Read [15]"));
  EXPECT_EQ(server.Requests().at(0).Body, "");
  EXPECT_EQ(server.Requests().at(0).Header("Content-Length"), "0");
  EXPECT_FALSE(server.Requests().at(0).Has("User-Agent"));  // none configured, none sent
}

TEST(HttpClient, WithoutOnWriteLogRequestsBehaveTheSame) {
  LocalServer server(StatusResponder);
  ZV_HttpClient client;
  EXPECT_TRUE(client.Post(server.Url("/quiet"), u"x"));
  EXPECT_EQ(client.Response(), u"{\"token\":\"abc\"}");
  EXPECT_FALSE(client.Post(server.Url("/status/500"), u"x"));
  EXPECT_EQ(client.LastStatusCode(), 500);
  EXPECT_FALSE(client.Post(FromUtf8("http://127.0.0.1:" + std::to_string(zvtest::ClosedPort()) + "/"), u"x"));
  EXPECT_EQ(client.LastStatusCode(), platform::kHttpCouldNotConnect);
}

// No answer at all: the transport's code and text replace the status; Response keeps
// what an earlier request left.
TEST(HttpClient, NoConnectionKeepsThePreviousResponse) {
  LocalServer server(StatusResponder);
  ZV_HttpClient client;
  LogCapture log;
  client.SetOnWriteLog(log.Event());
  ASSERT_TRUE(client.Post(server.Url("/first"), u"x"));
  ASSERT_EQ(client.Response(), u"{\"token\":\"abc\"}");
  log.Clear();
  const Text url = FromUtf8("http://127.0.0.1:" + std::to_string(zvtest::ClosedPort()) + "/orders");
  EXPECT_FALSE(client.Post(url, u"x"));
  EXPECT_EQ(client.LastStatusCode(), platform::kHttpCouldNotConnect);
  EXPECT_FALSE(client.LastRequestSent());
  EXPECT_FALSE(client.LastAnswered());
  EXPECT_FALSE(client.LastStatusText().empty());
  EXPECT_EQ(client.Response(), u"{\"token\":\"abc\"}");
  EXPECT_EQ(client.ResponseContentType(), u"application/json; charset=utf-8");
  EXPECT_THAT(log.Titles(), ElementsAre("Write", "Write [1]", "HTTP Error"));
  EXPECT_EQ(log.Lines()[2].Message, "7 - " + ToUtf8(client.LastStatusText()));

  ZV_HttpClient fresh;
  EXPECT_FALSE(fresh.Post(url, u"x"));
  EXPECT_EQ(fresh.Response(), u"");
}

// An answer whose body cannot be read completely: the status is known, the body is
// not, and the exchange fails.
TEST(HttpClient, TruncatedBodyIsAMethodError) {
  zvtest::RawOnceServer server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nContent-Type: text/plain\r\n\r\nshort");
  ZV_HttpClient client;
  LogCapture log;
  client.SetOnWriteLog(log.Event());
  EXPECT_FALSE(client.Post(server.Url("/cut"), u"x"));
  EXPECT_EQ(client.LastStatusCode(), 200);
  EXPECT_TRUE(client.LastRequestSent());
  EXPECT_EQ(client.Response(), u"");
  EXPECT_THAT(log.Titles(), ElementsAre("Write", "Write [1]", "PostXml method error"));
  EXPECT_EQ(log.Lines()[2].Message, "200 - OK");
  EXPECT_EQ(log.Lines()[2].Type, tZV_MessageType::let_error);
}

// The settings reach the transport once: a later change of a property does not.
// A body that breaks off after an earlier answer: the earlier answer is not taken for
// this one's (a caller reading Response would see a stale order).
TEST(HttpClient, ABodyThatBreaksOffLeavesNoEarlierAnswer) {
  LocalServer server(StatusResponder);
  zvtest::RawOnceServer cut("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 100\r\n\r\n{\"message\":");
  ZV_HttpClient client;
  ASSERT_TRUE(client.Post(server.Url("/first"), u"x"));
  ASSERT_EQ(client.Response(), u"{\"token\":\"abc\"}");
  EXPECT_FALSE(client.Post(cut.Url("/cut"), u"x"));
  EXPECT_EQ(client.LastStatusCode(), 500);
  EXPECT_EQ(client.Response(), u"");
  EXPECT_FALSE(client.LastFailureText().empty());
}

TEST(HttpClient, SettingsAreAppliedOnceBeforeTheFirstRequest) {
  LocalServer server(StatusResponder);
  zvtest::SilentPort silent;
  ZV_HttpClient client;
  client.SetConnectTimeout(1);
  client.SetReadTimeout(120);
  client.SetUserAgent(u"first");
  client.SetContentType(u"application/json");
  ASSERT_TRUE(client.Post(server.Url("/one"), u"{}"));

  client.SetConnectTimeout(120);
  client.SetUserAgent(u"second");
  client.SetContentType(u"text/plain");
  ASSERT_TRUE(client.Post(server.Url("/two"), u"{}"));
  EXPECT_EQ(server.Requests().at(1).Header("User-Agent"), "first");
  EXPECT_EQ(server.Requests().at(1).Header("Content-Type"), "application/json");

  // The TLS handshake with a peer that never answers runs into the first connect
  // time-out (1 s), not the later one (120 s).
  if (zvtest::UnderWine()) GTEST_SKIP() << "Wine's WinHTTP hangs on a peer silent during the TLS handshake";
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Post(FromUtf8("https://127.0.0.1:" + std::to_string(silent.Port()) + "/"), u"{}"));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(client.LastStatusCode(), platform::kHttpTimedOut);
  EXPECT_FALSE(client.LastRequestSent());  // the TLS session never stood
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));
}

TEST(HttpClient, RequestHeadersGoWithLaterRequestsAndCannotSmuggleLines) {
  LocalServer server(StatusResponder);
  ZV_HttpClient client;
  client.SetRequestHeader(u"X-Store", u"S1");
  ASSERT_TRUE(client.Post(server.Url("/h1"), u"x"));
  client.SetRequestHeader(u"x-store", u"S2");  // same name, any case: replaced
  client.SetRequestHeader(u"X-Evil", u"a\r\nX-Injected: 1");
  client.SetRequestHeader(u"Bad Name", u"v");  // no header can carry this name
  ASSERT_TRUE(client.Post(server.Url("/h2"), u"x"));
  const auto requests = server.Requests();
  EXPECT_EQ(requests[0].Header("X-Store"), "S1");
  EXPECT_EQ(requests[1].Header("X-Store"), "S2");
  EXPECT_EQ(requests[1].Header("X-Evil"), "aX-Injected: 1");
  EXPECT_FALSE(requests[1].Has("X-Injected"));
  EXPECT_FALSE(requests[1].Has("Bad Name"));
}

// Basic sends its credentials at once; Bearer its token.
TEST(HttpClient, BasicAndBearerAuthorization) {
  struct Case {
    zvHTTPAuthType Type;
    const char* Expected;
  };
  const Case cases[] = {
      {zvHTTPAuthType::at_Basic, "Basic dXNlcjpww6Bzcw=="},  // "user:p\u00e0ss" in UTF-8
      {zvHTTPAuthType::at_Bearer, "Bearer demo-token"},
      {zvHTTPAuthType::at_None, ""},
  };
  LocalServer server(StatusResponder);
  for (const Case& c : cases) {
    ZV_HttpClient client;
    client.SetAuthType(c.Type);
    client.SetUser(u"user");
    client.SetPassword(u"p\u00e0ss");
    client.SetBearer(u"demo-token");
    ASSERT_TRUE(client.Post(server.Url("/auth"), u"x"));
    EXPECT_EQ(server.Requests().back().Header("Authorization"), c.Expected);
  }
}

// The parameters of "Digest a=b, c="d", ...".
std::map<std::string, std::string> DigestParameters(const std::string& aHeader) {
  std::map<std::string, std::string> parameters;
  size_t i = aHeader.find(' ');
  while (i != std::string::npos && i < aHeader.size()) {
    while (i < aHeader.size() && (aHeader[i] == ' ' || aHeader[i] == ',')) ++i;
    size_t equals = aHeader.find('=', i);
    if (equals == std::string::npos) break;
    std::string name = aHeader.substr(i, equals - i);
    std::string value;
    i = equals + 1;
    if (i < aHeader.size() && aHeader[i] == '"') {
      size_t close = aHeader.find('"', i + 1);
      value = aHeader.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      size_t comma = aHeader.find(',', i);
      value = aHeader.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
      i = comma;
    }
    parameters[name] = value;
  }
  return parameters;
}

// Digest: the first request is challenged, the second carries a valid answer to it.
TEST(HttpClient, DigestAuthorizationAnswersTheChallenge) {
  if (zvtest::UnderWine()) GTEST_SKIP() << "Wine's WinHTTP does not answer a Digest challenge (no Digest package)";
  const std::string realm = "zv-test", nonce = "4f1a2b3c", user = "alice", password = "s3cret";
  LocalServer server([&](const httplib::Request& aRequest, httplib::Response& aResponse) {
    const std::string authorization = aRequest.get_header_value("Authorization");
    if (authorization.rfind("Digest ", 0) == 0) {
      auto p = DigestParameters(authorization);
      const std::string ha1 = Md5Hex(user + ":" + realm + ":" + password);
      const std::string ha2 = Md5Hex(aRequest.method + ":" + p["uri"]);
      const std::string expected = Md5Hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2);
      if (p["username"] == user && p["realm"] == realm && p["nonce"] == nonce && p["qop"] == "auth" &&
          p["uri"] == aRequest.target && p["response"] == expected) {
        aResponse.set_content("welcome", "text/plain");
        return;
      }
    }
    aResponse.status = 401;
    aResponse.set_header("WWW-Authenticate",
                         "Digest realm=\"" + realm + "\", nonce=\"" + nonce + "\", qop=\"auth\", algorithm=MD5");
    aResponse.set_content("who are you", "text/plain");
  });
  ZV_HttpClient client;
  client.SetAuthType(zvHTTPAuthType::at_Digest);
  client.SetUser(FromUtf8(user));
  client.SetPassword(FromUtf8(password));
  client.SetContentType(u"application/xml");
  EXPECT_TRUE(client.Post(server.Url("/digest?q=1"), u"<x/>"));
  EXPECT_EQ(client.LastStatusCode(), 200);
  EXPECT_EQ(client.Response(), u"welcome");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].Has("Authorization"));
  EXPECT_EQ(requests[1].Body, "<x/>");

  ZV_HttpClient wrong;
  wrong.SetAuthType(zvHTTPAuthType::at_Digest);
  wrong.SetUser(FromUtf8(user));
  wrong.SetPassword(u"guess");
  EXPECT_FALSE(wrong.Post(server.Url("/digest"), u"<x/>"));
  EXPECT_EQ(wrong.LastStatusCode(), 401);
}

TEST(HttpClient, GetResultByStatus) {
  LocalServer server(StatusResponder);
  ZV_HttpClient client;
  LogCapture log;
  client.SetOnWriteLog(log.Event());
  client.SetContentType(u"application/json");
  client.SetUserAgent(u"agent");

  EXPECT_TRUE(client.Get(server.Url("/get")));
  EXPECT_EQ(client.Response(), u"{\"token\":\"abc\"}");
  EXPECT_EQ(client.LastStatusCode(), 200);
  EXPECT_THAT(log.Titles(), ElementsAre("GET", "Read [15]"));
  const zvtest::Received first = server.Requests().back();
  EXPECT_EQ(first.Method, "GET");
  EXPECT_EQ(first.Header("User-Agent"), "agent");
  // The Content-Type of the settings goes with every request.
  EXPECT_EQ(first.Header("Content-Type"), "application/json");
  EXPECT_FALSE(first.Has("Accept-Encoding"));

  log.Clear();
  EXPECT_FALSE(client.Get(server.Url("/status/404")));
  EXPECT_EQ(client.LastStatusCode(), 404);
  EXPECT_THAT(log.Titles(), ElementsAre("GET", "Read [11]", "HTTP Error"));
  EXPECT_EQ(log.Lines()[2].Message, "404 - Not Found");

  log.Clear();
  EXPECT_FALSE(client.Get(server.Url("/status/302")));  // only 2xx is a GET success
  EXPECT_EQ(client.LastStatusCode(), 302);
  EXPECT_EQ(log.Lines().back().Message, "302 - Found");

  log.Clear();
  EXPECT_FALSE(client.Get(FromUtf8("http://127.0.0.1:" + std::to_string(zvtest::ClosedPort()) + "/")));
  EXPECT_EQ(client.LastStatusCode(), platform::kHttpCouldNotConnect);
  EXPECT_EQ(client.Response(), u"");
  EXPECT_THAT(log.Titles(), ElementsAre("GET", "HTTP Error"));
  EXPECT_EQ(log.Lines()[1].Message, "7 - " + ToUtf8(client.LastStatusText()));
}

// A JSON body of exactly aBytes bytes (at least 14).
std::string PaddedJson(size_t aBytes) { return "{\"padding\":\"" + std::string(aBytes - 14, 'x') + "\"}"; }

// An answer body just at the limit is taken whole; one byte more is refused, whether
// Content-Length announces it or it arrives in chunks. The log then shows the length
// and the first part only.
TEST(HttpClient, AnswerBodyIsCappedAtTheLimit) {
  using Kind = zvtest::HttpReply::Kind;
  constexpr size_t kMax = ZV_HttpClient::kMaxAnswerBytes;
  static_assert(kMax == 1048576);
  struct Case {
    const char* Name;
    Kind Action;
    size_t Bytes;
    const char* Failure;  // empty: taken
    const char* LogTitle;
  };
  const Case cases[] = {
      {"at the limit, with Content-Length", Kind::Answer, kMax, "", ""},
      {"at the limit, chunked", Kind::Chunked, kMax, "", ""},
      {"one byte over, with Content-Length", Kind::Answer, kMax + 1,
       "Answer larger than 1048576 bytes: Content-Length 1048577 bytes",
       "Answer too large [Content-Length 1048577 bytes, first 1024 bytes shown]"},
      {"one byte over, chunked", Kind::Chunked, kMax + 1,
       "Answer larger than 1048576 bytes: 1048577 bytes received, the rest refused",
       "Answer too large [1048577 bytes received, first 1024 bytes shown]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string body = PaddedJson(c.Bytes);
    zvtest::HttpTestServer server([&](const zvtest::HttpRequest&) {
      zvtest::HttpReply reply;
      reply.Action = c.Action;
      reply.Body = body;
      reply.Headers.emplace_back("Content-Type", "application/json");
      return reply;
    });
    ZV_HttpClient client;
    LogCapture log;
    client.SetOnWriteLog(log.Event());
    const bool taken = *c.Failure == '\0';
    EXPECT_EQ(client.Post(FromUtf8(server.Url("/orders")), u"{}"), taken);
    EXPECT_EQ(client.LastStatusCode(), 200);
    EXPECT_EQ(ToUtf8(client.LastFailureText()), c.Failure);
    if (taken) {
      EXPECT_EQ(client.Response().size(), c.Bytes);
      EXPECT_TRUE(ToUtf8(client.Response()) == body);
      EXPECT_THAT(log.Titles(), ElementsAre("Write", "Write [2]", "Read [" + std::to_string(c.Bytes) + "]"));
    } else {
      EXPECT_EQ(client.Response(), u"");
      EXPECT_THAT(log.Titles(), ElementsAre("Write", "Write [2]", c.LogTitle, "PostXml method error"));
      ASSERT_EQ(log.Lines().size(), 4u);
      EXPECT_EQ(log.Lines()[2].Type, tZV_MessageType::let_error);
      EXPECT_EQ(log.Lines()[2].Message, body.substr(0, 1024));
    }
  }
}

// Receiving stops as soon as the limit is passed: a huge answer without a length is
// not read to its end, and its connection is given up.
TEST(HttpClient, AHugeAnswerWithoutLengthIsNotReadToItsEnd) {
  constexpr size_t kMax = ZV_HttpClient::kMaxAnswerBytes;
  zvtest::HttpTestServer server([](const zvtest::HttpRequest&) {
    zvtest::HttpReply reply;
    reply.Action = zvtest::HttpReply::Kind::Chunked;
    reply.Body = PaddedJson(8 * kMax);
    return reply;
  });
  ZV_HttpClient client;
  EXPECT_FALSE(client.Post(FromUtf8(server.Url("/")), u"{}"));
  EXPECT_FALSE(client.Post(FromUtf8(server.Url("/")), u"{}"));
  EXPECT_EQ(server.ConnectionCount(), 2);
  std::smatch match;
  const std::string failure = ToUtf8(client.LastFailureText());
  const std::regex expected(R"(Answer larger than 1048576 bytes: (\d+) bytes received, the rest refused)");
  ASSERT_TRUE(std::regex_match(failure, match, expected)) << failure;
  const size_t received = std::stoul(match[1]);
  EXPECT_GT(received, kMax);
  EXPECT_LT(received, kMax + 64 * 1024);
}

// A connection carries one request: a server that keeps its connections open still
// sees a new one for every POST and GET, of the same client or of another, so that
// no request can go out on a connection the server may already have closed.
TEST(HttpClient, EveryRequestHasAConnectionOfItsOwn) {
  zvtest::HttpTestServer server([](const zvtest::HttpRequest&) {
    zvtest::HttpReply reply;
    reply.Body = "{}";
    reply.Headers = {{"Connection", "keep-alive"}};
    return reply;
  });
  ZV_HttpClient first;
  EXPECT_TRUE(first.Post(FromUtf8(server.Url("/")), u"{\"n\":1}"));
  EXPECT_TRUE(first.Post(FromUtf8(server.Url("/")), u"{\"n\":2}"));
  EXPECT_TRUE(first.Get(FromUtf8(server.Url("/"))));
  ZV_HttpClient second;
  EXPECT_TRUE(second.Post(FromUtf8(server.Url("/")), u"{\"n\":3}"));
  EXPECT_EQ(server.Requests().size(), 4u);
  EXPECT_EQ(server.ConnectionCount(), 4);
}

// Only http and https: a URL of another scheme is refused by the transport.
TEST(HttpClient, OtherSchemesAreRefused) {
  ZV_HttpClient client;
  EXPECT_FALSE(client.Post(u"file:///etc/passwd", u"x"));
  EXPECT_EQ(client.LastStatusCode(), platform::kHttpUnsupportedProtocol);
  EXPECT_EQ(client.Response(), u"");
}

}  // namespace
}  // namespace zv
