#include "app/uZV_Base_AppInfo.h"

#include "base/Exception.h"
#include "platform/Regional.h"
#include "platform/Resources.h"

namespace zv {

Text GetDelimitedField(TextView aText, int aIndex, char16_t aDelimiter, bool aToEnd) {
  if (aIndex < 1) return aToEnd ? Text(aText) : Text();
  // Find the start of field aIndex: just after delimiter number aIndex - 1.
  size_t start = 0;
  for (int field = 1; field < aIndex; ++field) {
    const size_t next = aText.find(aDelimiter, start);
    if (next == TextView::npos) return Text();
    start = next + 1;
  }
  if (aToEnd) return Text(aText.substr(start));
  const size_t end = aText.find(aDelimiter, start);
  return Text(aText.substr(start, end == TextView::npos ? TextView::npos : end - start));
}

namespace {

// Characters aFirst.. (from 1) of aValue as a decimal integer, 1 when they are none.
// The general conversion would also take "$A" or "x1" as hexadecimal numbers.
int DatePart(const Text& aValue, size_t aFirst, size_t aCount) {
  int32_t number = 1;
  const Text part = aFirst - 1 < aValue.size() ? aValue.substr(aFirst - 1, aCount) : Text();
  const bool decimal = part.find_first_not_of(u" +-0123456789") == Text::npos;
  if (!decimal || !TryTextToInt(part, number)) number = 1;
  return number;
}

}  // namespace

void tZV_ApplicationInfo::Load() { Load([](uint32_t aId) { return platform::LoadResourceString(aId); }); }

void tZV_ApplicationInfo::Load(const tZV_StringReader& aReadString) {
  // The open entry is kept by position: appending may move the entries.
  std::optional<size_t> open;
  int misses = 0;
  for (uint32_t id = kFirstIdentifier; misses < kMaxMisses; ++id) {
    const Text entry = aReadString(id);
    if (entry.empty()) {
      ++misses;
      continue;
    }
    misses = 0;
    const Text key = UpperCase(GetDelimitedField(entry, 1, u'=', false));
    const Text value = GetDelimitedField(entry, 2, u'=', true);
    if (key == u"$APPDESCRIPTION") {
      fDescription = value;
    } else if (key == u"$COPYRIGHT") {
      fCopyright = value;
    } else if (key == u"$VERSION") {
      fVersion = value;
      fHistory.emplace_back().SetVersion(value);
      open = fHistory.size() - 1;
    } else if (!open) {
      // The entry keys mean nothing before the first version.
    } else if (key == u"$AUTHOR") {
      fHistory[*open].SetAuthor(value);
    } else if (key == u"$RELEASEDATE") {
      // dd/mm/yyyy read by position; the separators are not looked at.
      const auto date = TryEncodeDate(DatePart(value, 7, 4), DatePart(value, 4, 2), DatePart(value, 1, 2));
      if (!date) throw kException(u"Invalid argument to date encode");
      fReleaseDate = *date;
      fHistory[*open].SetReleaseDate(*date);
    } else if (key == u"$PTEXT" || key == u"$TEXT") {
      fHistory[*open].Text().push_back(value);
    }
  }
}

Text tZV_ApplicationInfo::ReleaseDateText() const {
  const DateTimeParts parts = DecodeDateTime(fReleaseDate);
  return platform::FormatShortDate(parts.Year, parts.Month, parts.Day);
}

Text tZV_ApplicationInfo::VersionString() const { return u"[" + fVersion + u" - " + ReleaseDateText() + u"]"; }

const tZV_SetupEntry* tZV_Setup::FindEntry(const Text& aName) const {
  for (const tZV_SetupEntry& entry : fList)
    if (SameText(entry.Name(), aName)) return &entry;
  return nullptr;
}

tZV_SetupEntry* tZV_Setup::FindEntry(const Text& aName) {
  return const_cast<tZV_SetupEntry*>(static_cast<const tZV_Setup&>(*this).FindEntry(aName));
}

void tZV_Setup::Define(const Text& aName) { SetValue(aName, std::any()); }

std::any tZV_Setup::GetValue(const Text& aName) const {
  const tZV_SetupEntry* entry = FindEntry(aName);
  return entry != nullptr ? entry->Value() : std::any();
}

void tZV_Setup::SetValue(const Text& aName, std::any aValue) {
  if (tZV_SetupEntry* entry = FindEntry(aName))
    entry->SetValue(std::move(aValue));
  else
    fList.emplace_back(aName, std::move(aValue));
}

}  // namespace zv
