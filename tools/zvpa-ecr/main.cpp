// zvpa-ecr: a command-line point-of-sale host for the ZVPA_LORVANI_10 driver.

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "EcrSession.h"

// libedit's readline-compatible interface (BSD-licensed; not GNU readline).
#include <editline/readline.h>

namespace {

const char* kHelp = R"(zvpa-ecr - send requests to the ZVPA_LORVANI_10 payment driver as a cash register does

usage:
  zvpa-ecr [GLOBAL OPTIONS] COMMAND [OPTIONS]   run one command
  zvpa-ecr [GLOBAL OPTIONS] --script FILE       run a session: one command per line
  zvpa-ecr [GLOBAL OPTIONS] --script -          the session's commands from standard input
  zvpa-ecr [GLOBAL OPTIONS]                     on a terminal: an interactive session;
                                                otherwise the session from standard input

global options (anywhere on the command line, before or after the command):
  --library PATH       the driver library (default: $ZV_LIBRARY, else the one built with the tool)
  --script FILE|-      run the lines of FILE (or standard input) as a session
  --raw                print the response text as the library returns it; in a session each
                       answer is preceded by "== COMMAND"
  --json               print each answer as one JSON object on one line:
                       {"command":"PAY","result":0,"error":"...","response":{ELEMENT:VALUE,...}}
                       (for VERSION "response" is the text, or null); a failure adds
                       "deviceLog" and, when known, "httpStatus" (the provider's
                       answer) or "transportCode" (no answer came), with "statusText";
                       a refused session line prints {"command":...,"line":N,"refused":"why"};
                       DEVICES prints {"command":"DEVICES","result":0,
                       "devices":[{"Handle":"1","LogFileName":"..."},...]}
  --help               this text

Devices live inside this process: OPEN a device and use its handle in the same session.
In a session, "--handle last" is the handle of the last successful OPEN and "--token last"
the RefundReference of the last successful PAY. When a PAY's outcome is unknown (its error
names a requestId), REPEAT sends the same request again with that requestId: the provider
answers with the first outcome (paid with its order, or refused) instead of charging twice. Session lines are split as a shell does:
'single quotes' keep everything, "double quotes" group and a backslash escapes. Lines
starting with # are comments. A session line may carry --raw or --json for that line alone.

Interactive session: zvpa-ecr without a command and without --script, on a terminal, reads
lines like a script's with line editing and history (kept in ~/.zvpa_ecr_history when the
home folder is writable); HELP prints this text, QUIT or Ctrl-D ends the session.

commands: OPEN CLOSE PAY REPRINT GETSTATUS DAYCLOSE GETTOTALS VERSION
          DEVICES (in a session: the open handles and their device logs)
          REPEAT  (in a session: the last PAY of unknown outcome again, with its requestId)

request options (a request is built from them unless --xml is given):
  --xml FILE           send the file's text as the request ("-": standard input)
  --driver NAME        driver name (default ZVPA_LORVANI_10)
  --handle N|last      device handle
  --log-id ID          log id (second part of the device log's name; default ecr)
  --connection TYPE    connection type (default HTTP); every request but VERSION carries one
  --url URL            provider base URL; without it the driver uses the provider's
                       production or, with --staging, staging service
  --bearer TOKEN       the merchant's bearer token
  --staging            use the provider's staging service
  --ca-file PEM        extra trusted certificates (for a private CA or lorvani-sim)
  --no-tls-verify      do not verify the provider's certificate (logged as an error)
  --hexlog             hex dump in the device log
  --param NAME=VALUE   any other parameter (repeatable); NAME is an XML element name:
                       a letter or _ first, then letters, digits, _, - and .
payment options (PAY, REPRINT):
  --action PAY|REFUND|VOID   --amount 12.50   --currency EUR   --code PRE-APPROVAL-CODE
  --store CODE   --till CODE   --operator ID   --reference TEXT   --receipt-id ID
                       (store and till make the requestId: a PAY without them is warned of)
  --token TOKEN|last   the order to refund or void (REFUND and VOID need it)
  --request-id ID      the requestId of an earlier attempt whose outcome is unknown: the same
                       request is sent again under it, and the provider answers with the first
                       outcome (give the same amount, code, store, till, operator and reference)
  --payment-date ISO-8601
report options (DAYCLOSE, GETTOTALS): --store --till --reference
output:
  --show-request       print the request before sending it (the bearer token as ***)
  A failed command also shows its device log and, when the HTTP client logged a failure
  during the call, the provider's HTTP status ("http status: 404 Not Found") or, when no
  answer came, the transport's error code ("transport code: 52 Empty reply from server").
  The result is what the host receives: 0, or 65535 (0xFFFF) for a failure.

exit codes:
  0  every command succeeded
  1  a command failed (result 65535) or a session line was refused
  2  the command line is wrong or the library cannot be loaded

examples:
  zvpa-ecr --script session.txt
  echo 'GETSTATUS' | zvpa-ecr
  zvpa-ecr VERSION --raw
  zvpa-ecr PAY --staging --bearer TOKEN --amount 12.50 --currency EUR --code PRE-APPROVAL-CODE
)";

// $ZV_LIBRARY, else the library installed beside the tool, else the one built with it.
std::string DefaultLibrary() {
  if (const char* path = std::getenv("ZV_LIBRARY")) return path;
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path installed = (exe.parent_path() / ".." / ZV_INSTALLED_LIBRARY).lexically_normal();
    if (std::filesystem::exists(installed, error)) return installed.string();
  }
  return ZV_DEFAULT_LIBRARY;
}

// The history file under $HOME; empty when there is no home folder.
std::string HistoryFile() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == 0) return {};
  return std::string(home) + "/.zvpa_ecr_history";
}

std::string Trim(const std::string& aText) {
  const size_t first = aText.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return aText.substr(first, aText.find_last_not_of(" \t\r") - first + 1);
}

// The interactive session: libedit's line editing and history, lines as in a script.
int RunInteractive(ecr::Session& aSession) {
  const std::string history = HistoryFile();
  using_history();
  stifle_history(1000);
  if (!history.empty()) read_history(history.c_str());
  std::cout << "zvpa-ecr: commands as in a script; HELP for help, QUIT or Ctrl-D to end" << std::endl;
  std::cout << "history: ";
  if (history.empty())
    std::cout << "this session only";
  else
    std::cout << history;
  std::cout << " (bearer tokens kept as ***)" << std::endl;
  int failures = 0;
  while (true) {
    std::unique_ptr<char, decltype(&std::free)> typed(readline("ecr> "), &std::free);
    if (!typed) break;
    const std::string line = Trim(typed.get());
    if (line.empty()) continue;
    // The history file is plain text in the home folder: no bearer token goes there.
    add_history(ecr::HistoryLine(line).c_str());
    // Unwritable home: the history lasts for this session only.
    if (!history.empty()) write_history(history.c_str());
    std::string word = line.substr(0, line.find_first_of(" \t"));
    for (auto& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word == "QUIT" || word == "EXIT") break;
    if (word == "HELP") {
      std::cout << kHelp << std::flush;
      continue;
    }
    if (!aSession.RunLine(line, 0)) ++failures;
  }
  std::cout << std::endl;
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ecr::GlobalOptions global;
  std::vector<std::string> command;
  try {
    command = ecr::TakeGlobalOptions(std::vector<std::string>(argv + 1, argv + argc), global);
  } catch (const std::exception& e) {
    std::cerr << "zvpa-ecr: " << e.what() << "\n";
    return 2;
  }
  if (global.help) {
    std::cout << kHelp;
    return 0;
  }
  const ecr::Output output = global.json ? ecr::Output::Json : global.raw ? ecr::Output::Raw : ecr::Output::Table;
  const bool interactive = command.empty() && global.script.empty() && isatty(STDIN_FILENO);
  // Commands piped in without --script: the session from standard input.
  const bool piped = command.empty() && global.script.empty() && !interactive;
  if (!command.empty() && !global.script.empty()) {
    std::cerr << "zvpa-ecr: give either a command or --script, not both\n";
    return 2;
  }
  try {
    ecr::DriverLibrary driver(global.library.empty() ? DefaultLibrary() : global.library);
    ecr::Session session(driver, std::cout, std::cerr, output, command.empty());
    if (interactive) return RunInteractive(session);
    if (piped || global.script == "-") return session.RunScript(std::cin);
    if (!global.script.empty()) {
      std::ifstream in(global.script);
      if (!in) throw std::runtime_error("cannot read the script " + global.script);
      return session.RunScript(in);
    }
    return session.Run(ecr::ParseCommandLine(command)) == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "zvpa-ecr: " << e.what() << "\n";
    return 2;
  }
}
