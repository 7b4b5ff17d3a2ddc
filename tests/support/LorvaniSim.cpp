#include "LorvaniSim.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include <gtest/gtest.h>

namespace zvtest {

namespace {

#ifdef ZV_LORVANI_SIM_PATH
constexpr const char* kBuiltPath = ZV_LORVANI_SIM_PATH;
#else
constexpr const char* kBuiltPath = "";
#endif

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string FindHeader(const HeaderList& aHeaders, const std::string& aName) {
  for (const auto& [name, value] : aHeaders) {
    if (SameName(name, aName)) return value;
  }
  return {};
}

// The bytes of standard base64 text (with padding); throws on any other character.
std::string DecodeBase64(const std::string& aText) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  unsigned int bits = 0;
  int count = 0;
  for (char c : aText) {
    if (c == '=') break;
    const size_t value = kAlphabet.find(c);
    if (value == std::string::npos) throw std::runtime_error("GET /_sim/requests: bad base64");
    bits = (bits << 6) | static_cast<unsigned int>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return bytes;
}

}  // namespace

std::string SimRequest::Header(const std::string& aName) const { return FindHeader(Headers, aName); }

bool SimRequest::HasHeader(const std::string& aName) const {
  return std::any_of(Headers.begin(), Headers.end(), [&](const auto& h) { return SameName(h.first, aName); });
}

std::string SimReply::Header(const std::string& aName) const { return FindHeader(Headers, aName); }

std::string LorvaniSim::ProgramPath() {
  const char* fromEnvironment = std::getenv("ZV_LORVANI_SIM");
  std::string path = fromEnvironment && *fromEnvironment ? fromEnvironment : kBuiltPath;
  if (path.empty()) throw std::runtime_error("lorvani-sim not found: set ZV_LORVANI_SIM");
  return path;
}

void LorvaniSim::TakeBaseUrl(const std::string& aLine) {
  // https://HOST:PORT/v1/instore/, an IPv6 HOST in brackets.
  fBaseUrl = aLine;
  static const std::regex kUrl(R"(https://(\[([^\]]+)\]|([^:/\[]+)):(\d+)/v1/instore/)");
  std::smatch parts;
  if (!std::regex_match(fBaseUrl, parts, kUrl)) {
    Stop();
    throw std::runtime_error("unexpected first line of lorvani-sim: " + fBaseUrl);
  }
  fHost = parts[2].matched ? parts[2].str() : parts[3].str();
  fOrigin = "https://" + parts[1].str() + ":" + parts[4].str();
  fPort = std::stoi(parts[4].str());
}

LorvaniSim::~LorvaniSim() {
  if (fPid > 0) {
    int status = Stop();
    if (status != 0) ADD_FAILURE() << "lorvani-sim exited with status " << status;
  }
  if (!fDirectory.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(fDirectory, ignored);
  }
}

std::string LorvaniSim::Origin() const { return fOrigin; }

std::vector<SimRequest> LorvaniSim::Requests() const {
  SimReply reply = Send("GET", "/_sim/requests");
  if (!reply.Answered || reply.Status != 200) throw std::runtime_error("GET /_sim/requests failed");
  rapidjson::Document document;
  document.Parse(reply.Body.c_str(), reply.Body.size());
  if (document.HasParseError() || !document.IsArray()) throw std::runtime_error("GET /_sim/requests: not a list");
  std::vector<SimRequest> requests;
  for (const auto& entry : document.GetArray()) {
    SimRequest request;
    request.Method = entry["method"].GetString();
    request.Path = entry["path"].GetString();
    for (const auto& header : entry["headers"].GetArray()) {
      request.Headers.emplace_back(header["name"].GetString(), header["value"].GetString());
    }
    // The exact bytes come base64-encoded.
    request.Body = DecodeBase64(entry["bodyBase64"].GetString());
    request.Status = entry["status"].GetInt();
    if (entry.HasMember("state")) request.State = entry["state"].GetString();
    requests.push_back(std::move(request));
  }
  return requests;
}

void LorvaniSim::ClearRequests() const {
  SimReply reply = Send("DELETE", "/_sim/requests");
  if (!reply.Answered || reply.Status != 204) throw std::runtime_error("DELETE /_sim/requests failed");
}

void LorvaniSim::SetFault(const std::string& aFault) const {
  SimReply reply = Send("POST", "/_sim/fault", R"({"fault":")" + aFault + "\"}", {{"Content-Type", "application/json"}});
  if (!reply.Answered || reply.Status != 200) throw std::runtime_error("POST /_sim/fault failed: " + reply.Body);
}

std::string LorvaniSim::OrdersJson() const {
  SimReply reply = Send("GET", "/_sim/orders");
  if (!reply.Answered || reply.Status != 200) throw std::runtime_error("GET /_sim/orders failed");
  return reply.Body;
}

}  // namespace zvtest
