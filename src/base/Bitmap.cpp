#include "base/Bitmap.h"

#include <algorithm>

namespace zv {

Bitmap::Bitmap(int32_t aWidth, int32_t aHeight, uint32_t aFill)
    : fWidth(std::max(aWidth, 0)), fHeight(std::max(aHeight, 0)) {
  if (fWidth == 0 || fHeight == 0) fWidth = fHeight = 0;
  fPixels.assign(static_cast<size_t>(fWidth) * static_cast<size_t>(fHeight), aFill);
}

}  // namespace zv
