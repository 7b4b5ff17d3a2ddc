#pragma once
// Runs command wrappers as the exported functions do: Process, then Format.

#include <fstream>
#include <iterator>
#include <string>

#include "TestText.h"
#include "driver/uZVPaymentWrapper.h"

namespace zvtest {

struct Answer {
  std::string response;
  std::string error;
  int16_t result = 0;
};

template <typename Wrapper>
Answer Call(const std::string& aXml) {
  Wrapper wrapper;
  wrapper.Process(T(aXml));
  zv::Text response, error;
  int16_t result = 99;
  wrapper.Format(response, error, result);
  return {U8(response), U8(error), result};
}

inline std::string ReadFile(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text of one response element, or "<absent>".
inline std::string Element(const std::string& aResponse, const std::string& aName) {
  const std::string open = "<" + aName + ">", close = "</" + aName + ">";
  const size_t start = aResponse.find(open);
  if (start == std::string::npos) return "<absent>";
  const size_t end = aResponse.find(close, start);
  return aResponse.substr(start + open.size(), end - start - open.size());
}

}  // namespace zvtest
