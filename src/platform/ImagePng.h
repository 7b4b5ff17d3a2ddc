#pragma once
// PNG reading, which each system provides in its own way (libpng in the printing module
// on Linux, the Windows Imaging Component on Windows), and what the readers share with
// each other and with the portable BMP reader.

#include <cstdint>
#include <string_view>

#include "platform/ImageFile.h"

namespace zv::platform {

// Whether aBytes begin with the PNG signature.
bool IsPng(std::string_view aBytes);
// The picture of a PNG file's content.
ImageLoadResult DecodePng(std::string_view aBytes);

// The reason given when the picture's memory cannot be had.
constexpr char kImageNoMemory[] = "There is not enough memory to read the picture";

// A failure with the reason aReason.
ImageLoadResult ImageFailure(const char* aReason);
// Whether a picture of this size may be read at all: a damaged or hostile header must
// not make the reader reserve gigabytes.
bool ImageSizeAllowed(int64_t aWidth, int64_t aHeight);
// The size that the header of the PNG file aBytes announces; false when it cannot be read.
bool PngHeaderSize(std::string_view aBytes, int64_t& aWidth, int64_t& aHeight);
// Whether the compressed data of the PNG file aBytes (its IDAT chunks) can expand to
// the rows its header announces: deflate cannot expand data more than 1032 times, so a
// small file announcing a large picture is refused before the picture is allocated.
// True when the header cannot be read or its size is not allowed: the reader tells
// those faults in its own words.
bool PngDataCanHoldPicture(std::string_view aBytes);

}  // namespace zv::platform
