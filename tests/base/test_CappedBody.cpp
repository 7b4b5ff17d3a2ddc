// The bounded answer body: taken whole up to its limit, refused beyond it, and only
// its first part kept for the log.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestText.h"
#include "base/CappedBody.h"

namespace zv {
namespace {

using zvtest::U8;

constexpr size_t kShown = CappedBody::kShownBytes;

TEST(CappedBody, TakesUpToTheLimitAndRefusesBeyond) {
  struct Case {
    const char* Name;
    size_t Limit;
    std::vector<std::string> Pieces;
    int64_t Announced;
    bool Taken;
    std::string Failure;  // when refused
    std::string Title;
  } cases[] = {
      {"exactly the limit, announced", 6, {"abc", "def"}, 6, true, "", ""},
      {"exactly the limit, not announced", 6, {"abc", "def"}, -1, true, "", ""},
      {"empty", 6, {}, 0, true, "", ""},
      {"announced one byte over", 6, {"abcdefg"}, 7, false, "Answer larger than 6 bytes: Content-Length 7 bytes",
       "Answer too large [Content-Length 7 bytes, first 7 bytes shown]"},
      {"received one byte over", 6, {"abc", "def", "g", "never looked at"}, -1, false,
       "Answer larger than 6 bytes: 7 bytes received, the rest refused",
       "Answer too large [7 bytes received, first 7 bytes shown]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    CappedBody body(c.Limit);
    bool taken = true;
    for (const std::string& piece : c.Pieces) taken = body.Append(piece, c.Announced) && taken;
    EXPECT_EQ(taken, c.Taken);
    EXPECT_EQ(body.Refused(), !c.Taken);
    if (c.Taken) {
      std::string whole;
      for (const std::string& piece : c.Pieces) whole += piece;
      EXPECT_EQ(body.Bytes(), whole);
    } else {
      EXPECT_EQ(U8(body.FailureText()), c.Failure);
      EXPECT_EQ(U8(body.LogTitle()), c.Title);
      EXPECT_EQ(U8(body.ShownPart()), "abcdefg");
    }
    body.Clear();
    EXPECT_FALSE(body.Refused());
    EXPECT_TRUE(body.Bytes().empty());
  }
}

// A refused body keeps its first part only, never cutting a character in two.
TEST(CappedBody, ARefusedBodyKeepsItsFirstPartWholeCharactersOnly) {
  struct Case {
    const char* Name;
    std::string Prefix;  // before the character that meets the end of the part
    std::string Character;
    size_t ShownBytes;
  } cases[] = {
      {"ASCII", std::string(kShown, 'a'), "b", kShown},
      {"two-byte character across the end", std::string(kShown - 1, 'a'), "\xC3\xA9", kShown - 1},
      {"four-byte character across the end", std::string(kShown - 2, 'a'), "\xF0\x9F\x98\x80", kShown - 2},
      {"two-byte character just inside", std::string(kShown - 2, 'a'), "\xC3\xA9", kShown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string bytes = c.Prefix + c.Character + std::string(3 * kShown, 'z');
    // In one piece over the limit, and in pieces of 100 bytes that grow past it.
    for (size_t pieceBytes : {bytes.size(), size_t{100}}) {
      CappedBody body(2 * kShown);
      for (size_t at = 0; at < bytes.size() && body.Append(bytes.substr(at, pieceBytes), -1); at += pieceBytes) {
      }
      ASSERT_TRUE(body.Refused());
      EXPECT_EQ(body.Bytes(), bytes.substr(0, c.ShownBytes)) << pieceBytes;
      EXPECT_EQ(body.ShownPart().find(u'\uFFFD'), Text::npos);
    }
  }
}

}  // namespace
}  // namespace zv
