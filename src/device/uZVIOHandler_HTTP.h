#pragma once
// The I/O handler of connection type HTTP: posts each message to one URL over plain
// HTTP/1.1 (no TLS: an https URL fails like an unreachable host) and keeps the answer
// and its status code.

#include <cstddef>
#include <memory>

#include "device/uZVIOHandler_Base.h"

namespace zv {

class kHttpComponent;

class kIOHandler_HTTP : public kIOHandler {
 public:
  // Status code recorded for a failure after a 2xx status line had arrived.
  static constexpr int32_t kFailureAfterSuccess = 999;
  // The largest answer body taken: a larger one (announced or received) is refused as
  // soon as it shows, and the post fails saying so; the log shows its first part.
  static constexpr size_t kMaxAnswerBytes = 1024 * 1024;

  // URL: aConnection's URL, or its Address followed by ":" + Port when Port > 0.
  // Copies the authentication settings; the connect time-out goes to the client.
  kIOHandler_HTTP(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName);
  ~kIOHandler_HTTP() override;

  Text ClassName() const override { return u"kIOHandler_HTTP"; }

  bool Connected() override;
  // Connect banner and "URL=" line; no network traffic.
  bool Connect() override;
  bool Disconnect() override;
  void ClearBuffers() override {}
  // POSTs aMessage as UTF-8 to URL; true when the status is from 200 to 299. Failures
  // are logged as "Post Error" and recorded in the error state. The read time-out in
  // force (milliseconds) is the longest wait without a byte moving either way.
  bool Write(const Text& aMessage) override;
  Text ReadUpTo(const std::vector<uint8_t>& aChars) override;
  Text ReadChars(int32_t aCharsNum) override;
  // Fail with "ReadAll Unsupported" / "InputBufferContainsData Unsupported".
  Text ReadAll() override;
  bool InputBufferContainsData() override;
  // The reason phrase of an HTTP status code; "Unknown" for any other code.
  Text DecodeError(int32_t aErrorCode) override;
  // Sets the request header aName (replacing an earlier value of the same name, names
  // compared without regard to case) for every later post.
  void SetParameter(const Text& aName, const Text& aValue) override;

  const Text& ContentType() const { return fContentType; }
  void SetContentType(const Text& a) { fContentType = a; }
  const Text& URL() const { return fURL; }
  void SetURL(const Text& a) { fURL = a; }
  zvHTTPAuthType AuthType() const { return fAuthType; }
  void SetAuthType(zvHTTPAuthType a) { fAuthType = a; }
  const Text& User() const { return fUser; }
  void SetUser(const Text& a) { fUser = a; }
  const Text& Password() const { return fPassword; }
  void SetPassword(const Text& a) { fPassword = a; }
  const Text& Response() const { return fResponse; }
  int32_t ResponseCode() const { return fResponseCode; }

 private:
  std::unique_ptr<kHttpComponent> fHttpClient;
  Text fContentType;
  Text fURL;
  zvHTTPAuthType fAuthType = zvHTTPAuthType::at_None;
  Text fUser;
  Text fPassword;
  Text fResponse;
  int32_t fResponseCode = 0;
};

}  // namespace zv
