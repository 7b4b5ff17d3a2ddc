#pragma once
// Where a PDF's page places its images: the page size and, for every image drawn
// (every Do of an image XObject in the page's content), the rectangle it covers,
// found by following the content's q/Q and cm operators. For the printed pages of the
// spooler tests; streams may be Flate-compressed.

#include <string>
#include <vector>

namespace zvtest {

struct PdfRect {
  double X = 0;  // points from the page's left edge
  double Y = 0;  // points from the page's top edge
  double Width = 0;
  double Height = 0;
};

struct PdfPage {
  double Width = 0;  // the MediaBox, in points
  double Height = 0;
  std::vector<PdfRect> Images;
  int PageCount = 0;
};

// Throws std::runtime_error when aPdf is not a PDF this reader understands.
PdfPage ReadPdfPage(const std::string& aPdf);

}  // namespace zvtest
