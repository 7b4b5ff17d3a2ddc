// Any bytes as the request texts of a sequence of exported calls (OPEN, CLOSE, PAY,
// REPRINT, GETSTATUS, DAYCLOSE, GETTOTALS, VERSION), through the exported functions
// themselves. Every HTTP(S) request goes to a closed local port, so a PAY reaches its
// post and fails at once instead of reaching the network.
//
// An input is one or more calls separated by the line "--8<--". A call's first byte
// picks the command: one of the letters O C P R S D T V (GETTOTALS is T, GETSTATUS
// S), in upper case for the rest of the bytes as Latin-1 text, in lower case for the
// rest as little-endian UTF-16 code units; any other byte picks by its value.

#include <cctype>
#include <cstring>
#include <string_view>

#include "FuzzEnvironment.h"

namespace {

using Command = int (*)(BSTR, BSTR*, BSTR*);

constexpr std::string_view kLetters = "OCPRSDTV";
constexpr Command kCommands[] = {OPEN, CLOSE, PAY, REPRINT, GETSTATUS, DAYCLOSE, GETTOTALS, VERSION};
constexpr std::string_view kSeparator = "\n--8<--\n";

void RunCall(const uint8_t* aData, size_t aSize) {
  if (aSize == 0) return;
  const uint8_t selector = aData[0];
  const size_t letter = kLetters.find(static_cast<char>(std::toupper(selector)));
  const Command command = kCommands[letter != std::string_view::npos ? letter : selector % 8];
  const bool utf16 = std::isalpha(selector) ? std::islower(selector) != 0 : selector >= 0x80;
  const std::u16string request = utf16 ? zvfuzz::Utf16(aData + 1, aSize - 1) : zvfuzz::Widen(aData + 1, aSize - 1);
  const zvfuzz::Answer answer = zvfuzz::Call(command, request);
  // Every command but VERSION answers a response; a failure always says why.
  if (command != VERSION && answer.Response.empty()) __builtin_trap();
  if (answer.Result != 0 && command != VERSION && answer.Error.empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::RefuseEveryConnection();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string_view input(reinterpret_cast<const char*>(aData), aSize);
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find(kSeparator, start);
    if (end == std::string_view::npos) end = input.size();
    RunCall(aData + start, end - start);
    start = end + kSeparator.size();
  }
  zvfuzz::ForgetDevices();
  return 0;
}
