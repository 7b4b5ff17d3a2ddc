// PNG pictures through the Windows Imaging Component, created over COM (no import of
// its DLL): its PNG decoder, converted to 32-bit BGRA with straight alpha.

#include <objbase.h>
#include <wincodec.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "Wide.h"
#include "platform/ImagePng.h"

namespace zv::platform {

namespace {

template <typename T>
struct Releaser {
  void operator()(T* aObject) const { aObject->Release(); }
};
template <typename T>
using Com = std::unique_ptr<T, Releaser<T>>;

// COM on the calling thread for the time of one decoding; a thread already in an
// apartment of another kind can use it as it is.
class ComScope {
 public:
  ComScope() : fResult(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(fResult)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  bool Usable() const { return SUCCEEDED(fResult) || fResult == RPC_E_CHANGED_MODE; }
  HRESULT Result() const { return fResult; }

 private:
  HRESULT fResult;
};

// The system's text for a failure code, or the code itself where the system has none.
Text FailureText(HRESULT aCode) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(aCode), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  Text text = n > 0 ? FromWide(buffer, n) : Text();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.pop_back();
  if (text.empty()) {
    char code[32];
    std::snprintf(code, sizeof code, "error 0x%08lX", static_cast<unsigned long>(aCode));
    text = FromAscii(code);
  }
  return text;
}

ImageLoadResult Failed(const char* aReason, HRESULT aCode) {
  ImageLoadResult result = ImageFailure(aReason);
  result.Message += FailureText(aCode);
  return result;
}

}  // namespace

ImageLoadResult DecodePng(std::string_view aBytes) try {
  // Checked before anything is decoded: a few bytes must not make the decoder or the
  // picture reserve what their data cannot fill.
  int64_t announcedWidth = 0, announcedHeight = 0;
  if (PngHeaderSize(aBytes, announcedWidth, announcedHeight) && !ImageSizeAllowed(announcedWidth, announcedHeight))
    return ImageFailure("The PNG picture is too large or empty");
  if (!PngDataCanHoldPicture(aBytes)) return ImageFailure("The PNG picture is damaged: its data is too short for its size");
  ComScope com;
  if (!com.Usable()) return Failed("PNG pictures cannot be read here: ", com.Result());
  IWICImagingFactory* rawFactory = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&rawFactory));
  if (FAILED(hr)) return Failed("PNG pictures cannot be read here: ", hr);
  Com<IWICImagingFactory> factory(rawFactory);

  IWICStream* rawStream = nullptr;
  hr = factory->CreateStream(&rawStream);
  if (FAILED(hr)) return Failed("PNG pictures cannot be read here: ", hr);
  Com<IWICStream> stream(rawStream);
  // The stream only reads the bytes, which outlive it.
  hr = stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(aBytes.data())),
                                    static_cast<DWORD>(aBytes.size()));
  if (FAILED(hr)) return Failed("The PNG picture is damaged: ", hr);

  IWICBitmapDecoder* rawDecoder = nullptr;
  hr = factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, &rawDecoder);
  if (FAILED(hr)) return Failed("PNG pictures cannot be read here: ", hr);
  Com<IWICBitmapDecoder> decoder(rawDecoder);
  hr = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
  if (FAILED(hr)) return Failed("The PNG picture is damaged: ", hr);

  IWICBitmapFrameDecode* rawFrame = nullptr;
  hr = decoder->GetFrame(0, &rawFrame);
  if (FAILED(hr)) return Failed("The PNG picture is damaged: ", hr);
  Com<IWICBitmapFrameDecode> frame(rawFrame);
  UINT width = 0, height = 0;
  hr = frame->GetSize(&width, &height);
  if (FAILED(hr)) return Failed("The PNG picture is damaged: ", hr);
  if (!ImageSizeAllowed(width, height)) return ImageFailure("The PNG picture is too large or empty");

  IWICFormatConverter* rawConverter = nullptr;
  hr = factory->CreateFormatConverter(&rawConverter);
  if (FAILED(hr)) return Failed("PNG pictures cannot be read here: ", hr);
  Com<IWICFormatConverter> converter(rawConverter);
  hr = converter->Initialize(frame.get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                             WICBitmapPaletteTypeCustom);
  if (FAILED(hr)) return Failed("The PNG picture is damaged: ", hr);

  // BGRA bytes are the 0xAARRGGBB words of Bitmap on this little-endian system.
  Bitmap picture(static_cast<int32_t>(width), static_cast<int32_t>(height));
  std::vector<uint32_t>& pixels = picture.Pixels();
  hr = converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size() * 4),
                             reinterpret_cast<BYTE*>(pixels.data()));
  if (FAILED(hr)) return Failed("The PNG picture is damaged: ", hr);
  return {true, std::move(picture), {}};
} catch (const std::bad_alloc&) {
  return ImageFailure(kImageNoMemory);
}

}  // namespace zv::platform
