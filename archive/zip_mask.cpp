#include "archive/zip_mask.h"

#include <unordered_set>

#include "archive/zip_exception.h"
#include "platform/path.h"
#include "text/codepage.h"

namespace tarvo::archive {

namespace {

// Mask text against name, left to right; "*" tries each later start up to the last character.
// Failed (star, position) pairs are remembered so that masks with many stars stay polynomial.
class SimpleMatcher {
 public:
  SimpleMatcher(const std::u32string& mask, const std::u32string& name)
      : mask_(mask), name_(name) {}
  bool Match(size_t mi, size_t ni) {
    while (true) {
      if (mask_.size() - mi == 1 && mask_[mi] == U'*') return true;
      if (ni == name_.size()) return mi == mask_.size();
      if (mi == mask_.size()) return false;
      if (mask_[mi] == U'*') {
        for (size_t k = ni; k < name_.size(); ++k) {
          uint64_t key = (uint64_t{mi} << 32) | k;
          if (failed_.count(key)) continue;
          if (Match(mi + 1, k)) return true;
          failed_.insert(key);
        }
        return false;
      }
      if (mask_[mi] != U'?' && text::ToUpper(mask_[mi]) != text::ToUpper(name_[ni])) return false;
      ++mi;
      ++ni;
    }
  }

 private:
  const std::u32string& mask_;
  const std::u32string& name_;
  std::unordered_set<uint64_t> failed_;
};

bool HasExtension(const std::u32string& name) {
  size_t slash = name.find_last_of(U"/\\");
  size_t dot = name.rfind(U'.');
  return dot != std::u32string::npos && (slash == std::u32string::npos || dot > slash);
}

std::string FolderPart(std::string_view path) {
  size_t p = path.find_last_of("/\\");
  return p == std::string_view::npos ? std::string() : std::string(path.substr(0, p + 1));
}

std::string Backslashed(std::string s) {
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

}  // namespace

bool ZipWildcardMatch(std::string_view name_utf8, std::string_view mask_utf8) {
  if (mask_utf8.empty()) return false;
  std::u32string mask = text::Utf8ToUtf32(mask_utf8);
  std::u32string name = text::Utf8ToUtf32(name_utf8);
  size_t star_dot = mask.find(U"*.*");
  if (star_dot != std::u32string::npos) mask.erase(star_dot + 1, 2);  // "*.*" becomes "*"
  bool no_extension = false;
  if (!mask.empty() && mask.back() == U'.') {
    mask.pop_back();
    no_extension = true;
  }
  if (!name.empty() && name.back() == U'.') name.pop_back();
  if (!SimpleMatcher(mask, name).Match(0, 0)) return false;
  return !no_extension || !HasExtension(name);
}

TMask::TMask(std::string_view mask_utf8) {
  if (mask_utf8 == "*.*") {
    match_all_ = true;
    return;
  }
  int runs = 0;
  for (char32_t c : text::Utf8ToUtf32(mask_utf8)) {
    bool after_star = !tokens_.empty() && tokens_.back().kind == kStar;
    if (c == U'*') {
      if (after_star) continue;
      if (++runs > 30) throw EMaskException("'%s' is an invalid mask at (%d)");
      tokens_.push_back({kStar, 0});
    } else if (c == U'?') {
      if (!after_star) tokens_.push_back({kAny, 0});
    } else {
      tokens_.push_back({kLiteral, c});
    }
  }
}

bool TMask::Matches(std::string_view name_utf8) const {
  if (match_all_) return true;
  std::u32string name = text::Utf8ToUtf32(name_utf8);
  auto fold = [](char32_t c) { return c >= U'a' && c <= U'z' ? c - 32 : c; };
  size_t t = 0, n = 0;
  size_t star_t = SIZE_MAX, star_n = 0;
  while (n < name.size()) {
    if (t < tokens_.size() && tokens_[t].kind == kStar) {
      star_t = t++;
      star_n = n;
    } else if (t < tokens_.size() &&
               (tokens_[t].kind == kAny || fold(tokens_[t].ch) == fold(name[n]))) {
      ++t;
      ++n;
    } else if (star_t != SIZE_MAX) {
      t = star_t + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (t < tokens_.size() && tokens_[t].kind == kStar) ++t;
  return t == tokens_.size();
}

std::string PrepareSearchMask(std::string_view mask, TZipStorePathMode store_path) {
  std::string m(mask);
  if (store_path != TZipStorePathMode::spFullPathWithDrive && m.size() >= 2 && m[1] == ':')
    m.erase(0, 2);
  for (char& c : m)
    if (c == '\\') c = '/';
  if (m.size() > 259) m.resize(259);
  return m;
}

bool EntryMatchesSearch(const TDirItem& item, const TInternalSearchRec& search, bool recurse) {
  if (!recurse && !text::EqualsIgnoreCase(Backslashed(FolderPart(item.FileName)),
                                          Backslashed(FolderPart(search.Mask))))
    return false;
  std::string_view name = item.FileName;
  if (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.remove_suffix(1);
  size_t slash = name.find_last_of("/\\");
  std::string_view file_part = slash == std::string_view::npos ? name : name.substr(slash + 1);
  if (!ZipWildcardMatch(name, search.Mask) && !ZipWildcardMatch(file_part, search.Mask))
    return false;
  return (item.header.external_attributes & 0x1E & ~search.SearchAttr) == 0;
}

std::optional<std::string> SafeRelativePath(std::string_view stored_name, const char** why) {
  std::string path = Backslashed(std::string(stored_name));
  auto refuse = [&](const char* reason) -> std::optional<std::string> {
    if (why) *why = reason;
    return std::nullopt;
  };
  // A leading separator or a drive names a place outside the base, whatever follows.
  if (!path.empty() && (path[0] == '\\' || (path.size() > 1 && path[1] == ':')))
    return refuse(kReasonLeavesBase);
  // A folder entry ends with one separator. Every component before it is ".." that stays below
  // the base, or a plain name, so that the file written is the one listed.
  std::string_view parts = path;
  if (!parts.empty() && parts.back() == '\\') parts.remove_suffix(1);
  int depth = 0;
  size_t start = 0;
  while (true) {
    const size_t end = parts.find('\\', start);
    const std::string_view part =
        parts.substr(start, end == std::string_view::npos ? end : end - start);
    if (part == ".." && end != std::string_view::npos) {  // a last ".." would name a folder
      if (--depth < 0) return refuse(kReasonLeavesBase);
    } else if (platform::IsPlainWindowsName(part)) {
      ++depth;
    } else {
      return refuse(kReasonNotPlainName);
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return path;
}

}  // namespace tarvo::archive
