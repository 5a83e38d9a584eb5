// Mask matching: the wildcard test of entry names, the disk-side mask, entry selection and the
// rule that places extracted entries below the base folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_dir.h"
#include "archive/zip_types.h"

namespace tarvo::archive {

// Entry-side wildcard test: "*" and "?" over whole characters, letter case ignored (Cyrillic
// included); "*.*" stands for "*", and a mask ending in "." matches only names without extension.
bool ZipWildcardMatch(std::string_view name, std::string_view mask);

// Disk-side mask: "*" and "?" ("?" right after "*" is dropped), literals compare without case for
// A-Z only, anchored at both ends; more than 30 runs of "*" are refused.
class TMask {
 public:
  explicit TMask(std::string_view mask);
  bool Matches(std::string_view name) const;

 private:
  enum Kind : uint8_t { kLiteral, kAny, kStar };
  struct Token {
    Kind kind;
    char32_t ch;
  };
  std::vector<Token> tokens_;
  bool match_all_ = false;
};

// What FindFirst keeps of a search.
struct TInternalSearchRec {
  int Index = -1;
  std::string Mask;  // drive removed, "\" turned into "/", at most 259 characters
  bool HasWildcards = false;
  uint32_t SearchAttr = kFaDefaultSearch;
};

std::string PrepareSearchMask(std::string_view mask, TZipStorePathMode store_path);
// The selection rule: folder test when not recursing, wildcard test on the whole name or its
// file-name part, then the attribute filter.
bool EntryMatchesSearch(const TDirItem& item, const TInternalSearchRec& search, bool recurse);

// A stored name as a relative path below the base folder ("\" separators), or nothing when it is
// absolute (drive, leading separator, UNC, ":" or a double separator), climbs above the base, or
// has a component that Windows would not write as listed (platform::IsPlainWindowsName). When
// the name is refused and `why` is given, *why says which of the two rules refused it.
inline constexpr char kReasonLeavesBase[] = "name leaves the base folder";
inline constexpr char kReasonNotPlainName[] = "name Windows would write as another file";
std::optional<std::string> SafeRelativePath(std::string_view stored_name,
                                            const char** why = nullptr);

}  // namespace tarvo::archive
