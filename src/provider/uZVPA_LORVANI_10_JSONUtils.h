#pragma once
// Typed reading of a parsed JSON answer that never fails: whatever is missing, of the
// wrong kind or not convertible gives a default value instead of an error.
//
// The tree is RapidJSON's (UTF-8 inside), parsed with numbers kept as the text that
// stood in the JSON; objects keep their member order and repeated member names.
// Objects and arrays returned belong to the tree they were found in: use them only
// while that tree lives.

#include <memory>

#include <rapidjson/document.h>

#include "base/Text.h"

namespace zv {

using kJSONValue = rapidjson::Value;
using kJSONDocument = rapidjson::Document;

class kJSONUtils {
 public:
  kJSONUtils() = delete;

  // A path is member names separated by "."; each name may be followed by indexes
  // "[n]" (from 0) into an array, and may be empty before an index ("[0].token").
  // Names compare exactly, with case; of repeated names the first member counts. The
  // empty path names aJO itself.

  // A string: its text; a number: its text as written; true/false: "true"/"false";
  // null: empty. Default: empty.
  static Text GetString(const kJSONValue* aJO, TextView aPath);
  // true/false: that value; a string or number: "true"/"false" in any case, or a
  // number, non-zero meaning true. Default: false.
  static bool GetBoolean(const kJSONValue* aJO, TextView aPath);
  // The object or array found there; default: none (nullptr).
  static const kJSONValue* GetObject(const kJSONValue* aJO, TextView aPath);
  static const kJSONValue* GetArray(const kJSONValue* aJO, TextView aPath);

  // The tree of a JSON text of any kind (object, array, string, ...); none when the
  // text is not JSON. A byte-order mark (U+FEFF) at the start is skipped. Parsing is
  // iterative, so deep nesting cannot exhaust the stack.
  static std::unique_ptr<kJSONDocument> Parse(TextView aText);
};

}  // namespace zv
