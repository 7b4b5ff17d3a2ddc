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

// The help is also the manual page (help2man): "Usage:" lines make its synopsis,
// unindented lines ending in ":" its sections, an indented term with its text on the
// same or the next lines an entry of a list.
const char* kHelp = R"(Usage: zvpa-ecr [GLOBAL-OPTION]... COMMAND [OPTION]...
  or:  zvpa-ecr [GLOBAL-OPTION]... --script FILE
  or:  zvpa-ecr [GLOBAL-OPTION]...
Send requests to the ZVPA_LORVANI_10 payment driver as a cash register does: one
COMMAND, built from its options; a session of commands, one a line, from FILE ("-" for
standard input); without either, on a terminal, an interactive session, and otherwise
the session from standard input.

Commands:
  OPEN CLOSE PAY REPRINT GETSTATUS DAYCLOSE GETTOTALS VERSION
                       the driver's commands
  DEVICES              in a session: the open handles and their device logs
  REPEAT               in a session: the last PAY of unknown outcome again, with its
                       requestId

Global options (anywhere on the command line, before or after the command):
  --library PATH       the driver library (default: $ZV_LIBRARY, else the one installed
                       beside the tool, else the one built with it)
  --script FILE|-      run the lines of FILE (or standard input) as a session
  --raw                print the response text as the library returns it; in a session
                       each answer is preceded by "== COMMAND"
  --json               print each answer as one JSON object on one line, with the
                       members "command", "result", "error" and "response" (an object
                       of the response's elements; for VERSION the text, or null); a
                       failure adds "deviceLog" and, when known, "httpStatus" (the
                       provider's answer) or "transportCode" (no answer came), with
                       "statusText"; a refused session line gives "command", "line"
                       and "refused" (why); DEVICES gives "command", "result" and
                       "devices", a list of objects with "Handle" and "LogFileName"
  --help               print this text and exit
  --version            print the version and exit

Sessions:
  Devices live inside this process: OPEN a device and use its handle in the same
  session. In a session, "--handle last" is the handle of the last successful OPEN and
  "--token last" the RefundReference of the last successful PAY. When a PAY's outcome
  is unknown (its error names a requestId), REPEAT sends the same request again with
  that requestId: the provider answers with the first outcome (paid with its order, or
  refused) instead of charging twice. Session lines are split as a shell does: 'single
  quotes' keep everything, "double quotes" group and a backslash escapes. Lines
  starting with # are comments. A session line may carry --raw or --json for that line
  alone. The interactive session reads lines like a script's, with line editing and
  history (kept in ~/.zvpa_ecr_history when the home folder is writable); HELP prints
  this text, QUIT or Ctrl-D ends the session.

Request options (a request is built from them unless --xml is given):
  --xml FILE           send the file's text as the request ("-": standard input)
  --driver NAME        driver name (default ZVPA_LORVANI_10)
  --handle N|last      device handle
  --log-id ID          log id, the second part of the device log's name (default ecr)
  --connection TYPE    connection type (default HTTP); every request but VERSION
                       carries one
  --url URL            provider base URL; without it the driver uses the provider's
                       production or, with --staging, staging service
  --bearer TOKEN       the merchant's bearer token
  --staging            use the provider's staging service
  --ca-file PEM        extra trusted certificates (for a private CA or lorvani-sim)
  --no-tls-verify      do not verify the provider's certificate (logged as an error)
  --hexlog             hex dump in the device log
  --param NAME=VALUE   any other parameter (repeatable); NAME is an XML element name:
                       a letter or _ first, then letters, digits, _, - and .

Payment options (PAY, REPRINT):
  --action PAY|REFUND|VOID
                       what PAY does (default PAY); REFUND gives back the amount given
                       of an earlier payment, VOID cancels one and needs its amount too
  --amount AMOUNT      the amount, e.g. 12.50
  --currency CODE      the currency, e.g. EUR
  --code CODE          the customer's pre-approval code
  --store CODE         store code; with the till code it makes the requestId (a PAY
                       without both is warned of)
  --till CODE          till code
  --operator ID        the operator (cashier)
  --reference TEXT     the host's reference of the sale
  --receipt-id ID      the receipt to reprint
  --token TOKEN|last   the order to refund or void (REFUND and VOID need it)
  --request-id ID      the requestId of an earlier attempt whose outcome is unknown: the
                       same request is sent again under it, and the provider answers
                       with the first outcome (give the same amount, code, store, till,
                       operator and reference)
  --payment-date ISO-8601
                       the date and time of the payment refunded or voided

Report options (DAYCLOSE, GETTOTALS):
  --store CODE         store code
  --till CODE          till code
  --reference TEXT     the host's reference

Output:
  Each answer is printed as a table of its elements (see --raw and --json). The result
  is what the host receives: 0, or 65535 (0xFFFF) for a failure. A failed command also
  shows its device log and, when the HTTP client logged a failure during the call, the
  provider's HTTP status ("http status: 404 Not Found") or, when no answer came, the
  transport's error code ("transport code: 52 Empty reply from server").

  --show-request       print the request before sending it (the bearer token as ***)

Exit status:
  0                    every command succeeded
  1                    a command failed (result 65535) or a session line was refused
  2                    the command line is wrong or the library cannot be loaded

Files:
  The folder LogFiles/ is made below $ZV_LOG_DIR when it is set; otherwise below the
  tool's own folder, except for the installed tool (/usr/bin/zvpa-ecr, with the
  driver in /usr/lib/zvpa-lorvani-10), whose folder is the system's: its logs go to
  the user's state folder, $XDG_STATE_HOME/zvpa-ecr, else ~/.local/state/zvpa-ecr.

  LogFiles/Payment/DRIVER_LOGID_YYYYMMDD.log
                       a device log, from OPEN on (DRIVER, LOGID: the request's
                       Driver and LogId; YYYYMMDD: the day the device was opened)
  LogFiles/zvpa-ecr.log
                       the application log, made only when the library logs a line
                       there (this driver logs its traffic in the device logs only)
  ~/.zvpa_ecr_history  the interactive session's history (bearer tokens as ***)

Environment:
  ZV_LOG_DIR           the folder below which the driver makes LogFiles/ (see Files)
  ZV_LIBRARY           the driver library, when --library is not given
  ZV_PRINT_MODULE      the driver's printing module (ZVPA_LORVANI_10_print.so),
                       when it is not the one beside the driver
  ZV_OPOS_FISCALPRINTER
                       the OPOS fiscal printer control of an OPOS connection
  XDG_STATE_HOME, HOME
                       the user's state folder (see Files)
  ZV_STATE_DIR         the folder of the driver's request id files (default
                       /var/tmp/zvpa-lorvani-10), which keep request ids unique on the
                       machine
  https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY
                       the proxy through which the driver reaches the provider
                       (libcurl's variables)
  no_proxy, NO_PROXY   hosts reached without the proxy, separated by commas

Examples:
  zvpa-ecr VERSION --raw
                       the driver's version text
  echo GETSTATUS | zvpa-ecr
                       one command from standard input
  zvpa-ecr --script session.txt
                       a session: OPEN, then PAY with --handle last, then CLOSE
  zvpa-ecr PAY --staging --bearer TOKEN --amount 12.50 --currency EUR --code CODE
                       a payment against the provider's staging service
)";

// The library installed beside the tool (its folder's ../lib/zvpa-lorvani-10, as
// /usr/bin/zvpa-ecr has /usr/lib/zvpa-lorvani-10); empty when the tool does not run as
// installed (from its build folder, say).
std::string InstalledLibrary() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  const std::filesystem::path installed = (exe.parent_path() / ZV_INSTALLED_LIBRARY).lexically_normal();
  return std::filesystem::exists(installed, error) ? installed.string() : std::string();
}

// $ZV_LIBRARY, else the library installed beside the tool, else the one built with it.
std::string DefaultLibrary() {
  if (const char* path = std::getenv("ZV_LIBRARY")) return path;
  const std::string installed = InstalledLibrary();
  if (!installed.empty()) return installed;
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return ZV_BUILT_LIBRARY;
  return (exe.parent_path() / ZV_BUILT_LIBRARY).lexically_normal().string();
}

// The user's state folder for the tool: $XDG_STATE_HOME/zvpa-ecr, else
// ~/.local/state/zvpa-ecr; empty without either.
std::string UserStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // XDG says a relative value is to be ignored.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/zvpa-ecr";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/zvpa-ecr";
  return {};
}

// The library writes its logs below the host's folder unless ZV_LOG_DIR says otherwise.
// Installed, that folder is the system's (/usr/bin), where logs do not belong and where
// removing the package would leave them: they go to the user's state folder instead.
void ChooseLogFolder() {
  const char* chosen = std::getenv("ZV_LOG_DIR");
  if ((chosen != nullptr && *chosen != '\0') || InstalledLibrary().empty()) return;
  const std::string state = UserStateFolder();
  if (!state.empty()) setenv("ZV_LOG_DIR", state.c_str(), 1);
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
  if (global.version) {
    std::cout << "zvpa-ecr " ZV_VERSION "\n";
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
    ChooseLogFolder();
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
