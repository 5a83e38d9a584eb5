#include "tests/app/memory_services.h"

#include <algorithm>
#include <cstring>

#include "tests/platform/set_clock.h"

namespace tarvo::testing::memory {

using platform::DirEntry;
using platform::PlatformError;

namespace {

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool WildMatch(const char* p, const char* s) {
  if (*p == 0) return *s == 0;
  if (*p == '*') return WildMatch(p + 1, s) || (*s && WildMatch(p, s + 1));
  if (*s == 0) return false;
  return (*p == '?' || *p == *s) && WildMatch(p + 1, s + 1);
}

class MemoryFile : public platform::File {
 public:
  explicit MemoryFile(std::shared_ptr<std::string> data) : data_(std::move(data)) {}
  size_t Read(void* buffer, size_t n) override {
    size_t left = pos_ < data_->size() ? data_->size() - pos_ : 0;
    n = std::min(n, left);
    std::memcpy(buffer, data_->data() + pos_, n);
    pos_ += n;
    return n;
  }
  void Write(const void* buffer, size_t n) override {
    if (pos_ + n > data_->size()) data_->resize(pos_ + n);
    std::memcpy(data_->data() + pos_, buffer, n);
    pos_ += n;
  }
  void Seek(uint64_t position) override { pos_ = position; }
  uint64_t Position() override { return pos_; }
  uint64_t Size() override { return data_->size(); }
  void Truncate() override { data_->resize(pos_); }
  void Flush() override {}
  void SetLastWriteTime(platform::DosDateTime) override {}
  void Close() override {}

 private:
  std::shared_ptr<std::string> data_;
  size_t pos_ = 0;
};

}  // namespace

std::string MemoryFileSystem::Key(const std::string& path) {
  std::string k = Lower(path);
  std::replace(k.begin(), k.end(), '/', '\\');
  // Collapse doubled separators, as Windows does when resolving a path.
  std::string out;
  for (char c : k) {
    if (c == '\\' && !out.empty() && out.back() == '\\') continue;
    out.push_back(c);
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

std::string MemoryFileSystem::ParentKey(const std::string& key) {
  size_t p = key.rfind('\\');
  return p == std::string::npos ? std::string() : key.substr(0, p);
}

void MemoryFileSystem::EnsureParents(const std::string& key) {
  for (std::string parent = ParentKey(key); !parent.empty(); parent = ParentKey(parent)) {
    if (nodes_.count(parent)) continue;
    Node n;
    n.name = parent.substr(parent.rfind('\\') + 1);
    n.attributes = platform::kAttrDirectory;
    nodes_[parent] = n;
  }
}

void MemoryFileSystem::AddFile(const std::string& path, std::string content) {
  std::string key = Key(path);
  EnsureParents(key);
  Node n;
  std::string p = path;
  std::replace(p.begin(), p.end(), '/', '\\');
  n.name = p.substr(p.rfind('\\') + 1);
  n.content = std::make_shared<std::string>(std::move(content));
  nodes_[key] = n;
}

void MemoryFileSystem::AddFolder(const std::string& path, uint32_t attributes) {
  std::string key = Key(path);
  EnsureParents(key);
  std::string p = path;
  std::replace(p.begin(), p.end(), '/', '\\');
  while (!p.empty() && p.back() == '\\') p.pop_back();
  Node n;
  n.name = p.substr(p.rfind('\\') + 1);
  n.attributes = attributes | platform::kAttrDirectory;
  nodes_[key] = n;
}

std::string MemoryFileSystem::Content(const std::string& path) const {
  auto it = nodes_.find(Key(path));
  return it != nodes_.end() && it->second.content ? *it->second.content : std::string();
}

bool MemoryFileSystem::FileExists(const std::string& path) {
  if (!path.empty() && (path.back() == '\\' || path.back() == '/')) return false;
  auto it = nodes_.find(Key(path));
  return it != nodes_.end() && it->second.content;
}

bool MemoryFileSystem::DirectoryExists(const std::string& path) {
  auto it = nodes_.find(Key(path));
  return it != nodes_.end() && !it->second.content;
}

std::optional<uint32_t> MemoryFileSystem::GetAttributes(const std::string& path) {
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end()) return std::nullopt;
  return it->second.attributes;
}

bool MemoryFileSystem::SetAttributes(const std::string& path, uint32_t attributes) {
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end()) return false;
  it->second.attributes = attributes | (it->second.content ? 0 : platform::kAttrDirectory);
  return true;
}

std::vector<DirEntry> MemoryFileSystem::List(const std::string& folder,
                                             const std::string& pattern) {
  std::string key = Key(folder);
  if (!DirectoryExists(folder)) {
    throw PlatformError("cannot list " + folder, platform::kErrorPathNotFound);
  }
  std::vector<DirEntry> out;
  std::string lower_pattern = Lower(pattern);
  for (const char* dot : {".", ".."}) {
    if (WildMatch(lower_pattern.c_str(), dot)) out.push_back({dot, platform::kAttrDirectory, 0});
  }
  for (const auto& [k, node] : nodes_) {
    if (ParentKey(k) != key) continue;
    if (!WildMatch(lower_pattern.c_str(), Lower(node.name).c_str())) continue;
    out.push_back({node.name, node.attributes, node.content ? node.content->size() : 0});
  }
  return out;
}

bool MemoryFileSystem::CreateDirectories(const std::string& path) {
  if (FileExists(path)) return false;
  if (!DirectoryExists(path)) AddFolder(path);
  return true;
}

bool MemoryFileSystem::RemoveFolder(const std::string& path) {
  if (!DirectoryExists(path)) return false;
  nodes_.erase(Key(path));
  return true;
}

bool MemoryFileSystem::CopyFileNoOverwrite(const std::string& source, const std::string& target) {
  if (!FileExists(source) || nodes_.count(Key(target))) return false;
  AddFile(target, Content(source));
  return true;
}

bool MemoryFileSystem::Rename(const std::string& source, const std::string& target) {
  if (!FileExists(source) || nodes_.count(Key(target))) return false;
  AddFile(target, Content(source));
  nodes_.erase(Key(source));
  return true;
}

bool MemoryFileSystem::ReplaceFile(const std::string& source, const std::string& target) {
  if (!FileExists(source) || DirectoryExists(target)) return false;
  std::string content = Content(source);
  nodes_.erase(Key(source));
  nodes_.erase(Key(target));
  AddFile(target, content);
  return true;
}

bool MemoryFileSystem::DeleteFileAt(const std::string& path) {
  if (!FileExists(path)) return false;
  nodes_.erase(Key(path));
  deleted_.push_back(path);
  return true;
}

std::optional<platform::DosDateTime> MemoryFileSystem::GetLastWriteTime(const std::string& path) {
  if (!nodes_.count(Key(path))) return std::nullopt;
  return platform::DosDateTime{};
}

bool MemoryFileSystem::SetLastWriteTime(const std::string& path, platform::DosDateTime) {
  return nodes_.count(Key(path)) != 0;
}

std::unique_ptr<platform::File> MemoryFileSystem::Open(const std::string& path,
                                                       platform::Access access,
                                                       platform::Share share,
                                                       platform::Disposition disposition) {
  std::string key = Key(path);
  auto it = nodes_.find(key);
  bool exists = it != nodes_.end() && it->second.content;
  if (it != nodes_.end() && !it->second.content) {
    throw PlatformError("is a folder: " + path, platform::kErrorAccessDenied);
  }
  switch (disposition) {
    case platform::Disposition::kOpenExisting:
      if (!exists) throw PlatformError("not found: " + path, platform::kErrorFileNotFound);
      break;
    case platform::Disposition::kCreateNew:
      if (exists) throw PlatformError("exists: " + path, platform::kErrorFileExists);
      AddFile(path);
      break;
    case platform::Disposition::kCreateAlways:
      AddFile(path);
      break;
    case platform::Disposition::kOpenAlways:
      if (!exists) AddFile(path);
      break;
  }
  return std::make_unique<MemoryFile>(nodes_[key].content);
}

std::string MemoryFileSystem::MakeTempFile(const std::string& folder, const std::string& prefix) {
  std::string path = folder + prefix + std::to_string(++temp_counter_) + ".tmp";
  AddFile(path);
  return path;
}

platform::DialogResult RecordingDialogs::ShowMessage(
    const std::string& text, const std::string& caption,
    const std::vector<platform::DialogResult>& buttons, platform::MessageIcon icon,
    platform::DialogResult default_button) {
  shown.emplace_back(text, caption);
  return buttons.empty() ? platform::DialogResult::kOk : buttons.front();
}

FakeServices::FakeServices() {
  auto f = std::make_unique<MemoryFileSystem>();
  auto r = std::make_unique<FakeRegistry>();
  auto m = std::make_unique<FakeMarker>();
  auto v = std::make_unique<FakeVersionInfo>();
  auto d = std::make_unique<RecordingDialogs>();
  fs = f.get();
  registry = r.get();
  marker = m.get();
  version = v.get();
  dialogs = d.get();
  services.fs = std::move(f);
  services.registry = std::move(r);
  services.marker = std::move(m);
  services.version = std::move(v);
  services.dialogs = std::move(d);
  services.clock = std::make_unique<platform::testing::SetClock>(
      platform::LocalTime{2026, 12, 9, 6, 0, 0, 0, 3});
}

}  // namespace tarvo::testing::memory
