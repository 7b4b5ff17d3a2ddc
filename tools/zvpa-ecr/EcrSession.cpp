#include "EcrSession.h"

#include <dlfcn.h>

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "base/Text.h"

namespace ecr {

// ---- the library ----

DriverLibrary::DriverLibrary(const std::string& aPath) {
  fHandle = dlopen(aPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (fHandle == nullptr) throw std::runtime_error("cannot load the driver library: " + std::string(dlerror()));
  fAllocStringLen = reinterpret_cast<decltype(fAllocStringLen)>(dlsym(fHandle, "SysAllocStringLen"));
  fStringLen = reinterpret_cast<decltype(fStringLen)>(dlsym(fHandle, "SysStringLen"));
  fFreeString = reinterpret_cast<decltype(fFreeString)>(dlsym(fHandle, "SysFreeString"));
  if (!fAllocStringLen || !fStringLen || !fFreeString)
    throw std::runtime_error("the library at " + aPath + " does not export the string allocator");
}

DriverLibrary::~DriverLibrary() { dlclose(fHandle); }

DriverLibrary::Answer DriverLibrary::Call(const std::string& aCommand, const std::string& aRequest) const {
  using Command = int (*)(BSTR, BSTR*, BSTR*);
  auto command = reinterpret_cast<Command>(dlsym(fHandle, aCommand.c_str()));
  if (command == nullptr) throw std::runtime_error("the library does not export " + aCommand);
  const std::u16string request = zv::FromUtf8(aRequest);
  BSTR in = fAllocStringLen(request.data(), static_cast<unsigned>(request.size()));
  BSTR response = nullptr, error = nullptr;
  Answer answer;
  answer.result = command(in, &response, &error);
  answer.responseNull = response == nullptr;
  if (response) answer.response = zv::ToUtf8(std::u16string_view(response, fStringLen(response)));
  if (error) answer.error = zv::ToUtf8(std::u16string_view(error, fStringLen(error)));
  fFreeString(response);
  fFreeString(error);
  fFreeString(in);
  return answer;
}

// ---- command lines ----

std::vector<std::string> SplitWords(const std::string& aLine) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < aLine.size(); ++i) {
    const char c = aLine[i];
    if (c == '\\' && i + 1 < aLine.size()) {
      word += aLine[++i];
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) throw std::runtime_error("unbalanced quotation mark in: " + aLine);
  if (inWord) words.push_back(word);
  return words;
}

namespace {

const std::set<std::string> kCommands = {"OPEN",     "CLOSE",     "PAY",     "REPRINT",
                                         "GETSTATUS", "DAYCLOSE", "GETTOTALS", "VERSION"};
const std::set<std::string> kFlags = {"--staging", "--hexlog", "--no-tls-verify", "--show-request"};
const std::set<std::string> kValued = {
    "--xml",      "--driver",  "--handle",  "--log-id",    "--url",      "--bearer",   "--param",
    "--ca-file",  "--action",  "--amount",  "--currency",  "--code",     "--store",    "--till",
    "--operator", "--reference", "--token", "--receipt-id", "--connection", "--payment-date"};

std::string Upper(std::string aText) {
  for (auto& c : aText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return aText;
}

std::string Unescape(const std::string& aText) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
  std::string out;
  for (size_t i = 0; i < aText.size();) {
    bool replaced = false;
    if (aText[i] == '&') {
      for (auto [entity, c] : kEntities) {
        if (aText.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
          out += c;
          i += std::char_traits<char>::length(entity);
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += aText[i++];
  }
  return out;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& aWords) {
  if (aWords.empty()) throw std::runtime_error("no command given");
  CommandLine line;
  line.command = Upper(aWords[0]);
  if (!kCommands.count(line.command))
    throw std::runtime_error("unknown command '" + aWords[0] +
                             "' (commands: OPEN CLOSE PAY REPRINT GETSTATUS DAYCLOSE GETTOTALS VERSION)");
  for (size_t i = 1; i < aWords.size(); ++i) {
    const std::string& option = aWords[i];
    if (kFlags.count(option)) {
      line.options.emplace_back(option, "");
    } else if (kValued.count(option)) {
      if (i + 1 >= aWords.size()) throw std::runtime_error("option " + option + " needs a value");
      line.options.emplace_back(option, aWords[++i]);
    } else {
      throw std::runtime_error("unknown option '" + option + "' for " + line.command);
    }
  }
  return line;
}

std::vector<std::pair<std::string, std::string>> ParseResponse(const std::string& aResponse) {
  std::vector<std::pair<std::string, std::string>> elements;
  size_t pos = 0;
  while (pos < aResponse.size()) {
    const size_t open = aResponse.find('<', pos);
    if (open == std::string::npos) break;
    const size_t close = aResponse.find('>', open);
    if (close == std::string::npos) break;
    const std::string name = aResponse.substr(open + 1, close - open - 1);
    const std::string endTag = "</" + name + ">";
    const size_t end = aResponse.find(endTag, close);
    if (end == std::string::npos) break;
    elements.emplace_back(name, Unescape(aResponse.substr(close + 1, end - close - 1)));
    pos = end + endTag.size();
  }
  return elements;
}

std::string EscapeXml(const std::string& aText) {
  std::string out;
  for (char c : aText) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// ---- the session ----

std::string ReadRequestFile(const std::string& aPath) {
  if (aPath == "-") return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  std::ifstream in(aPath, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the request file " + aPath);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Session::Resolve(const std::string& aValue, const std::string& aKind) const {
  if (aValue != "last") return aValue;
  const std::string& remembered = aKind == "handle" ? fLastHandle : fLastToken;
  if (remembered.empty())
    throw std::runtime_error("there is no earlier " + aKind + " in this session for 'last'");
  return remembered;
}

std::string Session::BuildRequest(const CommandLine& aCommand) const {
  std::map<std::string, std::vector<std::string>> o;
  for (const auto& [name, value] : aCommand.options) o[name].push_back(value);
  auto one = [&](const char* aName, const std::string& aDefault = "") {
    auto it = o.find(aName);
    return it == o.end() ? aDefault : it->second.back();
  };
  auto has = [&](const char* aName) { return o.count(aName) > 0; };
  auto element = [](const std::string& aName, const std::string& aValue) {
    return "<" + aName + ">" + EscapeXml(aValue) + "</" + aName + ">";
  };

  if (aCommand.command == "VERSION") return one("--driver", "ZVPA_LORVANI_10");

  std::string xml = "<Request>" + element("Driver", one("--driver", "ZVPA_LORVANI_10"));
  if (has("--handle")) xml += element("Handle", Resolve(one("--handle"), "handle"));
  if (has("--log-id")) xml += element("LogId", one("--log-id"));
  if (has("--url") || has("--connection")) {
    xml += "<Connection>" + element("Type", one("--connection", "HTTP"));
    if (has("--url")) xml += element("URL", one("--url"));
    xml += "</Connection>";
  }
  std::string parameters;
  if (has("--bearer")) parameters += element("Bearer", one("--bearer"));
  if (has("--staging")) parameters += element("Staging", "true");
  if (has("--hexlog")) parameters += element("HexLog", "true");
  if (has("--ca-file")) parameters += element("TlsCaFile", one("--ca-file"));
  if (has("--no-tls-verify")) parameters += element("TlsVerify", "false");
  for (const std::string& entry : o["--param"]) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || equals == 0)
      throw std::runtime_error("--param needs NAME=VALUE, got '" + entry + "'");
    parameters += element(entry.substr(0, equals), entry.substr(equals + 1));
  }
  if (!parameters.empty()) xml += "<Parameters>" + parameters + "</Parameters>";

  if (aCommand.command == "PAY" || aCommand.command == "REPRINT") {
    xml += "<Payment>";
    if (has("--action")) xml += element("Action", Upper(one("--action")));
    if (has("--amount")) xml += element("Amount", one("--amount"));
    if (has("--currency")) xml += element("Currency", one("--currency"));
    if (has("--code")) xml += element("Attributes", one("--code"));
    if (has("--store")) xml += element("StoreCode", one("--store"));
    if (has("--till")) xml += element("TillCode", one("--till"));
    if (has("--operator")) xml += element("OperatorId", one("--operator"));
    if (has("--reference")) xml += element("Reference", one("--reference"));
    if (has("--receipt-id")) xml += element("ReceiptId", one("--receipt-id"));
    if (has("--token")) {
      xml += "<RefundReference>" + element("PaymentId", Resolve(one("--token"), "token"));
      if (has("--payment-date")) xml += element("PaymentDateTime", one("--payment-date"));
      xml += "</RefundReference>";
    }
    xml += "</Payment>";
  } else if (aCommand.command == "DAYCLOSE" || aCommand.command == "GETTOTALS") {
    const std::string section = aCommand.command == "DAYCLOSE" ? "DayClose" : "GetTotals";
    xml += "<" + section + ">";
    if (has("--store")) xml += element("StoreCode", one("--store"));
    if (has("--till")) xml += element("TillCode", one("--till"));
    if (has("--reference")) xml += element("Reference", one("--reference"));
    xml += "</" + section + ">";
  }
  return xml + "</Request>";
}

int Session::Run(const CommandLine& aCommand) {
  std::string request;
  bool show = false;
  for (const auto& [name, value] : aCommand.options) {
    if (name == "--show-request") show = true;
  }
  auto xmlOption = std::find_if(aCommand.options.begin(), aCommand.options.end(),
                                [](const auto& o) { return o.first == "--xml"; });
  if (xmlOption != aCommand.options.end()) {
    request = ReadRequestFile(xmlOption->second);
  } else {
    request = BuildRequest(aCommand);
  }
  if (show) fOut << "request: " << request << "\n";
  const DriverLibrary::Answer answer = fLibrary.Call(aCommand.command, request);
  Remember(aCommand.command, answer);
  Print(aCommand.command, request, answer);
  return answer.result;
}

void Session::Remember(const std::string& aCommand, const DriverLibrary::Answer& aAnswer) {
  if (aAnswer.result != 0) return;
  for (const auto& [name, value] : ParseResponse(aAnswer.response)) {
    if (aCommand == "OPEN" && name == "Handle") fLastHandle = value;
    if (aCommand == "PAY" && name == "RefundReference" && !value.empty()) fLastToken = value;
  }
}

void Session::Print(const std::string& aCommand, const std::string&, const DriverLibrary::Answer& aAnswer) {
  if (fRaw) {
    fOut << aAnswer.response << "\n";
    fOut << "error text: " << aAnswer.error << "\n";
    fOut << "result: " << static_cast<int16_t>(aAnswer.result) << "\n";
    return;
  }
  fOut << "== " << aCommand << "\n";
  if (aCommand == "VERSION") {
    fOut << "  " << (aAnswer.responseNull ? std::string("(driver not registered)") : aAnswer.response) << "\n";
  } else {
    const auto elements = ParseResponse(aAnswer.response);
    size_t width = 0;
    for (const auto& e : elements) width = std::max(width, e.first.size());
    // Continuation lines of a value start below the value.
    std::string continuation(width + 6, ' ');
    continuation[0] = '\n';
    for (const auto& [name, value] : elements) {
      std::string shown = value;
      for (size_t p = shown.find('\n'); p != std::string::npos; p = shown.find('\n', p + 1))
        shown.replace(p, 1, continuation);
      fOut << "  " << std::left << std::setw(static_cast<int>(width)) << name << " : " << shown << "\n";
    }
  }
  fOut << "  error text: " << (aAnswer.error.empty() ? "(none)" : aAnswer.error) << "\n";
  // Hosts read the result as a 16-bit integer: 0 or -1.
  fOut << "  result:     " << static_cast<int16_t>(aAnswer.result) << (aAnswer.result == 0 ? " (success)" : " (failure)")
       << "\n";
}

}  // namespace ecr
