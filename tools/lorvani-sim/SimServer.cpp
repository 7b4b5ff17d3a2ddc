#include "SimServer.h"

// Idle connections are kept for a minute: enough threads that they do not hold others up.
#define CPPHTTPLIB_THREAD_POOL_COUNT 64
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <stdexcept>

#include "SimPage.h"
#include "base/Text.h"

static_assert(CPPHTTPLIB_THREAD_POOL_COUNT == lorvanisim::SimServer::kConnections);

namespace lorvanisim {

namespace {

constexpr size_t kMaxBody = 1 << 20;  // larger bodies get 413 without reaching a route
const char kOrdersPath[] = "/v1/instore/orders";
const char kRefundPath[] = R"(/v1/instore/orders/([^/]+)/refund)";
const char kOrderPath[] = R"(/v1/instore/orders/([^/]+))";

// Headers that cpp-httplib adds to a request itself; they did not come from the client.
bool IsAddedByServer(const std::string& aName) {
  return aName == "REMOTE_ADDR" || aName == "REMOTE_PORT" || aName == "LOCAL_ADDR" || aName == "LOCAL_PORT";
}

std::string Base64(const std::string& aBytes) {
  std::string out(4 * ((aBytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                               reinterpret_cast<const unsigned char*>(aBytes.data()), static_cast<int>(aBytes.size()));
  out.resize(static_cast<size_t>(length));
  return out;
}

void JsonReply(httplib::Response& aResponse, int aStatus, const std::string& aJson) {
  aResponse.status = aStatus;
  aResponse.set_content(aJson, "application/json");
}

std::string MessageJson(const std::string& aMessage) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("message");
  writer.String(aMessage.c_str(), static_cast<rapidjson::SizeType>(aMessage.size()));
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Text as valid UTF-8: bytes that are not are shown as U+FFFD.
std::string Utf8(const std::string& aBytes) { return zv::ToUtf8(zv::FromUtf8(aBytes)); }

// The "message" of a JSON error answer, or else the start of the answer's text.
std::string AnswerMessage(int aStatus, const std::string& aAnswer) {
  if (aStatus == 0) return "The connection was closed without an answer";
  rapidjson::Document document;
  document.Parse(aAnswer.c_str(), aAnswer.size());
  if (!document.HasParseError() && document.IsObject() && document.HasMember("message") &&
      document["message"].IsString()) {
    return Utf8(std::string(document["message"].GetString(), document["message"].GetStringLength()));
  }
  constexpr size_t kShown = 200;
  return Utf8(aAnswer.substr(0, kShown)) + (aAnswer.size() > kShown ? "..." : "");
}

// Whether the client has shut its side of the connection (after its own read
// time-out, say): an answer written now reaches nobody.
bool ClientLeft(const httplib::Request& aRequest) {
  if (!aRequest.ssl) return false;
  pollfd peer{SSL_get_fd(aRequest.ssl), POLLRDHUP, 0};
  return ::poll(&peer, 1, 0) > 0 && (peer.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

const char* kClientLeftNote = "answered after the client left";
const char* kReplayNote = "a repeat, answered with the first answer";

std::string FaultJson(const std::optional<Fault>& aFault) {
  if (!aFault) return R"({"fault":null})";
  return R"({"fault":")" + aFault->Name + "\"}";
}

}  // namespace

SimServer::SimServer(const SimOptions& aOptions, SimIdentity aIdentity)
    : fOptions(aOptions), fIdentity(std::move(aIdentity)), fStore(aOptions.BearerToken) {
  X509* certificate = fIdentity.ServerCertificate.get();
  X509* ca = fIdentity.CaCertificate.get();
  EVP_PKEY* key = fIdentity.ServerKey.get();
  fServer = std::make_unique<httplib::SSLServer>([certificate, ca, key](SSL_CTX& aContext) {
    SSL_CTX_set_min_proto_version(&aContext, TLS1_2_VERSION);
    SSL_CTX_set_options(&aContext, SSL_OP_NO_COMPRESSION);
    return SSL_CTX_use_certificate(&aContext, certificate) == 1 && SSL_CTX_use_PrivateKey(&aContext, key) == 1 &&
           SSL_CTX_check_private_key(&aContext) == 1 && SSL_CTX_add1_chain_cert(&aContext, ca) == 1;
  });
  if (!fServer->is_valid()) throw std::runtime_error("cannot set up TLS with the generated certificate");
  fServer->set_payload_max_length(kMaxBody);
  // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which would let a
  // second simulator share a port silently instead of failing to start.
  fServer->set_socket_options([](socket_t aSocket) {
    int yes = 1;
    setsockopt(aSocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // An answer goes out in several writes; without this the last of them waits for the
  // client's delayed acknowledgement (about 40 ms a request on loopback).
  fServer->set_tcp_nodelay(true);
  fServer->set_keep_alive_timeout(kIdleSeconds);
  fServer->set_read_timeout(kIdleSeconds, 0);
  fServer->set_write_timeout(kIdleSeconds, 0);
  if (!fOptions.Journal.empty()) {
    fJournal.reset(std::fopen(fOptions.Journal.c_str(), "a"));
    if (!fJournal) throw std::runtime_error("cannot open the journal file " + fOptions.Journal);
  }
  Routes();
}

SimServer::~SimServer() = default;

int SimServer::Bind() {
  const std::string& address = fOptions.Listen;
  int port = fOptions.Port == 0 ? fServer->bind_to_any_port(address)
                                : (fServer->bind_to_port(address, fOptions.Port) ? fOptions.Port : -1);
  if (port <= 0) throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(fOptions.Port));
  return port;
}

void SimServer::Run() { fServer->listen_after_bind(); }

bool SimServer::IsRunning() const { return fServer->is_running(); }

void SimServer::Stop() {
  {
    std::lock_guard lock(fLock);
    fStopping = true;
  }
  fStopped.notify_all();
  fServer->stop();
}

bool SimServer::Wait(int aSeconds) {
  std::unique_lock lock(fLock);
  return !fStopped.wait_for(lock, std::chrono::seconds(aSeconds), [this] { return fStopping; });
}

void SimServer::Log(const std::string& aLine) const {
  if (!fOptions.Quiet) std::fprintf(stderr, "lorvani-sim: %s\n", aLine.c_str());
}

uint64_t SimServer::Record(const httplib::Request& aRequest) {
  Recorded entry;
  entry.ReceivedAt = UtcNowIso();
  entry.Method = aRequest.method;
  entry.Path = aRequest.target;
  for (const auto& [name, value] : aRequest.headers) {
    if (!IsAddedByServer(name)) entry.Headers.emplace_back(name, value);
  }
  entry.Body = aRequest.body;
  std::lock_guard lock(fLock);
  entry.Sequence = fNextSequence++;
  fRecorded.push_back(std::move(entry));
  if (fRecorded.size() > kMaxRecorded) fRecorded.pop_front();
  return fRecorded.back().Sequence;
}

void SimServer::SetRecordedAnswer(uint64_t aSequence, int aStatus, const std::string& aAnswer, Recorded::Fate aFate,
                                  bool aReplay) {
  std::lock_guard lock(fLock);
  for (auto entry = fRecorded.rbegin(); entry != fRecorded.rend(); ++entry) {
    if (entry->Sequence == aSequence) {
      entry->Status = aStatus;
      entry->Answer = aAnswer;
      entry->Outcome = aFate;
      entry->Replay = aReplay;
      return;
    }
  }
}

std::string SimServer::RecordedJson() const {
  std::lock_guard lock(fLock);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  auto text = [&writer](const char* aName, const std::string& aValue) {
    writer.Key(aName);
    writer.String(aValue.c_str(), static_cast<rapidjson::SizeType>(aValue.size()));
  };
  writer.StartArray();
  for (const auto& entry : fRecorded) {
    writer.StartObject();
    writer.Key("sequence");
    writer.Uint64(entry.Sequence);
    text("receivedAt", entry.ReceivedAt);
    text("method", entry.Method);
    text("path", entry.Path);
    writer.Key("headers");
    writer.StartArray();
    for (const auto& [name, value] : entry.Headers) {
      writer.StartObject();
      text("name", Utf8(name));
      text("value", Utf8(value));
      writer.EndObject();
    }
    writer.EndArray();
    // The body as text (bytes that are not UTF-8 shown as U+FFFD) and, exactly, in base64.
    text("body", Utf8(entry.Body));
    text("bodyBase64", Base64(entry.Body));
    writer.Key("status");
    writer.Int(entry.Status);
    static constexpr const char* kStates[] = {"pending", "answered", "closed", "client-left"};
    text("state", kStates[static_cast<int>(entry.Outcome)]);
    writer.Key("replay");
    writer.Bool(entry.Replay);
    writer.EndObject();
  }
  writer.EndArray();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string SimServer::PageHtml() const {
  std::vector<PageFailure> failures, pending, replays;
  {
    std::lock_guard lock(fLock);
    for (const auto& entry : fRecorded) {
      PageFailure row{entry.ReceivedAt, entry.Method, Utf8(entry.Path), entry.Status, {}};
      if (entry.Replay) replays.push_back(PageFailure{row.ReceivedAt, row.Method, row.Path, row.Status, kReplayNote});
      switch (entry.Outcome) {
        case Recorded::Fate::Pending:
          pending.push_back(std::move(row));
          break;
        case Recorded::Fate::ClientLeft:
          // Made and answered, yet the client never learnt it: its outcome is unknown there.
          row.Message = std::string(kClientLeftNote) + ": " + AnswerMessage(entry.Status, entry.Answer);
          failures.push_back(std::move(row));
          break;
        case Recorded::Fate::Answered:
        case Recorded::Fate::Closed:
          if (entry.Status >= 200 && entry.Status < 300) break;
          row.Message = AnswerMessage(entry.Status, entry.Answer);
          failures.push_back(std::move(row));
          break;
      }
    }
  }
  return JournalPage(fStore.Orders(), failures, pending, replays, fStore.NextFault());
}

// One JSON line a request: what came and what went, without the request's headers
// (the bearer token stays out). Status 0: the connection was closed unanswered;
// "clientLeft": the answer was made after the client had closed its connection.
void SimServer::WriteJournal(const httplib::Request& aRequest, const std::string& aReceivedAt, int aStatus,
                             const std::string& aAnswer, bool aClientLeft, bool aReplay) {
  if (!fJournal) return;
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  auto text = [&writer](const char* aName, const std::string& aValue) {
    writer.Key(aName);
    writer.String(aValue.c_str(), static_cast<rapidjson::SizeType>(aValue.size()));
  };
  writer.StartObject();
  text("time", aReceivedAt);
  text("method", aRequest.method);
  text("path", Utf8(aRequest.target));
  writer.Key("status");
  writer.Int(aStatus);
  text("request", Utf8(aRequest.body));
  text("answer", Utf8(aAnswer));
  if (aReplay) {
    writer.Key("replay");
    writer.Bool(true);
  }
  if (aClientLeft) {
    writer.Key("clientLeft");
    writer.Bool(true);
    text("note", kClientLeftNote);
  }
  writer.EndObject();
  std::lock_guard lock(fJournalLock);
  std::fwrite(buffer.GetString(), 1, buffer.GetSize(), fJournal.get());
  std::fputc('\n', fJournal.get());
  std::fflush(fJournal.get());
}

void SimServer::Serve(const httplib::Request& aRequest, httplib::Response& aResponse,
                      const std::function<SimAnswer()>& aOperation) {
  const std::string receivedAt = UtcNowIso();
  uint64_t sequence = Record(aRequest);
  SimAnswer answer = aOperation();
  bool stopping = answer.DelaySeconds > 0 && !Wait(answer.DelaySeconds);
  if (!answer.SettleRequestId.empty()) fStore.Settle(answer.SettleRequestId);
  if (answer.Close || stopping) {
    // Ending the TCP connection under the TLS session: the client reads no answer.
    if (aRequest.ssl) ::shutdown(SSL_get_fd(aRequest.ssl), SHUT_RDWR);
    SetRecordedAnswer(sequence, 0, "", Recorded::Fate::Closed);
    WriteJournal(aRequest, receivedAt, 0, "", false, false);
    Log(aRequest.method + " " + aRequest.target + " -> connection closed without an answer");
    return;
  }
  aResponse.status = answer.Status;
  for (const auto& [name, value] : answer.Headers) aResponse.set_header(name, value);
  if (!answer.Body.empty()) aResponse.set_content(answer.Body, answer.ContentType);
  const bool clientLeft = ClientLeft(aRequest);
  SetRecordedAnswer(sequence, answer.Status, answer.Body,
                    clientLeft ? Recorded::Fate::ClientLeft : Recorded::Fate::Answered, answer.Replayed);
  WriteJournal(aRequest, receivedAt, answer.Status, answer.Body, clientLeft, answer.Replayed);
  Log(aRequest.method + " " + aRequest.target + " -> " + std::to_string(answer.Status) +
      (answer.Replayed ? std::string(", ") + kReplayNote : std::string()) +
      (clientLeft ? std::string(", ") + kClientLeftNote : std::string()));
}

void SimServer::Routes() {
  auto call = [](const httplib::Request& aRequest) {
    return SimCall{aRequest.get_header_value("Authorization"), aRequest.get_header_value("Content-Type"),
                   aRequest.body};
  };

  fServer->Post(kOrdersPath, [this, call](const httplib::Request& aRequest, httplib::Response& aResponse) {
    Serve(aRequest, aResponse, [&] { return fStore.CreateOrder(call(aRequest)); });
  });
  fServer->Post(kRefundPath, [this, call](const httplib::Request& aRequest, httplib::Response& aResponse) {
    Serve(aRequest, aResponse, [&] { return fStore.RefundOrder(aRequest.matches[1].str(), call(aRequest)); });
  });
  fServer->Get(kOrderPath, [this, call](const httplib::Request& aRequest, httplib::Response& aResponse) {
    Serve(aRequest, aResponse, [&] { return fStore.GetOrder(aRequest.matches[1].str(), call(aRequest)); });
  });

  // The journal page for a browser: not recorded, no token needed.
  fServer->Get("/", [this](const httplib::Request&, httplib::Response& aResponse) {
    aResponse.status = 200;
    aResponse.set_header("Cache-Control", "no-store");
    aResponse.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
    aResponse.set_content(PageHtml(), "text/html; charset=utf-8");
  });

  // Control routes: not recorded, no token needed.
  fServer->Get("/_sim/requests", [this](const httplib::Request&, httplib::Response& aResponse) {
    JsonReply(aResponse, 200, RecordedJson());
  });
  fServer->Delete("/_sim/requests", [this](const httplib::Request&, httplib::Response& aResponse) {
    std::lock_guard lock(fLock);
    fRecorded.clear();
    aResponse.status = 204;
  });
  fServer->Get("/_sim/orders", [this](const httplib::Request& aRequest, httplib::Response& aResponse) {
    JsonReply(aResponse, 200, fStore.OrdersJson(aRequest.get_param_value("requestId")));
  });
  fServer->Get("/_sim/fault", [this](const httplib::Request&, httplib::Response& aResponse) {
    JsonReply(aResponse, 200, FaultJson(fStore.NextFault()));
  });
  fServer->Delete("/_sim/fault", [this](const httplib::Request&, httplib::Response& aResponse) {
    fStore.ClearNextFault();
    aResponse.status = 204;
  });
  fServer->Post("/_sim/fault", [this](const httplib::Request& aRequest, httplib::Response& aResponse) {
    rapidjson::Document body;
    body.Parse(aRequest.body.c_str(), aRequest.body.size());
    std::optional<Fault> fault;
    if (!body.HasParseError() && body.IsObject() && body.HasMember("fault") && body["fault"].IsString()) {
      fault = ParseFault(body["fault"].GetString());
    }
    if (!fault) {
      std::string names;
      for (const auto& name : FaultNames()) names += (names.empty() ? "" : ", ") + name;
      JsonReply(aResponse, 400, MessageJson("Expected {\"fault\": NAME} with NAME one of " + names));
      return;
    }
    fStore.SetNextFault(*fault);
    Log("next request gets " + fault->Name);
    JsonReply(aResponse, 200, FaultJson(fault));
  });

  // Anything else: recorded, and answered as the provider would, in JSON.
  auto other = [this](const httplib::Request& aRequest, httplib::Response& aResponse) {
    Serve(aRequest, aResponse, [&] {
      SimAnswer answer;
      answer.ContentType = "application/json";
      static const std::regex kPostPath(std::string(kOrdersPath) + "|" + kRefundPath);
      static const std::regex kGetPath(kOrderPath);
      const bool post = std::regex_match(aRequest.path, kPostPath);
      if (post || std::regex_match(aRequest.path, kGetPath)) {
        const std::string allowed = post ? "POST" : "GET";
        answer.Status = 405;
        answer.Body = MessageJson("Method " + aRequest.method + " is not allowed here; use " + allowed);
        answer.Headers.emplace_back("Allow", allowed);
      } else {
        answer.Status = 404;
        answer.Body = MessageJson("No such endpoint: " + aRequest.method + " " + aRequest.path);
      }
      return answer;
    });
  };
  fServer->Get(".*", other);
  fServer->Post(".*", other);
  fServer->Put(".*", other);
  fServer->Patch(".*", other);
  fServer->Delete(".*", other);
  fServer->Options(".*", other);
}

}  // namespace lorvanisim
