#include "base/CappedBody.h"

#include <algorithm>

namespace zv {

namespace {

// The first aBytes of aHead, less a character that would be cut in two.
std::string CharacterPrefix(std::string aHead, size_t aBytes) {
  size_t cut = std::min(aHead.size(), aBytes);
  if (cut < aHead.size()) {
    // A UTF-8 character is at most 4 bytes: at most 3 continuation bytes to step over.
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(aHead[cut]) & 0xC0) == 0x80; ++i) --cut;
  }
  aHead.resize(cut);
  return aHead;
}

}  // namespace

void CappedBody::Clear() {
  fBytes.clear();
  fReceived = 0;
  fAnnounced = -1;
  fRefused = false;
}

bool CappedBody::Append(std::string_view aPiece, int64_t aAnnounced) {
  if (fRefused) return false;
  fReceived += static_cast<int64_t>(aPiece.size());
  if (aAnnounced >= 0 && static_cast<uint64_t>(aAnnounced) > fLimit) {
    fAnnounced = aAnnounced;
    fRefused = true;
  } else if (fBytes.size() + aPiece.size() > fLimit) {
    fRefused = true;
  }
  if (!fRefused) {
    fBytes.append(aPiece);
    return true;
  }
  // Keep the first part only (a few bytes beyond it tell where a character ends).
  const size_t head = kShownBytes + 4;
  if (fBytes.size() < head) fBytes.append(aPiece.substr(0, head - fBytes.size()));
  fBytes = CharacterPrefix(std::move(fBytes), kShownBytes);
  fBytes.shrink_to_fit();
  return false;
}

Text CappedBody::LengthText() const {
  if (fAnnounced >= 0) return u"Content-Length " + IntToText(fAnnounced) + u" bytes";
  return IntToText(fReceived) + u" bytes received";
}

Text CappedBody::FailureText() const {
  return u"Answer larger than " + IntToText(static_cast<int64_t>(fLimit)) + u" bytes: " + LengthText() +
         (fAnnounced >= 0 ? u"" : u", the rest refused");
}

Text CappedBody::LogTitle() const {
  return u"Answer too large [" + LengthText() + u", first " + IntToText(static_cast<int64_t>(fBytes.size())) +
         u" bytes shown]";
}

Text CappedBody::ShownPart() const { return FromUtf8(fBytes); }

}  // namespace zv
