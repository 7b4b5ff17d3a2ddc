// A library built as the driver is (the platform linked in, nothing of it exported but
// these two calls), so that the tests can load it from a folder of their choosing and
// see which printing module it finds beside itself.

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/ImageFile.h"
#include "platform/Spooler.h"

namespace {

void Copy(const zv::Text& aMessage, char* aOut, size_t aSize) {
  const std::string text = zv::ToUtf8(aMessage);
  const size_t n = std::min(text.size(), aSize - 1);
  std::memcpy(aOut, text.data(), n);
  aOut[n] = '\0';
}

}  // namespace

// Sends aText as a raw job to aPrinter: 1 when sent, else 0 with the reason in aMessage.
extern "C" __attribute__((visibility("default"))) int ZvProbeSendRaw(const char* aPrinter, const char* aText,
                                                                     char* aMessage, size_t aSize) {
  const zv::platform::SpoolResult sent = zv::platform::SendRawJob(zv::FromUtf8(aPrinter), u"Probe", aText);
  Copy(sent.Message, aMessage, aSize);
  return sent.Ok ? 1 : 0;
}

// The width of the picture in aBytes, or -1 with the reason in aMessage.
extern "C" __attribute__((visibility("default"))) int ZvProbeDecodePicture(const char* aBytes, size_t aLength,
                                                                           char* aMessage, size_t aSize) {
  const zv::platform::ImageLoadResult image = zv::platform::DecodeImage(std::string_view(aBytes, aLength));
  Copy(image.Message, aMessage, aSize);
  return image.Loaded ? image.Picture.Width() : -1;
}
