#pragma once
// The application's description and version history, read from the module's string
// table; a store of named values of any type; and the delimited-field helper that
// reading them uses.

#include <any>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/DateTime.h"
#include "base/Text.h"

namespace zv {

// Field aIndex (from 1) of aText split at aDelimiter, without delimiters; empty when
// the text has fewer fields or aIndex is below 1. With aToEnd, the text from the start
// of field aIndex to its end, later delimiters included (the whole text when aIndex is
// below 1, empty when the text has fewer fields).
Text GetDelimitedField(TextView aText, int aIndex, char16_t aDelimiter, bool aToEnd);

// One version of the application. (The type is written zv::Text inside the class,
// where the property Text names the description lines.)
class tZV_ApplicationHistory {
 public:
  const zv::Text& Version() const { return fVersion; }
  void SetVersion(const zv::Text& aVersion) { fVersion = aVersion; }
  DateTime ReleaseDate() const { return fReleaseDate; }
  void SetReleaseDate(DateTime aDate) { fReleaseDate = aDate; }
  const zv::Text& Author() const { return fAuthor; }
  void SetAuthor(const zv::Text& aAuthor) { fAuthor = aAuthor; }
  // The description lines of the version.
  const std::vector<zv::Text>& Text() const { return fText; }
  std::vector<zv::Text>& Text() { return fText; }

 private:
  zv::Text fVersion;
  DateTime fReleaseDate = 0;
  zv::Text fAuthor;
  std::vector<zv::Text> fText;
};

// Reads the string of an identifier of a string table; a missing one reads as empty.
using tZV_StringReader = std::function<Text(uint32_t aIdentifier)>;

class tZV_ApplicationInfo {
 public:
  // First identifier of the version history in the string table.
  static constexpr uint32_t kFirstIdentifier = 10000;
  // Loading ends after this many identifiers in a row without text.
  static constexpr int kMaxMisses = 11;

  // Reads the history from the module's own string table (see the overload).
  void Load();
  // Reads entries "$KEY=value" from kFirstIdentifier upward until kMaxMisses
  // identifiers in a row have no text. Keys ignore case; the value is everything after
  // the first "=". $VERSION opens a history entry; $RELEASEDATE, $AUTHOR, $TEXT and
  // $PTEXT fill the open entry and are ignored while none is open. Adds to what is
  // already there. Fails with "Invalid argument to date encode" on a release date
  // whose numbers are no calendar date (fields that are no numbers read as 1).
  void Load(const tZV_StringReader& aReadString);

  const Text& Description() const { return fDescription; }
  void SetDescription(const Text& aValue) { fDescription = aValue; }
  const Text& Copyright() const { return fCopyright; }
  void SetCopyright(const Text& aValue) { fCopyright = aValue; }
  const Text& Version() const { return fVersion; }
  void SetVersion(const Text& aValue) { fVersion = aValue; }
  DateTime ReleaseDate() const { return fReleaseDate; }
  void SetReleaseDate(DateTime aValue) { fReleaseDate = aValue; }
  const std::vector<tZV_ApplicationHistory>& History() const { return fHistory; }
  std::vector<tZV_ApplicationHistory>& History() { return fHistory; }

  // "[" + Version + " - " + ReleaseDate in the regional short date format + "]".
  Text VersionString() const;
  // ReleaseDate in the regional short date format.
  Text ReleaseDateText() const;

 private:
  Text fDescription;
  Text fCopyright;
  Text fVersion;
  DateTime fReleaseDate = 0;
  std::vector<tZV_ApplicationHistory> fHistory;
};

class tZV_SetupEntry {
 public:
  tZV_SetupEntry(Text aName, std::any aValue) : fName(std::move(aName)), fValue(std::move(aValue)) {}
  const Text& Name() const { return fName; }
  void SetName(const Text& aName) { fName = aName; }
  const std::any& Value() const { return fValue; }
  void SetValue(std::any aValue) { fValue = std::move(aValue); }

 private:
  Text fName;
  std::any fValue;
};

// Named values of any type, names compared without regard to case, entries kept in
// the order of their creation.
class tZV_Setup {
 public:
  // Creates the entry with the empty value, or empties an existing one.
  void Define(const Text& aName);
  // The value of the entry, or the empty value when there is none.
  std::any GetValue(const Text& aName) const;
  // Replaces the value of the entry (its name stays as first written) or appends a
  // new entry.
  void SetValue(const Text& aName, std::any aValue);
  const std::vector<tZV_SetupEntry>& Entries() const { return fList; }

 private:
  const tZV_SetupEntry* FindEntry(const Text& aName) const;
  tZV_SetupEntry* FindEntry(const Text& aName);

  std::vector<tZV_SetupEntry> fList;
};

}  // namespace zv
