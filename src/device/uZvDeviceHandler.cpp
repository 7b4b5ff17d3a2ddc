#include "device/uZvDeviceHandler.h"

#include "base/Exception.h"
#include "receipt/uZvReceipt.h"

namespace zv {

std::unique_ptr<pugi::xml_document> kDeviceHandler::Deserialize(TextView aXml) {
  auto document = std::make_unique<pugi::xml_document>();
  const std::string utf8 = ToUtf8(aXml);
  pugi::xml_parse_result parsed =
      document->load_buffer(utf8.data(), utf8.size(), kRequestParseFlags, pugi::encoding_utf8);
  if (!parsed)
    throw kException(FromUtf8(parsed.description()) + u" at offset " + IntToText(parsed.offset));

  const pugi::xml_node root = document->document_element();
  fDriver = krptUtil::GetNodeValueAsString(root, u"Driver");
  fMethod = krptUtil::GetNodeValueAsString(root, u"Method");
  fDeviceHandle = krptUtil::GetNodeValueAsInteger(root, u"Handle");
  fLogId = krptUtil::GetNodeValueAsString(root, u"LogId");

  if (pugi::xml_node connection = krptUtil::FindChild(root, u"Connection"))
    ReadConnection(connection);
  if (pugi::xml_node parameters = krptUtil::FindChild(root, u"Parameters"))
    ReadParameters(parameters);

  if (ParameterExists(u"DeviceName")) fConnection.SetDeviceName(GetParameter(u"DeviceName"));
  if (ParameterExists(u"ConnectTimeout")) {
    const Text timeout = GetParameter(u"ConnectTimeout");
    int32_t value = 0;
    if (!TryTextToInt(timeout, value))
      throw kException(u"'" + QuotedValue(timeout) + u"' is not a valid integer value");
    fConnection.SetConnectTimeOut(value);
  }
  return document;
}

void kDeviceHandler::ReadConnection(const pugi::xml_node& aConnection) {
  using U = krptUtil;
  fConnection.SetConnectionType(kConnection::ConvertConnectionType(U::GetNodeValueAsString(aConnection, u"Type")));
  fConnection.SetConnectTimeOut(U::GetNodeValueAsInteger(aConnection, u"ConnectTimeout"));
  fConnection.SetReadTimeOut(U::GetNodeValueAsInteger(aConnection, u"ReadTimeout"));

  auto readHttpSettings = [&] {
    fConnection.SetURL(U::GetNodeValueAsString(aConnection, u"URL"));
    fConnection.SetAuthType(kConnection::ConvertAuthType(U::GetNodeValueAsString(aConnection, u"AuthType")));
    fConnection.SetUser(U::GetNodeValueAsString(aConnection, u"User"));
    fConnection.SetPassword(U::GetNodeValueAsString(aConnection, u"Password"));
  };

  switch (fConnection.ConnectionType()) {
    case zvConnectionType::OPOS:
      fConnection.SetDeviceName(U::GetNodeValueAsString(aConnection, u"DeviceName"));
      break;
    case zvConnectionType::TCP:
    case zvConnectionType::HTTP:
      fConnection.SetAddress(U::GetNodeValueAsString(aConnection, u"Address"));
      fConnection.SetPort(U::GetNodeValueAsInteger(aConnection, u"Port"));
      readHttpSettings();
      break;
    case zvConnectionType::Serial:
      fConnection.SetSerialPort(U::GetNodeValueAsString(aConnection, u"SerialPort"));
      fConnection.SetSpeed(U::GetNodeValueAsInteger(aConnection, u"Speed"));
      fConnection.SetDataBits(U::GetNodeValueAsInteger(aConnection, u"DataBits"));
      fConnection.SetParity(kConnection::ConvertParity(U::GetNodeValueAsString(aConnection, u"Parity")));
      fConnection.SetStopBits(U::GetNodeValueAsInteger(aConnection, u"StopBits"));
      readHttpSettings();
      break;
    case zvConnectionType::DLL:
      fConnection.SetLibraryName(U::GetNodeValueAsString(aConnection, u"LibraryName"));
      break;
    case zvConnectionType::Com:
      break;
    case zvConnectionType::Spool:
      fConnection.SetPrinterName(U::GetNodeValueAsString(aConnection, u"PrinterName"));
      break;
  }
}

namespace {

// The DOM name of any child node: an element's or processing instruction's own name,
// "#text", "#cdata-section" or "#comment" for the others.
Text NodeName(const pugi::xml_node& aNode) {
  switch (aNode.type()) {
    case pugi::node_pcdata: return u"#text";
    case pugi::node_cdata: return u"#cdata-section";
    case pugi::node_comment: return u"#comment";
    default: return FromUtf8(aNode.name());
  }
}

bool IsWhitespaceText(const pugi::xml_node& aNode) {
  if (aNode.type() != pugi::node_pcdata) return false;
  for (const char* c = aNode.value(); *c != '\0'; ++c)
    if (*c != ' ' && *c != '\t' && *c != '\r' && *c != '\n') return false;
  return true;
}

}  // namespace

void kDeviceHandler::ReadParameters(const pugi::xml_node& aParameters) {
  for (pugi::xml_node child = aParameters.first_child(); child; child = child.next_sibling()) {
    // Layout between elements is no node of the document.
    if (IsWhitespaceText(child)) continue;
    const Text name = NodeName(child);
    // The value is looked up by name, so two children of one name share the first's.
    fParameters.push_back(LowerCase(name) + u"=" + krptUtil::GetNodeValueAsString(aParameters, name));
  }
}

const Text* kDeviceHandler::FindParameter(TextView aName) const {
  for (const Text& entry : fParameters) {
    const size_t equals = entry.find(u'=');
    if (SameText(TextView(entry).substr(0, equals), aName)) return &entry;
  }
  return nullptr;
}

Text kDeviceHandler::GetParameter(TextView aName) const {
  const Text* entry = FindParameter(aName);
  if (entry == nullptr) return Text();
  return entry->substr(entry->find(u'=') + 1);
}

bool kDeviceHandler::ParameterExists(TextView aName) const { return FindParameter(aName) != nullptr; }

}  // namespace zv
