// In-memory stand-ins for the operating system, so the main window is tested on any host with
// Windows-form paths such as "C:\Tarvo\".
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/services.h"
#include "tests/app/fake_platform.h"

namespace tarvo::testing::memory {

class MemoryFileSystem : public platform::FileSystem {
 public:
  void AddFile(const std::string& path, std::string content = {});
  void AddFolder(const std::string& path, uint32_t attributes = platform::kAttrDirectory);
  std::string Content(const std::string& path) const;
  std::vector<std::string> deleted() const { return deleted_; }

  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  std::optional<uint32_t> GetAttributes(const std::string& path) override;
  bool SetAttributes(const std::string& path, uint32_t attributes) override;
  std::vector<platform::DirEntry> List(const std::string& folder,
                                       const std::string& pattern) override;
  bool CreateDirectories(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool CopyFileNoOverwrite(const std::string& source, const std::string& target) override;
  bool Rename(const std::string& source, const std::string& target) override;
  bool ReplaceFile(const std::string& source, const std::string& target) override;
  bool DeleteFileAt(const std::string& path) override;
  std::optional<platform::DosDateTime> GetLastWriteTime(const std::string& path) override;
  bool SetLastWriteTime(const std::string& path, platform::DosDateTime time) override;
  std::unique_ptr<platform::File> Open(const std::string& path, platform::Access access,
                                       platform::Share share,
                                       platform::Disposition disposition) override;
  std::string MakeTempFile(const std::string& folder, const std::string& prefix) override;
  std::string TempFolder() override { return "C:\\Temp\\"; }
  bool IsRemovableDrive(const std::string& path) override { return false; }
  uint64_t AvailablePhysicalMemory() override { return uint64_t{1} << 30; }
  std::string ExecutablePath() override { return executable_path; }
  std::string FullPath(const std::string& path) override { return path; }

  std::string executable_path = "C:\\Update\\TarvoUpdate.exe";

 private:
  struct Node {
    std::string name;  // as created
    uint32_t attributes = platform::kAttrArchive;
    std::shared_ptr<std::string> content;  // null for folders
  };
  static std::string Key(const std::string& path);
  static std::string ParentKey(const std::string& key);
  void EnsureParents(const std::string& key);

  std::map<std::string, Node> nodes_;
  std::vector<std::string> deleted_;
  int temp_counter_ = 0;
};

// The registry, marker and version reader are those of the tests on the real file system.
using tarvo::testing::FakeMarker;
using tarvo::testing::FakeRegistry;
using FakeVersionInfo = tarvo::testing::FakeVersion;

class RecordingDialogs : public platform::Dialogs {
 public:
  platform::DialogResult ShowMessage(const std::string& text, const std::string& caption,
                                     const std::vector<platform::DialogResult>& buttons,
                                     platform::MessageIcon icon,
                                     platform::DialogResult default_button) override;
  bool InputQuery(const std::string& caption, const std::string& prompt,
                  std::string& value) override {
    return false;
  }
  std::vector<std::pair<std::string, std::string>> shown;  // text, caption
};

// Services wired to the fakes above; the raw pointers stay valid while `services` lives.
struct FakeServices {
  FakeServices();
  platform::Services services;
  MemoryFileSystem* fs;
  FakeRegistry* registry;
  FakeMarker* marker;
  FakeVersionInfo* version;
  RecordingDialogs* dialogs;
};

}  // namespace tarvo::testing::memory
