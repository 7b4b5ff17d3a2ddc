#pragma once
// A picture held in memory: width and height in pixels and one 32-bit pixel per
// position, rows from the top, each 0xAARRGGBB with straight (not premultiplied)
// alpha. What a print handler draws; files are read into it by platform/ImageFile.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zv {

class Bitmap {
 public:
  Bitmap() = default;
  // A picture of the given size, every pixel aFill (opaque white by default). A
  // negative size counts as 0.
  Bitmap(int32_t aWidth, int32_t aHeight, uint32_t aFill = 0xFFFFFFFFu);

  int32_t Width() const { return fWidth; }
  int32_t Height() const { return fHeight; }
  bool Empty() const { return fWidth == 0 || fHeight == 0; }

  // Pixel access; aX and aY must lie inside the picture.
  uint32_t Pixel(int32_t aX, int32_t aY) const { return fPixels[Index(aX, aY)]; }
  void SetPixel(int32_t aX, int32_t aY, uint32_t aColor) { fPixels[Index(aX, aY)] = aColor; }
  // All pixels, row after row from the top.
  const std::vector<uint32_t>& Pixels() const { return fPixels; }
  std::vector<uint32_t>& Pixels() { return fPixels; }

 private:
  size_t Index(int32_t aX, int32_t aY) const {
    return static_cast<size_t>(aY) * static_cast<size_t>(fWidth) + static_cast<size_t>(aX);
  }

  int32_t fWidth = 0;
  int32_t fHeight = 0;
  std::vector<uint32_t> fPixels;
};

}  // namespace zv
