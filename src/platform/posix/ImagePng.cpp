// PNG pictures through libpng's simplified reading interface.

#include <png.h>

#include <cstring>
#include <string>

#include "platform/ImagePng.h"

namespace zv::platform {

ImageLoadResult DecodePng(std::string_view aBytes) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, aBytes.data(), aBytes.size())) {
    ImageLoadResult result = ImageFailure("The PNG picture is damaged: ");
    result.Message += FromUtf8(image.message);
    return result;
  }
  if (!ImageSizeAllowed(image.width, image.height)) {
    png_image_free(&image);
    return ImageFailure("The PNG picture is too large or empty");
  }
  // BGRA bytes are the 0xAARRGGBB words of Bitmap on a little-endian machine; the
  // words are assembled explicitly so that the order holds on any machine.
  image.format = PNG_FORMAT_BGRA;
  std::string buffer(PNG_IMAGE_SIZE(image), '\0');
  if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr)) {
    ImageLoadResult result = ImageFailure("The PNG picture is damaged: ");
    result.Message += FromUtf8(image.message);
    png_image_free(&image);
    return result;
  }
  Bitmap picture(static_cast<int32_t>(image.width), static_cast<int32_t>(image.height));
  std::vector<uint32_t>& pixels = picture.Pixels();
  const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
  for (size_t i = 0; i < pixels.size(); ++i, bytes += 4)
    pixels[i] = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
  png_image_free(&image);
  return {true, std::move(picture), {}};
}

}  // namespace zv::platform
