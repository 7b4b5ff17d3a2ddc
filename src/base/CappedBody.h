#pragma once
// The body of an answer as it arrives piece by piece, bounded: a body announced or
// grown beyond the limit is refused at once, so that a wrong or hostile peer cannot
// make a host process hold megabytes. Of a refused body only its first part is kept,
// for the log.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/Text.h"

namespace zv {

class CappedBody {
 public:
  // How much of a refused body the log shows.
  static constexpr size_t kShownBytes = 1024;

  explicit CappedBody(size_t aLimit) : fLimit(aLimit) {}

  // Forgets the previous body.
  void Clear();
  // Takes the next piece; aAnnounced is the length the answer declared, or -1 when it
  // declared none. False once the body is refused: stop receiving.
  bool Append(std::string_view aPiece, int64_t aAnnounced);

  bool Refused() const { return fRefused; }
  // The whole body; when refused, only the first part.
  const std::string& Bytes() const { return fBytes; }
  std::string TakeBytes() { return std::move(fBytes); }

  // Why the body was refused: "Answer larger than 1048576 bytes: ...".
  Text FailureText() const;
  // Log title and message of a refused body: its length (announced or received so far)
  // and its first part, cut at a character boundary.
  Text LogTitle() const;
  Text ShownPart() const;

 private:
  Text LengthText() const;

  size_t fLimit;
  std::string fBytes;
  int64_t fReceived = 0;
  int64_t fAnnounced = -1;  // the declared length that was over the limit
  bool fRefused = false;
};

}  // namespace zv
