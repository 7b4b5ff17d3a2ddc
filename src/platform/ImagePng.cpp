#include "platform/ImagePng.h"

#include <algorithm>

namespace zv::platform {

namespace {

// Pictures beyond these bounds are refused before anything is allocated: a damaged or
// hostile header must not make the loader reserve gigabytes.
constexpr int64_t kMaxSide = 32767;
constexpr int64_t kMaxPixels = int64_t{1} << 26;  // 64 M pixels, 256 MiB in memory

// Deflate's best case: a 258-byte match for every two bits, plus the slack of one
// block's header and the first literal.
constexpr uint64_t kDeflateMaxRatio = 1032;
constexpr uint64_t kDeflateSlack = 1032;

uint32_t BigEndian32(std::string_view aBytes, size_t aAt) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<uint8_t>(aBytes[aAt + i]);
  return value;
}

// Samples per pixel of a PNG colour type; 0 for one that does not exist.
uint64_t Channels(uint8_t aColourType) {
  switch (aColourType) {
    case 0: return 1;  // grey
    case 2: return 3;  // RGB
    case 3: return 1;  // palette index
    case 4: return 2;  // grey and alpha
    case 6: return 4;  // RGBA
    default: return 0;
  }
}

}  // namespace

ImageLoadResult ImageFailure(const char* aReason) { return {false, {}, FromAscii(aReason)}; }

bool ImageSizeAllowed(int64_t aWidth, int64_t aHeight) {
  return aWidth > 0 && aHeight > 0 && aWidth <= kMaxSide && aHeight <= kMaxSide && aWidth * aHeight <= kMaxPixels;
}

bool IsPng(std::string_view aBytes) { return aBytes.starts_with(std::string_view("\x89PNG\r\n\x1a\n", 8)); }

bool PngHeaderSize(std::string_view aBytes, int64_t& aWidth, int64_t& aHeight) {
  // The signature, then IHDR: length, type, width, height, depth, colour type, ...
  constexpr size_t kHeaderEnd = 8 + 8 + 13;
  if (!IsPng(aBytes) || aBytes.size() < kHeaderEnd || aBytes.substr(12, 4) != "IHDR") return false;
  aWidth = BigEndian32(aBytes, 16);
  aHeight = BigEndian32(aBytes, 20);
  return true;
}

bool PngDataCanHoldPicture(std::string_view aBytes) {
  int64_t width = 0, height = 0;
  if (!PngHeaderSize(aBytes, width, height) || !ImageSizeAllowed(width, height)) return true;
  const uint64_t depth = static_cast<uint8_t>(aBytes[24]);
  const uint64_t channels = Channels(static_cast<uint8_t>(aBytes[25]));
  if (channels == 0 || depth == 0 || depth > 16) return true;
  // The rows as compressed: a filter byte and the packed samples each. An interlaced
  // picture has more filter bytes, so this is the least any picture of the size needs.
  const uint64_t rows = static_cast<uint64_t>(height) * (1 + (static_cast<uint64_t>(width) * channels * depth + 7) / 8);

  uint64_t compressed = 0;
  for (size_t at = 8; at + 8 <= aBytes.size();) {
    const uint64_t length = BigEndian32(aBytes, at);
    const std::string_view type = aBytes.substr(at + 4, 4);
    const uint64_t inFile = std::min<uint64_t>(length, aBytes.size() - (at + 8));
    if (type == "IDAT") compressed += inFile;
    if (type == "IEND" || inFile < length) break;
    at += 8 + static_cast<size_t>(length) + 4;  // data and CRC
  }
  return rows <= compressed * kDeflateMaxRatio + kDeflateSlack;
}

}  // namespace zv::platform
