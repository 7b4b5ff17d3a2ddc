#include "payment/uZVPaymentDefs.h"

#include <array>

namespace zv {

namespace {

constexpr std::array<const char16_t*, 43> kNetworkCodes = {
    u"bank",       u"cheque",    u"visa",       u"amex",      u"mastercard", u"jcb",        u"cup",
    u"diners",     u"maestro",   u"NHS",        u"edenred",   u"day",        u"sodexo",     u"pellegrini",
    u"bluticket",  u"jakala",    u"miglunch",   u"alipay",    u"discover",   u"doku",       u"dragonpay",
    u"molpay",     u"vpay",      u"amazonpay",  u"applepay",  u"samsungpay", u"paypal",     u"yandex",
    u"quiticket",  u"repas",     u"ristomat",   u"agape",     u"lunchtime",  u"quiwelfare", u"ep",
    u"cir",        u"gemeaz",    u"satispay",   u"jiffy",     u"bitcoin",    u"tinaba",     u"lorvani",
    u"other"};

// Only Bank to MIGLunch can be read back from a text.
constexpr size_t kEncodableNetworks = 17;

constexpr std::array<const char16_t*, 8> kTransactionTypeCodes = {
    u"CHIP", u"MAGSTRIPE", u"MANUAL", u"CLESS", u"CLESSMAGSTRIPE", u"CLESSCHIP", u"", u"OTHER"};

}  // namespace

Text DecodeNetwork(zvPaymentNetwork aNetwork) {
  const auto index = static_cast<size_t>(aNetwork);
  return index < kNetworkCodes.size() ? Text(kNetworkCodes[index]) : Text(u"unrecognized");
}

zvPaymentNetwork EncodeNetwork(TextView aText) {
  const Text lower = LowerCase(aText);
  for (size_t i = 0; i < kEncodableNetworks; ++i)
    if (lower == LowerCase(kNetworkCodes[i])) return static_cast<zvPaymentNetwork>(i);
  return zvPaymentNetwork::Other;
}

Text DecodeTransactionType(zvPaymentTransactionType aType) {
  const auto index = static_cast<size_t>(aType);
  return index < kTransactionTypeCodes.size() ? Text(kTransactionTypeCodes[index]) : Text();
}

}  // namespace zv
