#include "PdfPage.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>

namespace zvtest {

namespace {

using Matrix = std::array<double, 6>;  // a b c d e f, as PDF writes it

// m applied first, then n (PDF's row-vector order: m x n).
Matrix Multiply(const Matrix& m, const Matrix& n) {
  return {m[0] * n[0] + m[1] * n[2],        m[0] * n[1] + m[1] * n[3],
          m[2] * n[0] + m[3] * n[2],        m[2] * n[1] + m[3] * n[3],
          m[4] * n[0] + m[5] * n[2] + n[4], m[4] * n[1] + m[5] * n[3] + n[5]};
}

std::string Inflate(const std::string& aData) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw std::runtime_error("zlib");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aData.data()));
  z.avail_in = static_cast<uInt>(aData.size());
  std::string out;
  char buffer[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    result = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  }
  inflateEnd(&z);
  if (result != Z_STREAM_END) throw std::runtime_error("a PDF stream does not inflate");
  return out;
}

struct Stream {
  std::string Dictionary;
  std::string Data;  // inflated
};

// Every stream of the file with its dictionary, keyed by its object number.
std::map<int, Stream> Streams(const std::string& aPdf) {
  std::map<int, Stream> streams;
  size_t pos = 0;
  while ((pos = aPdf.find("stream", pos)) != std::string::npos) {
    if (pos >= 3 && aPdf.compare(pos - 3, 3, "end") == 0) {
      pos += 6;
      continue;
    }
    const size_t obj = aPdf.rfind(" obj", pos);
    if (obj == std::string::npos) throw std::runtime_error("a PDF stream outside an object");
    size_t numberStart = aPdf.rfind('\n', obj);
    numberStart = numberStart == std::string::npos ? 0 : numberStart + 1;
    const int number = std::atoi(aPdf.c_str() + numberStart);
    size_t start = pos + 6;
    if (aPdf.compare(start, 2, "\r\n") == 0)
      start += 2;
    else if (aPdf[start] == '\n')
      start += 1;
    const size_t end = aPdf.find("endstream", start);
    if (end == std::string::npos) throw std::runtime_error("a PDF stream without its end");
    Stream s{aPdf.substr(obj, pos - obj), aPdf.substr(start, end - start)};
    if (s.Dictionary.find("/FlateDecode") != std::string::npos) s.Data = Inflate(s.Data);
    streams[number] = std::move(s);
    pos = end + 9;
  }
  return streams;
}

bool IsImage(const Stream& aStream) { return aStream.Dictionary.find("/Subtype /Image") != std::string::npos; }

// The object number a resource name stands for ("/x5 7 0 R" in some dictionary).
int ResourceObject(const std::string& aPdf, const std::string& aName) {
  size_t pos = 0;
  while ((pos = aPdf.find(aName, pos)) != std::string::npos) {
    pos += aName.size();
    const char next = pos < aPdf.size() ? aPdf[pos] : '\0';
    if (next != ' ' && next != '\n' && next != '\r') continue;
    std::istringstream in(aPdf.substr(pos, 40));
    int number = 0, generation = 0;
    std::string r;
    if (in >> number >> generation >> r && r == "R") return number;
  }
  return -1;
}

}  // namespace

PdfPage ReadPdfPage(const std::string& aPdf) {
  if (aPdf.rfind("%PDF-", 0) != 0) throw std::runtime_error("not a PDF file");
  PdfPage page;
  const size_t box = aPdf.find("/MediaBox");
  if (box == std::string::npos) throw std::runtime_error("a PDF page without a MediaBox");
  {
    std::istringstream in(aPdf.substr(aPdf.find('[', box) + 1, 80));
    double x0 = 0, y0 = 0;
    in >> x0 >> y0 >> page.Width >> page.Height;
  }
  for (size_t pos = 0; (pos = aPdf.find("/Type /Page", pos)) != std::string::npos; pos += 11)
    if (aPdf.compare(pos + 11, 1, "s") != 0) ++page.PageCount;

  const std::map<int, Stream> streams = Streams(aPdf);
  for (const auto& [number, stream] : streams) {
    if (IsImage(stream) || stream.Dictionary.find("/Subtype /Form") != std::string::npos) continue;
    // A content stream: follow the transformation to every image it draws.
    std::vector<Matrix> saved;
    Matrix ctm{1, 0, 0, 1, 0, 0};
    std::vector<std::string> operands;
    std::istringstream in(stream.Data);
    std::string token;
    while (in >> token) {
      const char c = token[0];
      if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '/' || c == '+') {
        operands.push_back(token);
        continue;
      }
      if (token == "q") {
        saved.push_back(ctm);
      } else if (token == "Q" && !saved.empty()) {
        ctm = saved.back();
        saved.pop_back();
      } else if (token == "cm" && operands.size() >= 6) {
        Matrix m{};
        for (size_t i = 0; i < 6; ++i) m[i] = std::stod(operands[operands.size() - 6 + i]);
        ctm = Multiply(m, ctm);
      } else if (token == "Do" && !operands.empty()) {
        const int object = ResourceObject(aPdf, operands.back());
        const auto found = streams.find(object);
        if (found != streams.end() && IsImage(found->second)) {
          // The unit square through the transformation, its corners in page points.
          double xs[4], ys[4];
          const double ux[4] = {0, 1, 0, 1}, uy[4] = {0, 0, 1, 1};
          for (int i = 0; i < 4; ++i) {
            xs[i] = ux[i] * ctm[0] + uy[i] * ctm[2] + ctm[4];
            ys[i] = ux[i] * ctm[1] + uy[i] * ctm[3] + ctm[5];
          }
          const double left = *std::min_element(xs, xs + 4), right = *std::max_element(xs, xs + 4);
          const double bottom = *std::min_element(ys, ys + 4), top = *std::max_element(ys, ys + 4);
          page.Images.push_back({left, page.Height - top, right - left, top - bottom});
        }
      }
      operands.clear();
    }
  }
  return page;
}

}  // namespace zvtest
