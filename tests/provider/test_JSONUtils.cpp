#include <gtest/gtest.h>

#include <string>

#include "base/Text.h"
#include "provider/uZVPA_LORVANI_10_JSONUtils.h"

namespace zv {
namespace {

// Numbers stay the text that stood in the JSON; member order and repeated names are
// kept (the first "dup" counts).
constexpr char16_t kDocument[] = uR"({
  "s": "text", "n": 123, "f": -1.50e3, "t": true, "fa": false, "nul": null,
  "o": {}, "arr": [1, 2], "m": [[1], [2, 3]],
  "a": {"b": [10, {"c": "deep"}, 30]},
  "dup": "first", "dup": "second", "Case": "upper",
  "bs": "TRUE", "bf": "False", "b0": "0", "b1": "2.5", "bz": "0.000", "bneg": "-1", "bx": "yes", "e": "",
  "nz": 0, "ne": 1e-3, "u": "\u20ac\ud83d\ude00", "nul0": "a\u0000b", "": "empty name"
})";

enum class Op { String, Boolean, Object, Array };

struct Case {
  Op Operation;
  const char16_t* Path;
  // GetString: the text; GetBoolean: "true"/"false"; GetObject/GetArray: "found" or
  // "none".
  const char16_t* Expected;
};

const Case kCases[] = {
    // GetString: a string, null, a number as written, true/false, objects and arrays.
    {Op::String, u"s", u"text"},
    {Op::String, u"nul", u""},
    {Op::String, u"n", u"123"},
    {Op::String, u"f", u"-1.50e3"},
    {Op::String, u"t", u"true"},
    {Op::String, u"fa", u"false"},
    {Op::String, u"o", u""},
    {Op::String, u"arr", u""},
    {Op::String, u"", u""},  // the object itself does not convert to text
    {Op::String, u"missing", u""},
    {Op::String, u"dup", u"first"},
    {Op::String, u"case", u""},  // names compare with case
    {Op::String, u"Case", u"upper"},
    {Op::String, u"u", u"\u20ac\U0001F600"},
    // Paths with indexes.
    {Op::String, u"a.b[1].c", u"deep"},
    {Op::String, u"a.b[0]", u"10"},
    {Op::String, u"a.b[2]", u"30"},
    {Op::String, u"arr[1]", u"2"},
    {Op::String, u"m[1][0]", u"2"},
    {Op::String, u"a.b[5]", u""},
    {Op::String, u"a.b[x]", u""},
    {Op::String, u"a.b[-1]", u""},
    {Op::String, u"a.b[1", u""},
    {Op::String, u"a.b[]", u""},
    {Op::String, u"a.b[1]x", u""},
    {Op::String, u"a.b[99999999999]", u""},
    {Op::String, u"a.b[1][0]", u""},  // an object is not indexed
    {Op::String, u"s[0]", u""},
    {Op::String, u"s.x", u""},  // a string has no members
    {Op::String, u"a..b", u""},
    {Op::String, u"a.", u""},
    {Op::String, u".a", u""},
    {Op::String, u"A.b[1].c", u""},
    // GetBoolean: booleans, words in any case, numbers non-zero meaning true.
    {Op::Boolean, u"t", u"true"},
    {Op::Boolean, u"fa", u"false"},
    {Op::Boolean, u"bs", u"true"},
    {Op::Boolean, u"bf", u"false"},
    {Op::Boolean, u"b0", u"false"},
    {Op::Boolean, u"b1", u"true"},
    {Op::Boolean, u"bz", u"false"},
    {Op::Boolean, u"bneg", u"true"},
    {Op::Boolean, u"n", u"true"},
    {Op::Boolean, u"nz", u"false"},
    {Op::Boolean, u"ne", u"true"},
    {Op::Boolean, u"bx", u"false"},  // not a boolean text: the default
    {Op::Boolean, u"e", u"false"},
    {Op::Boolean, u"nul", u"false"},
    {Op::Boolean, u"o", u"false"},
    {Op::Boolean, u"arr", u"false"},
    {Op::Boolean, u"missing", u"false"},
    {Op::Boolean, u"a.b[0]", u"true"},
    // GetObject and GetArray: only their own kind.
    {Op::Object, u"o", u"found"},
    {Op::Object, u"", u"found"},
    {Op::Object, u"a.b[1]", u"found"},
    {Op::Object, u"arr", u"none"},
    {Op::Object, u"s", u"none"},
    {Op::Object, u"nul", u"none"},
    {Op::Object, u"missing", u"none"},
    {Op::Array, u"arr", u"found"},
    {Op::Array, u"a.b", u"found"},
    {Op::Array, u"m[0]", u"found"},
    {Op::Array, u"o", u"none"},
    {Op::Array, u"s", u"none"},
    {Op::Array, u"a.b[9]", u"none"},
};

std::u16string Evaluate(Op aOperation, const kJSONValue* aJO, const char16_t* aPath) {
  switch (aOperation) {
    case Op::String:
      return kJSONUtils::GetString(aJO, aPath);
    case Op::Boolean:
      return kJSONUtils::GetBoolean(aJO, aPath) ? u"true" : u"false";
    case Op::Object: {
      const kJSONValue* found = kJSONUtils::GetObject(aJO, aPath);
      if (found && !found->IsObject()) return u"wrong kind";
      return found ? u"found" : u"none";
    }
    case Op::Array: {
      const kJSONValue* found = kJSONUtils::GetArray(aJO, aPath);
      if (found && !found->IsArray()) return u"wrong kind";
      return found ? u"found" : u"none";
    }
  }
  return u"?";
}

TEST(JSONUtils, TableOfPathsAndConversions) {
  auto document = kJSONUtils::Parse(kDocument);
  ASSERT_NE(document, nullptr);
  for (const Case& c : kCases) {
    EXPECT_EQ(ToUtf8(Evaluate(c.Operation, document.get(), c.Path)), ToUtf8(c.Expected))
        << "operation " << static_cast<int>(c.Operation) << ", path \"" << ToUtf8(c.Path) << "\"";
  }
}

TEST(JSONUtils, FoundObjectsAndArraysAreTheTreesOwn) {
  auto document = kJSONUtils::Parse(kDocument);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(kJSONUtils::GetObject(document.get(), u""), document.get());
  const kJSONValue* b = kJSONUtils::GetArray(document.get(), u"a.b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Size(), 3u);
  // A found object serves as the start of further lookups.
  const kJSONValue* element = kJSONUtils::GetObject(b, u"[1]");
  ASSERT_NE(element, nullptr);
  EXPECT_EQ(kJSONUtils::GetString(element, u"c"), u"deep");
}

TEST(JSONUtils, EmbeddedNulIsKept) {
  auto document = kJSONUtils::Parse(kDocument);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(kJSONUtils::GetString(document.get(), u"nul0"), Text(u"a\0b", 3));
}

TEST(JSONUtils, AbsentObjectGivesEveryDefault) {
  EXPECT_EQ(kJSONUtils::GetString(nullptr, u"s"), u"");
  EXPECT_EQ(kJSONUtils::GetString(nullptr, u""), u"");
  EXPECT_FALSE(kJSONUtils::GetBoolean(nullptr, u"t"));
  EXPECT_EQ(kJSONUtils::GetObject(nullptr, u""), nullptr);
  EXPECT_EQ(kJSONUtils::GetArray(nullptr, u"arr"), nullptr);
}

TEST(JSONUtils, ParseAcceptsAnyJsonValueAndRefusesTheRest) {
  struct ParseCase {
    const char16_t* Text;
    bool IsJson;
  };
  const ParseCase cases[] = {
      {u"{\"token\":\"abc\"}", true},
      {u"  [1, 2]  ", true},
      {u"\"just text\"", true},
      {u"42", true},
      {u"", false},
      {u"   ", false},
      {u"<html>502 Bad Gateway</html>", false},
      {u"{\"a\":1} trailing", false},
      {u"{\"a\":1", false},
      {u"{'a':1}", false},
      {u"[\"\\ud800\"]", false},  // an escaped lone surrogate
      // One byte-order mark at the very start is no part of the text.
      {u"\uFEFF{\"token\":\"abc\"}", true},
      {u"\uFEFF42", true},
      {u"\uFEFF", false},
      {u"\uFEFF\uFEFF{}", false},
      {u" \uFEFF{}", false},
      {u"{}\uFEFF", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kJSONUtils::Parse(c.Text) != nullptr, c.IsJson) << ToUtf8(c.Text);
  }
  // A NUL can never be part of a JSON text: what stands before it is no document.
  EXPECT_EQ(kJSONUtils::Parse(Text(u"{}\0{", 4)), nullptr);
  EXPECT_EQ(kJSONUtils::GetString(kJSONUtils::Parse(u"\uFEFF{\"token\":\"abc\"}").get(), u"token"), u"abc");
  auto array = kJSONUtils::Parse(u"[\"x\", {\"token\": \"t\"}]");
  ASSERT_NE(array, nullptr);
  EXPECT_TRUE(array->IsArray());
  EXPECT_EQ(kJSONUtils::GetString(array.get(), u"[1].token"), u"t");
  EXPECT_EQ(kJSONUtils::GetString(array.get(), u"token"), u"");  // an array has no members
}

TEST(JSONUtils, DeepNestingNeitherCrashesNorFails) {
  const size_t depth = 200000;
  Text deep(depth, u'[');
  deep += Text(depth, u']');
  auto document = kJSONUtils::Parse(deep);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(kJSONUtils::Parse(Text(depth, u'[')), nullptr);
}

}  // namespace
}  // namespace zv
