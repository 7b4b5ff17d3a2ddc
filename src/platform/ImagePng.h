#pragma once
// PNG reading, which each system provides in its own way (libpng on Linux, the Windows
// Imaging Component on Windows), and what it shares with the portable BMP reader.

#include <cstdint>
#include <string_view>

#include "platform/ImageFile.h"

namespace zv::platform {

// Whether aBytes begin with the PNG signature.
bool IsPng(std::string_view aBytes);
// The picture of a PNG file's content.
ImageLoadResult DecodePng(std::string_view aBytes);

// A failure with the reason aReason.
ImageLoadResult ImageFailure(const char* aReason);
// Whether a picture of this size may be read at all: a damaged or hostile header must
// not make the reader reserve gigabytes.
bool ImageSizeAllowed(int64_t aWidth, int64_t aHeight);

}  // namespace zv::platform
