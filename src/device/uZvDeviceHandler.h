#pragma once
// The configuration part of every request: driver name, handle, log id, connection
// and named parameters. Lives for one exported call.

#include <memory>
#include <vector>

#include <pugixml.hpp>

#include "base/Text.h"
#include "device/uZVIOHandler.h"

namespace zv {

class kIOHandler;

class kDeviceHandler {
 public:
  kDeviceHandler() = default;
  virtual ~kDeviceHandler() = default;
  kDeviceHandler(const kDeviceHandler&) = delete;
  kDeviceHandler& operator=(const kDeviceHandler&) = delete;

  // Parses the request, reads the configuration part and hands back the document so
  // that the caller can read its command section. Fails with the parser's message
  // for a text that is not well-formed, or with a reader's or codec's message.
  std::unique_ptr<pugi::xml_document> Deserialize(TextView aXml);

  // First entry of that name, without regard to case; empty when there is none.
  Text GetParameter(TextView aName) const;
  bool ParameterExists(TextView aName) const;

  // A new I/O handler of the class that the connection type selects, with its log in
  // aLogDir under the base name Driver + "_" + LogId.
  std::unique_ptr<kIOHandler> CreateIOHandler(const Text& aLogDir) const;

  const Text& Driver() const { return fDriver; }
  const Text& Method() const { return fMethod; }
  const kConnection& Connection() const { return fConnection; }
  int32_t DeviceHandle() const { return fDeviceHandle; }
  const Text& LogId() const { return fLogId; }
  const std::vector<Text>& Parameters() const { return fParameters; }

 protected:
  Text fDriver;
  Text fMethod;
  kConnection fConnection;
  int32_t fDeviceHandle = 0;
  std::vector<Text> fParameters;  // "name=value", names lower-cased, document order
  Text fLogId;

 private:
  void ReadConnection(const pugi::xml_node& aConnection);
  void ReadParameters(const pugi::xml_node& aParameters);
  const Text* FindParameter(TextView aName) const;
};

}  // namespace zv
