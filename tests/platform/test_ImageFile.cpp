// Pictures read from PNG and BMP files into the project's bitmap.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <zlib.h>
#endif

#include "PrintModule.h"
#include "TestText.h"
#include "platform/ImageFile.h"

namespace zv::platform {
namespace {

using zvtest::U8;

void Put16(std::string& aOut, uint32_t aValue) {
  aOut += static_cast<char>(aValue & 0xFF);
  aOut += static_cast<char>((aValue >> 8) & 0xFF);
}
void Put32(std::string& aOut, uint32_t aValue) {
  Put16(aOut, aValue & 0xFFFF);
  Put16(aOut, aValue >> 16);
}

// A BMP file: a 40-byte (or larger) header, then aExtra (masks, palette), then the
// rows as given (already padded, in file order).
std::string Bmp(int32_t aWidth, int32_t aHeight, uint16_t aBits, uint32_t aCompression, const std::string& aExtra,
                const std::string& aRows, uint32_t aHeaderSize = 40, const std::string& aHeaderTail = {},
                uint32_t aColours = 0) {
  std::string header;
  Put32(header, aHeaderSize);
  Put32(header, static_cast<uint32_t>(aWidth));
  Put32(header, static_cast<uint32_t>(aHeight));
  Put16(header, 1);
  Put16(header, aBits);
  Put32(header, aCompression);
  Put32(header, static_cast<uint32_t>(aRows.size()));
  Put32(header, 2835);
  Put32(header, 2835);
  Put32(header, aColours);
  Put32(header, 0);
  header += aHeaderTail;
  header.resize(aHeaderSize, '\0');
  std::string file = "BM";
  const uint32_t offset = static_cast<uint32_t>(14 + header.size() + aExtra.size());
  Put32(file, static_cast<uint32_t>(offset + aRows.size()));
  Put32(file, 0);
  Put32(file, offset);
  return file + header + aExtra + aRows;
}

std::string Palette(const std::vector<uint32_t>& aColours) {
  std::string out;
  for (uint32_t c : aColours) Put32(out, c & 0xFFFFFF);
  return out;
}

std::vector<uint32_t> PixelsOf(const std::string& aFile) {
  const ImageLoadResult result = DecodeImage(aFile);
  EXPECT_TRUE(result.Loaded) << U8(result.Message);
  return result.Picture.Pixels();
}

TEST(ImageFile, BmpPixelLayouts) {
  constexpr uint32_t R = 0xFFFF0000u, G = 0xFF00FF00u, B = 0xFF0000FFu, W = 0xFFFFFFFFu, K = 0xFF000000u;
  std::string masks;
  Put32(masks, 0x00FF0000);
  Put32(masks, 0x0000FF00);
  Put32(masks, 0x000000FF);
  std::string v4Masks = masks;
  Put32(v4Masks, 0xFF000000);
  struct Case {
    std::string Name;
    std::string File;
    int32_t Width, Height;
    std::vector<uint32_t> Pixels;  // rows from the top
  } cases[] = {
      // Bottom-up rows, each padded to 4 bytes (3 pixels = 9 bytes + 3).
      {"24 bits", Bmp(3, 2, 24, 0, "", std::string("\xFF\x00\x00\x00\xFF\x00\x00\x00\xFF\0\0\0", 12) +
                                          std::string("\x00\x00\x00\xFF\xFF\xFF\x00\x00\xFF\0\0\0", 12)),
       3, 2, {K, W, R, B, G, R}},
      // A negative height: top-down rows.
      {"24 bits top-down", Bmp(1, -2, 24, 0, "", std::string("\x00\x00\xFF\0\xFF\x00\x00\0", 8)), 1, 2, {R, B}},
      // The leftmost pixel in the high bit; 10 pixels need 2 bytes, padded to 4.
      {"1 bit", Bmp(10, 1, 1, 0, Palette({0x000000, 0xFFFFFF}), std::string("\xA0\x40\0\0", 4)), 10, 1,
       {W, K, W, K, K, K, K, K, K, W}},
      {"4 bits", Bmp(3, 1, 4, 0, Palette({0xFF0000, 0x00FF00, 0x0000FF}), std::string("\x12\x00\0\0", 4), 40, {}, 3), 3, 1,
       {G, B, R}},
      // Two palette entries named by the header; an index past them shows black.
      {"8 bits", Bmp(3, 1, 8, 0, Palette({0x0000FF, 0xFFFFFF}), std::string("\x01\x00\x07\0", 4), 40, {}, 2), 3, 1,
       {W, B, K}},
      // 5-5-5 without bit fields: 0x7C00 is full red.
      {"16 bits", Bmp(2, 1, 16, 0, "", std::string("\x00\x7C\xE0\x03", 4)), 2, 1, {R, G}},
      // The fourth byte of a plain 32-bit pixel is unused: the picture is opaque.
      {"32 bits", Bmp(1, 1, 32, 0, "", std::string("\x10\x20\x30\x00", 4)), 1, 1, {0xFF302010u}},
      // Bit fields after a plain header.
      {"32 bits with bit fields", Bmp(1, 1, 32, 3, masks, std::string("\x10\x20\x30\x40", 4)), 1, 1,
       {0xFF302010u}},
      // A version 4 header holds the masks, alpha included.
      {"32 bits with alpha", Bmp(1, 1, 32, 3, "", std::string("\x10\x20\x30\x40", 4), 108, v4Masks), 1, 1,
       {0x40302010u}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const ImageLoadResult result = DecodeImage(c.File);
    ASSERT_TRUE(result.Loaded) << U8(result.Message);
    EXPECT_EQ(result.Picture.Width(), c.Width);
    EXPECT_EQ(result.Picture.Height(), c.Height);
    EXPECT_EQ(result.Picture.Pixels(), c.Pixels);
  }
}

TEST(ImageFile, DamagedOrUnsupportedFilesAreRefusedWithTheReason) {
  const std::string rows(12, '\0');
  std::string truncated = Bmp(3, 2, 24, 0, "", rows);
  truncated.resize(truncated.size() - 1);
  struct Case {
    std::string File;
    std::string Message;
  } cases[] = {
      {truncated, "The BMP picture is damaged: the pixels are cut short"},
      {Bmp(100000, 1, 24, 0, "", rows), "The BMP picture is too large or empty"},
      {Bmp(20000, 20000, 24, 0, "", rows), "The BMP picture is too large or empty"},
      {Bmp(0, 1, 24, 0, "", rows), "The BMP picture is too large or empty"},
      {Bmp(2, 2, 8, 1, "", rows), "The BMP picture is compressed in a way that is not supported"},
      {Bmp(2, 2, 8, 0, "", rows), "The BMP picture is damaged: the palette is cut short"},
      {Bmp(2, 2, 2, 0, "", rows), "The BMP picture has an unsupported number of bits per pixel"},
      {Bmp(2, 2, 24, 0, "", rows, 20), "The BMP picture has a header of an unknown kind"},
      {"BM", "The BMP picture is damaged: the file is too short"},
      {"GIF89a", "The file is neither a PNG nor a BMP picture"},
      {"", "The file is neither a PNG nor a BMP picture"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Message);
    const ImageLoadResult result = DecodeImage(c.File);
    EXPECT_FALSE(result.Loaded);
    EXPECT_EQ(U8(result.Message), c.Message);
    EXPECT_TRUE(result.Picture.Empty());
  }
}

// PNG colour types of the pictures the tests write.
constexpr uint8_t kGray = 0, kRgb = 2, kRgba = 6;

void PutBig32(std::string& aOut, uint32_t aValue) {
  for (int shift = 24; shift >= 0; shift -= 8) aOut += static_cast<char>((aValue >> shift) & 0xFF);
}

uint32_t Crc32(std::string_view aBytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (char c : aBytes) {
    crc ^= static_cast<uint8_t>(c);
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutChunk(std::string& aOut, const char* aType, const std::string& aData) {
  PutBig32(aOut, static_cast<uint32_t>(aData.size()));
  const std::string body = aType + aData;
  aOut += body;
  PutBig32(aOut, Crc32(body));
}

// An 8-bit PNG file whose IDAT chunk holds aData.
std::string PngFile(uint32_t aWidth, uint32_t aHeight, uint8_t aColourType, const std::string& aData) {
  std::string header;
  PutBig32(header, aWidth);
  PutBig32(header, aHeight);
  header += std::string{'\x08', static_cast<char>(aColourType), '\0', '\0', '\0'};
  std::string file("\x89PNG\r\n\x1a\n", 8);
  PutChunk(file, "IHDR", header);
  PutChunk(file, "IDAT", aData);
  PutChunk(file, "IEND", "");
  return file;
}

// An 8-bit PNG file of aPixels (rows from the top, no padding), written here so that
// the same pictures are read on every system: unfiltered rows in stored deflate blocks.
std::string Png(uint32_t aWidth, uint32_t aHeight, uint8_t aColourType, const std::string& aPixels) {
  const size_t rowBytes = aPixels.size() / aHeight;
  std::string raw;
  for (uint32_t y = 0; y < aHeight; ++y) raw += '\0' + aPixels.substr(y * rowBytes, rowBytes);
  std::string zlib("\x78\x01", 2);
  for (size_t at = 0; at == 0 || at < raw.size(); at += 65535) {
    const size_t n = std::min<size_t>(65535, raw.size() - at);
    zlib += static_cast<char>(at + n >= raw.size() ? 1 : 0);
    Put16(zlib, static_cast<uint32_t>(n));
    Put16(zlib, static_cast<uint32_t>(~n & 0xFFFF));
    zlib += raw.substr(at, n);
  }
  uint32_t a = 1, b = 0;
  for (char c : raw) {
    a = (a + static_cast<uint8_t>(c)) % 65521;
    b = (b + a) % 65521;
  }
  PutBig32(zlib, b << 16 | a);
  return PngFile(aWidth, aHeight, aColourType, zlib);
}

TEST(ImageFile, PngPicturesWithAndWithoutAlpha) {
  zvtest::UseBuiltPrintModule();
  // RGBA: straight alpha is kept as it is.
  EXPECT_EQ(PixelsOf(Png(2, 1, kRgba, std::string("\xFF\x00\x00\xFF\x10\x20\x30\x80", 8))),
            (std::vector<uint32_t>{0xFFFF0000u, 0x80102030u}));
  // Grey without alpha: opaque.
  EXPECT_EQ(PixelsOf(Png(1, 2, kGray, std::string("\x00\xFF", 2))),
            (std::vector<uint32_t>{0xFF000000u, 0xFFFFFFFFu}));
  std::string damaged = Png(2, 1, kRgb, std::string(6, '\x7F'));
  damaged.resize(damaged.size() - 20);
  const ImageLoadResult result = DecodeImage(damaged);
  EXPECT_FALSE(result.Loaded);
  EXPECT_TRUE(U8(result.Message).starts_with("The PNG picture is damaged: ")) << U8(result.Message);
}

// A picture whose header promises more than its data can hold is refused before its
// memory is taken; the data of a valid picture compressed as well as deflate can is
// not refused for being small.
TEST(ImageFile, PngDataTooShortForItsSizeIsRefusedBeforeThePictureIsAllocated) {
  zvtest::UseBuiltPrintModule();
  // 8192 x 8192 pixels (256 MiB) announced by 68 bytes: a zlib stream of one stored
  // empty block.
  const std::string empty("\x78\x01\x01\x00\x00\xFF\xFF\x00\x00\x00\x01", 11);
  const std::string tiny = PngFile(8192, 8192, kRgba, empty);
  ASSERT_EQ(tiny.size(), 68u);
  struct Case {
    std::string Name;
    std::string File;
  } cases[] = {
      {"8192 x 8192 in 68 bytes", tiny},
      // 1032 bytes of data could at most hold 1032 x 1032 grey rows: 1100 x 1100 cannot fit.
      {"1100 x 1100 grey in 1032 bytes", PngFile(1100, 1100, kGray, empty + std::string(1021, '\0'))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const ImageLoadResult result = DecodeImage(c.File);
    EXPECT_FALSE(result.Loaded);
    EXPECT_EQ(U8(result.Message), "The PNG picture is damaged: its data is too short for its size");
    EXPECT_TRUE(result.Picture.Empty());
  }
}

#ifndef _WIN32
TEST(ImageFile, PngCompressedAsWellAsDeflateCanIsRead) {
  zvtest::UseBuiltPrintModule();
  // 2048 x 2048 black grey pixels: about 1028 bytes of rows for each compressed byte.
  const std::string rows(size_t{2048} * 2049, '\0');
  std::string data(compressBound(rows.size()), '\0');
  uLongf size = data.size();
  ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(data.data()), &size, reinterpret_cast<const Bytef*>(rows.data()),
                      rows.size(), Z_BEST_COMPRESSION),
            Z_OK);
  data.resize(size);
  ASSERT_GT(rows.size(), 1000 * data.size());
  const ImageLoadResult result = DecodeImage(PngFile(2048, 2048, kGray, data));
  ASSERT_TRUE(result.Loaded) << U8(result.Message);
  EXPECT_EQ(result.Picture.Width(), 2048);
  EXPECT_EQ(result.Picture.Pixel(2047, 2047), 0xFF000000u);
}
#endif

TEST(ImageFile, LoadsAFileByItsName) {
  const auto path = std::filesystem::temp_directory_path() /
                    zvtest::Concat(std::string("zv_image_"), std::to_string(std::random_device()()), std::string(".bmp"));
  {
    std::ofstream out(path, std::ios::binary);
    out << Bmp(1, 1, 24, 0, "", std::string("\x00\x00\xFF\0", 4));
  }
  const ImageLoadResult loaded = LoadImageFile(zvtest::T(path.string()));
  std::filesystem::remove(path);
  ASSERT_TRUE(loaded.Loaded) << U8(loaded.Message);
  EXPECT_EQ(loaded.Picture.Pixels(), std::vector<uint32_t>{0xFFFF0000u});

  const ImageLoadResult missing = LoadImageFile(zvtest::T(path.string()));
  EXPECT_FALSE(missing.Loaded);
  EXPECT_EQ(U8(missing.Message), zvtest::Concat(std::string("Cannot open the picture file "), path.string()));
}

}  // namespace
}  // namespace zv::platform
