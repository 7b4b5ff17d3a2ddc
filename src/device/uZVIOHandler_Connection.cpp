#include "base/Exception.h"
#include "device/uZVIOHandler.h"

namespace zv {

zvConnectionType kConnection::ConvertConnectionType(TextView aString) {
  static const struct {
    const char16_t* text;
    zvConnectionType value;
  } kCodes[] = {{u"serial", zvConnectionType::Serial}, {u"http", zvConnectionType::HTTP},
                {u"tcp", zvConnectionType::TCP},       {u"opos", zvConnectionType::OPOS},
                {u"dll", zvConnectionType::DLL},       {u"com", zvConnectionType::Com},
                {u"spool", zvConnectionType::Spool}};
  const Text lower = LowerCase(aString);
  for (const auto& code : kCodes)
    if (lower == code.text) return code.value;
  throw kException(u"Connection Type " + QuotedValue(aString) + u" is not valid");
}

zvParity kConnection::ConvertParity(TextView aString) {
  const Text lower = LowerCase(aString);
  if (lower == u"none") return zvParity::None;
  if (lower == u"odd") return zvParity::Odd;
  if (lower == u"even") return zvParity::Even;
  throw kException(u"Connection Parity " + QuotedValue(aString) + u" is not valid");
}

zvHTTPAuthType kConnection::ConvertAuthType(TextView aString) {
  const Text lower = LowerCase(aString);
  if (lower == u"basic") return zvHTTPAuthType::at_Basic;
  if (lower == u"digest") return zvHTTPAuthType::at_Digest;
  return zvHTTPAuthType::at_None;
}

}  // namespace zv
