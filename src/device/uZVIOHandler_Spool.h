#pragma once
// The I/O handler of connection type Spool: prints through the print spooler on the
// printer named by the connection, either the message as one raw job or a picture on
// one printed page. Nothing is read back; each Write is one complete job.

#include <cstdint>
#include <string>

#include "base/Bitmap.h"
#include "device/uZVIOHandler_Base.h"

namespace zv {

enum class zvSpoolOutputType : uint8_t { Raw, Normal };

class kIOHandler_Spool : public kIOHandler {
 public:
  static constexpr char16_t kRawTitle[] = u"PXR Receipt";
  static constexpr char16_t kNormalTitle[] = u"Caxtor Spool Output";
  // The bitmap counts as a picture of this many dots per inch.
  static constexpr int32_t kBitmapDpi = 300;

  // PrinterName := aConnection's PrinterName; OutputType := Normal.
  kIOHandler_Spool(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName);
  ~kIOHandler_Spool() override;

  Text ClassName() const override { return u"kIOHandler_Spool"; }

  bool Connected() override { return true; }
  bool Disconnect() override { return true; }
  void ClearBuffers() override {}
  // Raw: sends aMessage as one raw job titled "PXR Receipt", as RawBytes; a failure
  // answers false with the system's text in ErrorMessage, without touching ErrorFound
  // or ErrorCode and without a log line.
  // Normal: prints Bitmap centred on one page titled "Caxtor Spool Output", ignoring
  // aMessage; an unknown printer, a missing or empty Bitmap and failures of the
  // printing system raise.
  bool Write(const Text& aMessage) override;
  Text ReadUpTo(const std::vector<uint8_t>&) override { return {}; }
  Text ReadChars(int32_t) override { return {}; }
  Text ReadAll() override;
  Text DecodeError(int32_t) override { return {}; }
  bool InputBufferContainsData() override;
  void SetParameter(const Text&, const Text&) override {}

  // The bytes of a Raw write: aMessage in CodePage, or in the system's ANSI code page
  // when that is 0. A code page without a table raises.
  std::string RawBytes(const Text& aMessage) const;

  const Text& PrinterName() const { return fPrinterName; }
  zvSpoolOutputType OutputType() const { return fOutputType; }
  void SetOutputType(zvSpoolOutputType a) { fOutputType = a; }
  // The picture a Normal write prints. The handler only refers to it: the caller keeps
  // it alive while it is assigned.
  const Bitmap* GetBitmap() const { return fBitmap; }
  void SetBitmap(const Bitmap* a) { fBitmap = a; }

 private:
  bool WriteRaw(const Text& aMessage);
  bool WriteNormal();

  Text fPrinterName;
  zvSpoolOutputType fOutputType = zvSpoolOutputType::Normal;
  const Bitmap* fBitmap = nullptr;
};

}  // namespace zv
