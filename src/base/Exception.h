#pragma once
// The one kind of failure inside the library: a message text. Command wrappers turn
// it into the result's ErrorText; it never leaves an exported function.

#include <exception>
#include <string>

#include "base/Text.h"

namespace zv {

class kException : public std::exception {
 public:
  explicit kException(Text aMessage) : fMessage(std::move(aMessage)), fUtf8(ToUtf8(fMessage)) {}
  const Text& Message() const noexcept { return fMessage; }
  const char* what() const noexcept override { return fUtf8.c_str(); }

 private:
  Text fMessage;
  std::string fUtf8;
};

// The message of any failure caught at a boundary: a kException's text, another
// exception's what(), or a fixed text for anything else.
Text FailureMessage(std::exception_ptr aFailure);

// A request value as a failure message quotes it: unchanged up to
// kQuotedValueLimit characters; a longer one is cut there (never inside a surrogate
// pair) and followed by "... (cut, N characters)", N being the whole value's length.
// A host that sends a huge value thus never gets it back as an error text.
constexpr size_t kQuotedValueLimit = 200;
Text QuotedValue(TextView aValue);

}  // namespace zv
