// PNG pictures through libpng's simplified reading interface, decoded straight into
// the bitmap's pixels.

#include <png.h>

#include <bit>
#include <cstring>
#include <new>

#include "platform/ImagePng.h"
#include "platform/posix/print/PrintModuleParts.h"

namespace zv::print {

using platform::ImageFailure;
using platform::ImageLoadResult;

namespace {

ImageLoadResult Damaged(const png_image& aImage) {
  ImageLoadResult result = ImageFailure("The PNG picture is damaged: ");
  result.Message += FromUtf8(aImage.message);
  return result;
}

// Frees libpng's reading state on every way out.
struct ImageFreer {
  png_image* Image;
  ~ImageFreer() { png_image_free(Image); }
};

}  // namespace

ImageLoadResult DecodePng(std::string_view aBytes) noexcept try {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  const ImageFreer freer{&image};
  if (!png_image_begin_read_from_memory(&image, aBytes.data(), aBytes.size())) return Damaged(image);
  if (!platform::ImageSizeAllowed(image.width, image.height))
    return ImageFailure("The PNG picture is too large or empty");
  // Checked before the picture's memory is taken: a few bytes must not make the reader
  // reserve what their data cannot fill.
  if (!platform::PngDataCanHoldPicture(aBytes))
    return ImageFailure("The PNG picture is damaged: its data is too short for its size");
  // The pixel words of Bitmap are 0xAARRGGBB: BGRA bytes on a little-endian machine,
  // ARGB bytes on a big-endian one.
  image.format = std::endian::native == std::endian::little ? PNG_FORMAT_BGRA : PNG_FORMAT_ARGB;
  Bitmap picture(static_cast<int32_t>(image.width), static_cast<int32_t>(image.height));
  if (!png_image_finish_read(&image, nullptr, picture.Pixels().data(), 0, nullptr)) return Damaged(image);
  return {true, std::move(picture), {}};
} catch (const std::bad_alloc&) {
  return ImageFailure(platform::kImageNoMemory);
}

}  // namespace zv::print
