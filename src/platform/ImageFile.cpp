#include "platform/ImageFile.h"

#include "platform/ImagePng.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

namespace zv::platform {

namespace {

ImageLoadResult Failure(const char* aReason) { return ImageFailure(aReason); }
bool SizeAllowed(int64_t aWidth, int64_t aHeight) { return ImageSizeAllowed(aWidth, aHeight); }

// Little-endian fields of a BMP file, read only inside the data.
class Reader {
 public:
  explicit Reader(std::string_view aBytes) : fBytes(aBytes) {}
  bool Has(size_t aOffset, size_t aCount) const { return aOffset <= fBytes.size() && aCount <= fBytes.size() - aOffset; }
  uint8_t U8(size_t aOffset) const { return static_cast<uint8_t>(fBytes[aOffset]); }
  uint16_t U16(size_t aOffset) const { return static_cast<uint16_t>(U8(aOffset) | U8(aOffset + 1) << 8); }
  uint32_t U32(size_t aOffset) const { return U16(aOffset) | uint32_t{U16(aOffset + 2)} << 16; }
  int32_t I32(size_t aOffset) const { return static_cast<int32_t>(U32(aOffset)); }

 private:
  std::string_view fBytes;
};

// One channel of a bit-field pixel scaled to 0..255; aDefault when the mask is empty.
uint32_t Channel(uint32_t aValue, uint32_t aMask, uint32_t aDefault) {
  if (aMask == 0) return aDefault;
  int shift = 0;
  while (((aMask >> shift) & 1u) == 0) ++shift;
  const uint64_t max = aMask >> shift;
  const uint64_t v = (aValue & aMask) >> shift;
  return static_cast<uint32_t>((v * 255 + max / 2) / max);
}

ImageLoadResult DecodeBmp(std::string_view aBytes) {
  constexpr uint32_t kRgb = 0, kBitFields = 3, kAlphaBitFields = 6;
  const Reader r(aBytes);
  if (!r.Has(0, 18)) return Failure("The BMP picture is damaged: the file is too short");
  const uint32_t dataOffset = r.U32(10);
  const uint32_t headerSize = r.U32(14);
  const size_t header = 14;
  if (!r.Has(header, headerSize)) return Failure("The BMP picture is damaged: the file is too short");

  int64_t width = 0, height = 0;
  uint32_t bits = 0, compression = kRgb, colours = 0;
  size_t paletteEntry = 4;
  if (headerSize == 12) {  // the OS/2 header: 16-bit sizes, 3-byte palette entries
    width = r.U16(header + 4);
    height = static_cast<int16_t>(r.U16(header + 6));
    bits = r.U16(header + 10);
    paletteEntry = 3;
  } else if (headerSize >= 40) {
    width = r.I32(header + 4);
    height = r.I32(header + 8);
    bits = r.U16(header + 14);
    compression = r.U32(header + 16);
    colours = r.U32(header + 32);
  } else {
    return Failure("The BMP picture has a header of an unknown kind");
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  if (!SizeAllowed(width, height)) return Failure("The BMP picture is too large or empty");

  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  size_t paletteOffset = header + headerSize;
  if (compression == kBitFields || compression == kAlphaBitFields) {
    if (bits != 16 && bits != 32) return Failure("The BMP picture has bit fields at a depth other than 16 or 32 bits");
    const size_t count = compression == kAlphaBitFields ? 4 : 3;
    // Version 2 and later headers hold the masks; the plain 40-byte header has them after it.
    const size_t at = headerSize >= 52 ? header + 40 : header + headerSize;
    if (!r.Has(at, 4 * count)) return Failure("The BMP picture is damaged: the file is too short");
    for (size_t i = 0; i < count; ++i) masks[i] = r.U32(at + 4 * i);
    if (headerSize >= 56) masks[3] = r.U32(header + 52);
    if (headerSize == 40) paletteOffset += 4 * count;
  } else if (compression == kRgb) {
    if (bits == 16) {
      masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else if (bits == 32) {
      masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;  // the fourth byte is unused
    } else if (bits != 1 && bits != 4 && bits != 8 && bits != 24) {
      return Failure("The BMP picture has an unsupported number of bits per pixel");
    }
  } else {
    return Failure("The BMP picture is compressed in a way that is not supported");
  }

  std::vector<uint32_t> palette;
  if (bits <= 8) {
    const uint32_t full = 1u << bits;
    const uint32_t count = colours == 0 || colours > full ? full : colours;
    if (!r.Has(paletteOffset, count * paletteEntry)) return Failure("The BMP picture is damaged: the palette is cut short");
    for (uint32_t i = 0; i < count; ++i) {
      const size_t at = paletteOffset + i * paletteEntry;
      palette.push_back(0xFF000000u | uint32_t{r.U8(at + 2)} << 16 | uint32_t{r.U8(at + 1)} << 8 | r.U8(at));
    }
  }

  const size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
  if (!r.Has(dataOffset, stride * static_cast<size_t>(height)))
    return Failure("The BMP picture is damaged: the pixels are cut short");

  Bitmap picture(static_cast<int32_t>(width), static_cast<int32_t>(height));
  for (int32_t y = 0; y < picture.Height(); ++y) {
    const size_t row = dataOffset + stride * static_cast<size_t>(topDown ? y : picture.Height() - 1 - y);
    for (int32_t x = 0; x < picture.Width(); ++x) {
      uint32_t color = 0;
      if (bits <= 8) {
        const size_t bit = static_cast<size_t>(x) * bits;
        const uint32_t index = (r.U8(row + bit / 8) >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        // An index past the palette shows black, as the system's own viewer does.
        color = index < palette.size() ? palette[index] : 0xFF000000u;
      } else if (bits == 24) {
        const size_t at = row + static_cast<size_t>(x) * 3;
        color = 0xFF000000u | uint32_t{r.U8(at + 2)} << 16 | uint32_t{r.U8(at + 1)} << 8 | r.U8(at);
      } else {
        const uint32_t v = bits == 16 ? r.U16(row + static_cast<size_t>(x) * 2) : r.U32(row + static_cast<size_t>(x) * 4);
        color = Channel(v, masks[3], 255) << 24 | Channel(v, masks[0], 0) << 16 | Channel(v, masks[1], 0) << 8 |
                Channel(v, masks[2], 0);
      }
      picture.SetPixel(x, y, color);
    }
  }
  return {true, std::move(picture), {}};
}

}  // namespace

ImageLoadResult DecodeImage(std::string_view aBytes) {
  if (IsPng(aBytes)) return DecodePng(aBytes);
  if (aBytes.size() >= 2 && aBytes[0] == 'B' && aBytes[1] == 'M') {
    try {
      return DecodeBmp(aBytes);
    } catch (const std::bad_alloc&) {
      return Failure(kImageNoMemory);
    }
  }
  return Failure("The file is neither a PNG nor a BMP picture");
}

ImageLoadResult LoadImageFile(const Text& aFileName) try {
#ifdef _WIN32
  // The wide name: a narrow one would pass through the ANSI code page.
  std::ifstream in(std::filesystem::path(aFileName), std::ios::binary);
#else
  std::ifstream in(ToUtf8(aFileName), std::ios::binary);
#endif
  if (!in) {
    ImageLoadResult result = Failure("Cannot open the picture file ");
    result.Message += aFileName;
    return result;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    ImageLoadResult result = Failure("Cannot read the picture file ");
    result.Message += aFileName;
    return result;
  }
  return DecodeImage(bytes);
} catch (const std::bad_alloc&) {
  return Failure(kImageNoMemory);
}

}  // namespace zv::platform
