// A PAY through the driver library against lorvani-sim, side by side with a bare
// libcurl POST of the same body to the same endpoint (a fresh connection each, as the
// driver makes) from a fresh handle and from one handle kept across the requests, as
// the curl tool does, over HTTPS; and the driver's own steps of a PAY with the network left
// out.
//
//   ninja -C build bench_pay_round_trip && build/bench/bench_pay_round_trip

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "CommandCalls.h"
#include "HostLibrary.h"
#include "LorvaniSim.h"
#include "base/uZV_Base_Defs.h"
#include "device/uZVIOHandler_HTTP.h"
#include "driver/uZVPaymentWrapper.h"
#include "platform/Clock.h"
#include "provider/uZVPA_LORVANI_10.h"
#include "provider/uZVPA_LORVANI_10_JSONUtils.h"

namespace {

const std::string kBearer = "bench-token";

zvtest::LorvaniSim& Sim() {
  static zvtest::LorvaniSim sim({"--token", kBearer});
  return sim;
}

std::string PayRequest(int aHandle, int aSequence) {
  return "<Request><Handle>" + std::to_string(aHandle) +
         "</Handle><Payment><Amount>12.50</Amount><Currency>EUR</Currency><Attributes>PRE-" +
         std::to_string(aSequence) +
         "</Attributes><StoreCode>S1</StoreCode><TillCode>T2</TillCode><OperatorId>op</OperatorId>"
         "<Reference>bench</Reference></Payment></Request>";
}

void PayThroughTheLibrary(benchmark::State& state) {
  zvtest::HostLibrary lib;
  const std::string open = "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>bench</LogId><Connection><Type>HTTP"
                           "</Type><URL>" + Sim().BaseUrl() + "</URL></Connection><Parameters><Bearer>" + kBearer +
                           "</Bearer><TlsCaFile>" + Sim().CaFile() + "</TlsCaFile></Parameters></Request>";
  const int handle = std::stoi(zvtest::Element(zvtest::U8(lib.Call("OPEN", zvtest::T(open)).response), "Handle"));
  int sequence = 0;
  for (auto _ : state) {
    auto answer = lib.Call("PAY", zvtest::T(PayRequest(handle, ++sequence)));
    if (answer.result != 0) state.SkipWithError("PAY failed");
  }
  Sim().ClearRequests();
}

size_t Discard(char*, size_t aSize, size_t aCount, void*) { return aSize * aCount; }

void BareCurlPost(benchmark::State& state) {
  const std::string url = Sim().BaseUrl() + "orders";
  int sequence = 0;
  for (auto _ : state) {
    ++sequence;
    const std::string body = R"({"totalAmount":{"amount":"12.5","currency":"EUR"},"preApprovalCode":"PRE-C)" +
                             std::to_string(sequence) +
                             R"(","requestId":"S1-T2-)" + std::to_string(1000000 + sequence) +
                             R"(","merchantOperatorId":"op","merchantReference":"bench"})";
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, ("Authorization: Bearer " + kBearer).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Zorvik PXR Driver");
    curl_easy_setopt(curl, CURLOPT_CAINFO, Sim().CaFile().c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    long status = 0;
    if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("POST failed");
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) state.SkipWithError("POST was refused");
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
  Sim().ClearRequests();
}

// What `curl -K` does for a list of POSTs: one handle kept across the requests (its
// caches with it, TLS sessions included), yet a fresh connection for each
// (Connection: close), as the driver must. This is the floor for the driver's PAY.
// With the argument 0 the handle keeps no TLS sessions: every handshake is a full one.
void CurlStyleClientFreshConnections(benchmark::State& state) {
  const std::string url = Sim().BaseUrl() + "orders";
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: application/json");
  headers = curl_slist_append(headers, ("Authorization: Bearer " + kBearer).c_str());
  headers = curl_slist_append(headers, "Connection: close");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Zorvik PXR Driver");
  curl_easy_setopt(curl, CURLOPT_CAINFO, Sim().CaFile().c_str());
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, static_cast<long>(state.range(0)));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
  int sequence = 0;
  for (auto _ : state) {
    ++sequence;
    const std::string body = R"({"totalAmount":{"amount":"12.5","currency":"EUR"},"preApprovalCode":"PRE-K)" +
                             std::to_string(sequence) +
                             R"(","requestId":"S1-T2-)" + std::to_string(2000000 + sequence) +
                             R"(","merchantOperatorId":"op","merchantReference":"bench"})";
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    long status = 0;
    if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("POST failed");
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) state.SkipWithError("POST was refused");
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  Sim().ClearRequests();
}

// The driver's steps of one PAY that are not the HTTP exchange: reading the request,
// building the body, the traffic lines of the device log, reading the answer and
// writing the response text.
void DriverStepsWithoutTheNetwork(benchmark::State& state) {
  using namespace zv;
  const Text request = zvtest::T(PayRequest(1, 1));
  const Text answer = FromUtf8(
      R"({"token":"ord_dcd997fedae838c85340dd12","status":"approved","requestId":"S1-T2-20261210032524315",)"
      R"("totalAmount":{"amount":"12.5","currency":"EUR"},"createdAt":"2026-12-10T03:25:24.339Z"})");
  kConnection connection;
  kIOHandler_HTTP handler(&connection, u"/tmp/zv-bench-logs", u"bench_steps");
  zvWriteLogEvent log = handler.LogEvent();
  for (auto _ : state) {
    kPaymentHandler h;
    h.Deserialize(request, {zvPaymentHandlerDocumentType::dt_Pay});
    const Text body = lorvani::PayBody(h.fPaymentReceipt, lorvani::RequestId(h.fPaymentReceipt, Now()));
    handler.Debug(tZV_MessageType::let_info, u"------------------------------------------------------------ Pay");
    log(tZV_MessageType::let_info, u"kLORVANI.Pay", body);
    log(tZV_MessageType::let_info, u"Write", u"https://127.0.0.1/v1/instore/orders");
    log(tZV_MessageType::let_info, u"Write [" + IntToText(static_cast<int64_t>(body.size())) + u"]", body);
    log(tZV_MessageType::let_info, u"Read [" + IntToText(static_cast<int64_t>(answer.size())) + u"]", answer);
    const auto parsed = kJSONUtils::Parse(answer);
    int_PAY_result result = int_PAY_result::Cleared();
    result.TraceAuditId = result.RefundReference = kJSONUtils::GetString(parsed.get(), u"token");
    result.PaymentAmount = h.fPaymentReceipt.fAmount;
    result.PaymentDateTime = Now();
    benchmark::DoNotOptimize(kResponseWriter()
                                 .TextField(u"TraceAuditId", result.TraceAuditId)
                                 .Amount(u"PaymentAmount", result.PaymentAmount)
                                 .Moment(u"PaymentDateTime", result.PaymentDateTime)
                                 .Result());
  }
}

}  // namespace

BENCHMARK(PayThroughTheLibrary)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BareCurlPost)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(CurlStyleClientFreshConnections)->ArgName("tls_sessions")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(DriverStepsWithoutTheNetwork)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
