// lorvani-sim: a local HTTPS stand-in for the Lorvani in-store interface, for
// developing and testing a point-of-sale integration on one machine.

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "SimCertificates.h"
#include "SimServer.h"

namespace {

const char kHelp[] = R"(Usage: lorvani-sim [options]

A local HTTPS server that answers like the Lorvani in-store interface, so that a
point-of-sale system and its payment driver can be tried out without the provider.
It listens on 127.0.0.1 unless told otherwise and keeps everything in memory: stop it
and all is gone.

Options
  --port N             listen on port N (default 8443; 0 picks a free port)
  --listen ADDRESS     listen on ADDRESS instead of 127.0.0.1: an IPv4 or IPv6 address
                       of this machine (e.g. its address on the shop's network, so that
                       a till on another machine reaches it), or a host name that
                       resolves to one; the certificate then names it too
  --token TOKEN        the bearer token that requests must carry (default "demo-token")
  --ca-out FILE        write the simulator's CA certificate (PEM) to FILE; point the
                       driver's TlsCaFile at it to trust the simulator
  --hostname-mismatch  serve a certificate for "lorvani-sim.invalid" only, which a
                       verifying client must refuse (for testing host-name checks)
  --journal FILE       append each request to the interface and its answer to FILE,
                       one JSON line each: {"time","method","path","status",
                       "request","answer"} (status 0: closed without an answer;
                       "replay":true for a repeat answered with the first answer;
                       "clientLeft":true when the client had gone).
                       Headers, and so the bearer token, are never written
  --quiet              do not log each request on standard error
  --help               show this text

Start-up
  A new CA and server certificate (for 127.0.0.1, localhost and the --listen
  address) are made at every start. The first line of standard output is the base URL of the interface, e.g.
      https://127.0.0.1:8443/v1/instore/
  printed once the port is open and the CA file is written. Use it as the URL of
  the driver's HTTP connection. SIGTERM or SIGINT (Ctrl+C) stops the simulator.

Interface (every request needs "Authorization: Bearer TOKEN"; a POST, a JSON body
with "Content-Type: application/json")
  POST /v1/instore/orders
      {"totalAmount":{"amount":"12.5","currency":"EUR"},"preApprovalCode":"ABC",
       "requestId":"S1-T2-20240301120000000","merchantOperatorId":"op",
       "merchantReference":"R-1"}
      201 {"token":"ord_...","status":"approved","requestId":...,"totalAmount":...,
           "preApprovalCode":...,"merchantOperatorId":...,"merchantReference":...,
           "createdAt":"2024-03-01T11:00:00.000Z"}
  POST /v1/instore/orders/{token}/refund
      {"token":"ord_...","requestId":"S1-T2-20240301121500000",
       "merchantOperatorId":"op","refundAmount":{"amount":"5","currency":"EUR"}}
      201 {"token":"ord_...","refundToken":"rfd_...","refundedAt":"...Z",
           "requestId":...,"refundAmount":...,"remainingAmount":...}
  GET /v1/instore/orders/{token}      (bearer token needed, no body)
      200 {"token":...,"status":"approved","requestId":...,"preApprovalCode":...,
           "merchantOperatorId":...,"merchantReference":...,"totalAmount":...,
           "refundedAmount":...,"remainingAmount":...,"createdAt":...,
           "refunds":[{"refundToken":...,"requestId":...,"refundAmount":...,
                       "refundedAt":...}]}
      404 {"message":...} for an unknown token

  Rules, as a careful provider applies them:
  - a missing or wrong bearer token gives 401; a body that is not JSON, 400; a
    Content-Type other than application/json, 415;
  - amounts are decimal strings ("12.5") greater than 0, with no more decimals
    than their currency has (2 for EUR, 0 for JPY, 3 for KWD: "0.001" EUR is
    refused with 400, as a provider refuses it); currencies are three capital
    letters; preApprovalCode and requestId are
    required non-empty strings; merchantOperatorId and merchantReference, when
    present, are strings. A 400 answer's "message" and "field" name the field;
  - an order can be refunded, in one or more refunds, up to its amount (422 beyond,
    404 for an unknown order); a refund's currency is the order's; a refund's
    "token", when present, must be the order's token;
  - a requestId seen before with the same content answers the first answer again
    (header Idempotent-Replayed: true; a "replay" in the request list, the
    journal file and the page); with other content, 409 "request_id_conflict".
    While the first request with that requestId is still at work (a delay
    running), a repeat gets 409 "request_in_progress", never a second order.
  Every error answer is JSON with "message" and "errorCode". Bodies larger than
  1 MiB are refused with 413.

Limits
  A connection may stay silent for 60 seconds (idle between requests, or in the
  middle of one: a slow client, one under a debugger or valgrind) before it is
  closed; 64 connections are served at once, more wait for a free one. A
  request body may have 1 MiB.

Faults, chosen by the order's preApprovalCode (the body must be valid)
  FAULT-DELAY-N         create the order as usual, but answer only after N seconds
                        (1 to 300)
  FAULT-LOST-ANSWER     create the order, then close the connection without
                        answering
  FAULT-500             500 without a body
  FAULT-502-HTML        502 with an HTML page, as a gateway answers
  FAULT-JSON-ARRAY      400 whose body is a JSON array
  FAULT-JSON-STRING     400 whose body is a JSON string
  FAULT-JSON-NUMBER     400 whose body is a JSON number
  FAULT-NOT-JSON        400 whose body is plain text
  FAULT-302             302 to /v1/instore/moved with a short HTML body
  FAULT-CLOSE           the connection is closed without an answer
  FAULT-DECLINED        422 "The customer's pre-approval was declined"
  FAULT-NO-TOKEN        the order is created, its answer has no "token"
  FAULT-NO-REFUNDEDAT   the order is created; refunds of it answer without
                        "refundedAt"
  FAULT-BAD-REFUNDEDAT  as above, with a "refundedAt" that is no date
  FAULT-HUGE-ANSWER     the order is created, its answer is a 200 whose JSON body
                        is a little over 1 MiB (a long "padding" member)
  FAULT-BOM             the order is created, its answer starts with a UTF-8
                        byte-order mark
  Any other code beginning with "FAULT-" is refused with 400.

  The uncertain outcome: the driver's time-outs are connect 10 s, read 120 s. With
  FAULT-LOST-ANSWER, or FAULT-DELAY-N with N beyond the read time-out (say
  FAULT-DELAY-130), the order exists at the provider while the driver has no
  answer and reports an error. Rehearse what the point of sale does then:
  GET /_sim/orders?requestId=<the requestId of the driver's error text> or the
  journal page show the order, and repeating the request with the same requestId
  (the driver's PAY with <RequestId>) answers the first answer again: the same
  order, no second one. A repeat during the first request's delay gets 409
  "request_in_progress". A request whose client gave up before its answer is
  marked "answered after the client left".

Control (no token needed)
  POST   /_sim/fault     {"fault":"FAULT-500"}: the next order or refund request
                         gets that fault whatever its content. DELAY, 500, 502-HTML,
                         JSON-ARRAY, NOT-JSON, 302 and CLOSE strike before the
                         request is checked; the others shape its answer.
                         JSON-STRING and JSON-NUMBER strike before the check too.
                         LOST-ANSWER makes the order or the refund, then closes
                         the connection unanswered.
  GET    /_sim/fault     the fault waiting for the next request, or null
  DELETE /_sim/fault     cancel it
  GET    /_sim/requests  the requests received (oldest first, the last 1000; control
                         requests are not listed): sequence, receivedAt, method, path
                         (the request target as sent), headers [{name, value}], body,
                         bodyBase64 (the exact bytes), status (0: no answer was sent),
                         state (pending, answered, closed, or client-left: answered
                         after the client had closed its connection), replay (true:
                         answered with the first answer to its requestId)
  DELETE /_sim/requests  forget them
  GET    /_sim/orders    the orders with their refunds; ?requestId=ID: only the order
                         made by that request or holding a refund made by it
  GET    /               the journal page, for a browser: orders, refunds, requests
                         still pending (a delay running), replays of a requestId,
                         failed requests (status
                         and message; "answered after the client left" when the
                         client had gone) and the fault waiting for
                         the next request; it reloads itself every 3 seconds and
                         loads nothing from elsewhere
)";

struct Arguments {
  lorvanisim::SimOptions Options;
  bool Help = false;
};

Arguments ParseArguments(int aCount, char** aValues) {
  Arguments arguments;
  std::vector<std::string> values(aValues + 1, aValues + aCount);
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& name = values[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= values.size()) throw std::invalid_argument(name + " needs a value");
      return values[++i];
    };
    if (name == "--help" || name == "-h") {
      arguments.Help = true;
    } else if (name == "--port") {
      const std::string& text = value();
      size_t used = 0;
      int port = -1;
      try {
        port = std::stoi(text, &used);
      } catch (const std::exception&) {
      }
      if (used != text.size() || port < 0 || port > 65535) throw std::invalid_argument("--port needs 0 to 65535");
      arguments.Options.Port = port;
    } else if (name == "--listen") {
      arguments.Options.Listen = value();
      if (arguments.Options.Listen.empty()) throw std::invalid_argument("--listen needs an address");
    } else if (name == "--token") {
      arguments.Options.BearerToken = value();
      if (arguments.Options.BearerToken.empty()) throw std::invalid_argument("--token needs a non-empty token");
    } else if (name == "--ca-out") {
      arguments.Options.CaOut = value();
    } else if (name == "--hostname-mismatch") {
      arguments.Options.HostnameMismatch = true;
    } else if (name == "--journal") {
      arguments.Options.Journal = value();
    } else if (name == "--quiet") {
      arguments.Options.Quiet = true;
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  return arguments;
}

// Written beside its final name and renamed, so that a reader never sees half a file.
void WriteFileAtomically(const std::string& aPath, const std::string& aContent) {
  const std::string temporary = aPath + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << aContent;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + temporary);
  }
  std::error_code error;
  std::filesystem::rename(temporary, aPath, error);
  if (error) throw std::runtime_error("cannot write " + aPath + ": " + error.message());
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  try {
    arguments = ParseArguments(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lorvani-sim: %s (see --help)\n", e.what());
    return 2;
  }
  if (arguments.Help) {
    std::fputs(kHelp, stdout);
    return 0;
  }

  // SIGTERM and SIGINT are taken by one thread that waits for them, so that stopping
  // happens on an ordinary thread; a peer that vanishes must not kill the process.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    const lorvanisim::SimOptions& options = arguments.Options;
    lorvanisim::SimIdentity identity = lorvanisim::MakeIdentity(options.HostnameMismatch, options.Listen);
    if (!options.CaOut.empty()) WriteFileAtomically(options.CaOut, identity.CaPem);
    lorvanisim::SimServer server(options, std::move(identity));
    const int port = server.Bind();

    std::atomic<bool> signalled{false};
    std::atomic<bool> runEnded{false};
    std::thread stopper([&server, &stopSignals, &signalled, &runEnded] {
      int received = 0;
      sigwait(&stopSignals, &received);
      signalled = true;
      // A signal can come before the server has started listening, when stopping it
      // would have no effect yet: wait until it runs (or Run has given up), then stop.
      while (!runEnded && !server.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      server.Stop();
    });

    // An IPv6 address stands in brackets in a URL.
    const std::string host = options.Listen.find(':') != std::string::npos ? "[" + options.Listen + "]" : options.Listen;
    const std::string baseUrl = "https://" + host + ":" + std::to_string(port) + "/v1/instore/";
    std::cout << baseUrl << std::endl;
    if (!options.Quiet) {
      std::cerr << "lorvani-sim: serving " << baseUrl << " (bearer token \"" << options.BearerToken << "\")\n"
                << "lorvani-sim: CA certificate "
                << (options.CaOut.empty() ? std::string("not written (use --ca-out FILE)") : "in " + options.CaOut)
                << (options.HostnameMismatch ? "; the server certificate names only lorvani-sim.invalid" : "")
                << "\nlorvani-sim: stop with Ctrl+C" << std::endl;
    }

    server.Run();
    runEnded = true;
    // Run may also end without a signal: wake the waiting thread with one.
    if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    if (!options.Quiet) std::cerr << "lorvani-sim: stopped" << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lorvani-sim: %s\n", e.what());
    return 1;
  }
}
