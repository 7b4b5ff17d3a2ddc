// A PAY through the driver library against lorvani-sim, side by side with a bare
// libcurl POST of the same body to the same endpoint (a fresh connection each, as the
// driver makes) from a fresh handle, from one handle kept across the requests as the
// curl tool does, and from fresh handles made as the driver makes them, over HTTPS;
// PayBesideTheClients takes turns between them and prints the ratios; and the driver's
// own steps of a PAY with the network left out.
//
//   ninja -C build bench_pay_round_trip && build/bench/bench_pay_round_trip

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

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

// The driver as a host uses it: loaded, one device opened, a PAY per call.
class DriverClient {
 public:
  DriverClient() {
    const std::string open = "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>bench</LogId><Connection><Type>HTTP"
                             "</Type><URL>" + Sim().BaseUrl() + "</URL></Connection><Parameters><Bearer>" + kBearer +
                             "</Bearer><TlsCaFile>" + Sim().CaFile() + "</TlsCaFile></Parameters></Request>";
    fHandle = std::stoi(zvtest::Element(zvtest::U8(fLibrary.Call("OPEN", zvtest::T(open)).response), "Handle"));
  }
  bool Pay() { return fLibrary.Call("PAY", zvtest::T(PayRequest(fHandle, ++fSequence))).result == 0; }

 private:
  zvtest::HostLibrary fLibrary;
  int fHandle = 0;
  int fSequence = 0;
};

size_t Discard(char*, size_t aSize, size_t aCount, void*) { return aSize * aCount; }

// An order's body as the driver would send it; each client numbers its own.
std::string OrderBody(char aClient, int aSequence) {
  return R"({"totalAmount":{"amount":"12.5","currency":"EUR"},"preApprovalCode":"PRE-)" + std::string(1, aClient) +
         std::to_string(aSequence) + R"(","requestId":"S1-T2-)" + aClient + std::to_string(1000000 + aSequence) +
         R"(","merchantOperatorId":"op","merchantReference":"bench"})";
}

// The settings every libcurl client below shares with the driver's requests.
curl_slist* SetCommonOptions(CURL* aCurl, const std::string& aUrl, bool aClose) {
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, ("Authorization: Bearer " + kBearer).c_str());
  if (aClose) headers = curl_slist_append(headers, "Connection: close");
  curl_easy_setopt(aCurl, CURLOPT_URL, aUrl.c_str());
  curl_easy_setopt(aCurl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(aCurl, CURLOPT_USERAGENT, "Zorvik PXR Driver");
  curl_easy_setopt(aCurl, CURLOPT_WRITEFUNCTION, Discard);
  return headers;
}

// A POST on a prepared handle: true when the server took the order.
bool Posted(CURL* aCurl, const std::string& aBody) {
  curl_easy_setopt(aCurl, CURLOPT_POSTFIELDS, aBody.c_str());
  long status = 0;
  if (curl_easy_perform(aCurl) != CURLE_OK) return false;
  curl_easy_getinfo(aCurl, CURLINFO_RESPONSE_CODE, &status);
  return status >= 200 && status <= 299;
}

// What `curl -K` does for a list of POSTs: one handle kept across the requests (its
// caches with it, TLS sessions included), yet a fresh connection for each
// (Connection: close), as the driver must. Without TLS sessions every handshake is a
// full one.
class CurlStyleClient {
 public:
  explicit CurlStyleClient(bool aTlsSessions) : fCurl(curl_easy_init()) {
    fHeaders = SetCommonOptions(fCurl, Sim().BaseUrl() + "orders", true);
    curl_easy_setopt(fCurl, CURLOPT_CAINFO, Sim().CaFile().c_str());
    curl_easy_setopt(fCurl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(fCurl, CURLOPT_SSL_SESSIONID_CACHE, aTlsSessions ? 1L : 0L);
  }
  ~CurlStyleClient() {
    curl_slist_free_all(fHeaders);
    curl_easy_cleanup(fCurl);
  }
  CurlStyleClient(const CurlStyleClient&) = delete;
  CurlStyleClient& operator=(const CurlStyleClient&) = delete;
  bool Post() { return Posted(fCurl, OrderBody('K', ++fSequence)); }

 private:
  CURL* fCurl;
  curl_slist* fHeaders = nullptr;
  int fSequence = 0;
};

// The driver's own connection pattern without the driver: a fresh handle for every
// request (and with it a fresh multi handle inside curl_easy_perform), TLS sessions kept
// in a share, and a trust store built once for the process (the system's bundle and the
// simulator's CA) put into each connection.
class FreshHandleClient {
 public:
  FreshHandleClient() : fStore(X509_STORE_new()), fShare(curl_share_init()) {
    X509_STORE_set_default_paths(fStore);
    X509_STORE_load_file(fStore, Sim().CaFile().c_str());
    curl_share_setopt(fShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  ~FreshHandleClient() {
    curl_share_cleanup(fShare);
    X509_STORE_free(fStore);
  }
  FreshHandleClient(const FreshHandleClient&) = delete;
  FreshHandleClient& operator=(const FreshHandleClient&) = delete;

  bool Post() {
    CURL* curl = curl_easy_init();
    curl_slist* headers = SetCommonOptions(curl, Sim().BaseUrl() + "orders", false);
    curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl, CURLOPT_SHARE, fShare);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, fStore);
    curl_easy_setopt(
        curl, CURLOPT_SSL_CTX_FUNCTION, +[](CURL*, void* aContext, void* aStore) {
          X509_STORE_up_ref(static_cast<X509_STORE*>(aStore));
          SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(aContext), static_cast<X509_STORE*>(aStore));
          return CURLE_OK;
        });
    const bool posted = Posted(curl, OrderBody('F', ++fSequence));
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return posted;
  }

 private:
  X509_STORE* fStore;
  CURLSH* fShare;
  int fSequence = 0;
};

void PayThroughTheLibrary(benchmark::State& state) {
  DriverClient driver;
  for (auto _ : state)
    if (!driver.Pay()) state.SkipWithError("PAY failed");
  Sim().ClearRequests();
}

// A bare libcurl POST from a fresh handle, CA file read for each.
void BareCurlPost(benchmark::State& state) {
  const std::string url = Sim().BaseUrl() + "orders";
  int sequence = 0;
  for (auto _ : state) {
    CURL* curl = curl_easy_init();
    curl_slist* headers = SetCommonOptions(curl, url, false);
    curl_easy_setopt(curl, CURLOPT_CAINFO, Sim().CaFile().c_str());
    if (!Posted(curl, OrderBody('C', ++sequence))) state.SkipWithError("POST failed");
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
  Sim().ClearRequests();
}

// The floor for the driver's PAY; with the argument 0 the handle keeps no TLS sessions.
void CurlStyleClientFreshConnections(benchmark::State& state) {
  CurlStyleClient client(state.range(0) != 0);
  for (auto _ : state)
    if (!client.Post()) state.SkipWithError("POST failed");
  Sim().ClearRequests();
}

void FreshHandlesSharedTrust(benchmark::State& state) {
  FreshHandleClient client;
  for (auto _ : state)
    if (!client.Post()) state.SkipWithError("POST failed");
  Sim().ClearRequests();
}

// Seconds of wall time and of the calling thread's processor time that aCall took (as
// the CPU column of the other benchmarks: the driver's log writer is left out, its cost
// is bench_log_writer's).
template <typename Call>
void Measure(Call aCall, double& aWall, double& aCpu, std::chrono::milliseconds aPause, benchmark::State& aState) {
  timespec cpuStart{}, cpuEnd{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
  const auto start = std::chrono::steady_clock::now();
  if (!aCall()) aState.SkipWithError("a request failed");
  aWall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
  aCpu += static_cast<double>(cpuEnd.tv_sec - cpuStart.tv_sec) + static_cast<double>(cpuEnd.tv_nsec - cpuStart.tv_nsec) * 1e-9;
  // With a pause, what a request leaves to finish in the background (the driver's log
  // lines, the simulator's end of the connection) finishes before the next client's
  // turn; without one, it competes with the next request, as in a burst of payments.
  if (aPause.count() > 0) std::this_thread::sleep_for(aPause);
}

// The PAY beside the curl-style client with TLS sessions and beside the driver's
// connection pattern without the driver, taking turns request by request so that both
// sides of each ratio see the same machine; the argument is the pause in milliseconds
// after each request (a till pays now and then: 2; a burst, back to back: 0). Reported
// per request in milliseconds, and the ratios: the PAY's time over curl's (goal: at
// most 1.05) and over the bare pattern's.
void PayBesideTheClients(benchmark::State& state) {
  const std::chrono::milliseconds pause(state.range(0));
  DriverClient driver;
  CurlStyleClient curl(true);
  FreshHandleClient fresh;
  double payWall = 0, payCpu = 0, curlWall = 0, curlCpu = 0, freshWall = 0, freshCpu = 0;
  for (auto _ : state) {
    Measure([&] { return driver.Pay(); }, payWall, payCpu, pause, state);
    Measure([&] { return curl.Post(); }, curlWall, curlCpu, pause, state);
    Measure([&] { return fresh.Post(); }, freshWall, freshCpu, pause, state);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["pay_ms"] = payWall / n * 1e3;
  state.counters["curl_ms"] = curlWall / n * 1e3;
  state.counters["fresh_ms"] = freshWall / n * 1e3;
  state.counters["ratio"] = payWall / curlWall;
  state.counters["ratio_fresh"] = payWall / freshWall;
  state.counters["pay_cpu_ms"] = payCpu / n * 1e3;
  state.counters["curl_cpu_ms"] = curlCpu / n * 1e3;
  state.counters["cpu_ratio"] = payCpu / curlCpu;
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
BENCHMARK(FreshHandlesSharedTrust)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(PayBesideTheClients)->ArgName("pause_ms")->Arg(2)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(2000);
BENCHMARK(DriverStepsWithoutTheNetwork)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
