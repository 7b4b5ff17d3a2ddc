// zvpa-ecr: a command-line point-of-sale host for the ZVPA_LORVANI_10 driver.

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "EcrSession.h"

namespace {

const char* kHelp = R"(zvpa-ecr - send requests to the ZVPA_LORVANI_10 payment driver as a cash register does

usage:
  zvpa-ecr [--library PATH] [--raw] COMMAND [OPTIONS]     run one command
  zvpa-ecr [--library PATH] [--raw] --script FILE         run a session: one command per line
  zvpa-ecr [--library PATH] [--raw] --script -            the session's commands from standard input

Devices live inside this process: OPEN a device and use its handle in the same session.
In a session, "--handle last" is the handle of the last successful OPEN and "--token last"
the RefundReference of the last successful PAY. Lines starting with # are comments.

commands: OPEN CLOSE PAY REPRINT GETSTATUS DAYCLOSE GETTOTALS VERSION

request options (a request is built from them unless --xml is given):
  --xml FILE           send the file's text as the request ("-": standard input)
  --driver NAME        driver name (default ZVPA_LORVANI_10)
  --handle N|last      device handle
  --log-id ID          log id (second part of the device log's name)
  --url URL            provider base URL (an HTTP connection); without it the driver uses
                       the provider's production or, with --staging, staging service
  --connection TYPE    connection type (default HTTP)
  --bearer TOKEN       the merchant's bearer token
  --staging            use the provider's staging service
  --ca-file PEM        extra trusted certificates (for a private CA or lorvani-sim)
  --no-tls-verify      do not verify the provider's certificate (logged as an error)
  --hexlog             hex dump in the device log
  --param NAME=VALUE   any other parameter (repeatable)
payment options (PAY, REPRINT):
  --action PAY|REFUND|VOID   --amount 12.50   --currency EUR   --code PRE-APPROVAL-CODE
  --store CODE   --till CODE   --operator ID   --reference TEXT   --receipt-id ID
  --token TOKEN|last   the order to refund or void   --payment-date ISO-8601
report options (DAYCLOSE, GETTOTALS): --store --till --reference
output:
  --raw                print the response text as the library returns it
  --show-request       print the request before sending it

examples:
  zvpa-ecr --script session.txt
  echo 'GETSTATUS' | zvpa-ecr --script -
  zvpa-ecr VERSION
)";

std::string DefaultLibrary() {
  if (const char* path = std::getenv("ZV_LIBRARY")) return path;
  return ZV_DEFAULT_LIBRARY;
}

int RunScript(ecr::Session& aSession, std::istream& aIn) {
  int failures = 0;
  std::string line;
  int number = 0;
  while (std::getline(aIn, line)) {
    ++number;
    const auto words = ecr::SplitWords(line);
    if (words.empty() || words[0].rfind("#", 0) == 0) continue;
    try {
      if (aSession.Run(ecr::ParseCommandLine(words)) != 0) ++failures;
    } catch (const std::exception& e) {
      std::cerr << "line " << number << ": " << e.what() << "\n";
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string library = DefaultLibrary();
  std::string script;
  bool raw = false;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::cout << kHelp;
      return 0;
    } else if (args[i] == "--library" && i + 1 < args.size()) {
      library = args[++i];
    } else if (args[i] == "--script" && i + 1 < args.size()) {
      script = args[++i];
    } else if (args[i] == "--raw") {
      raw = true;
    } else {
      break;
    }
  }
  try {
    ecr::DriverLibrary driver(library);
    ecr::Session session(driver, std::cout, raw);
    if (!script.empty()) {
      if (script == "-") return RunScript(session, std::cin);
      std::ifstream in(script);
      if (!in) throw std::runtime_error("cannot read the script " + script);
      return RunScript(session, in);
    }
    if (i >= args.size()) {
      std::cerr << kHelp;
      return 2;
    }
    const std::vector<std::string> command(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    return session.Run(ecr::ParseCommandLine(command)) == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "zvpa-ecr: " << e.what() << "\n";
    return 2;
  }
}
