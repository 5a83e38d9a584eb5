// Operating-system services behind small interfaces, so that every engine and the installer can be
// tested with fakes and built for Windows and for Linux alike.
//
// Paths are UTF-8 text in Windows form: "\" separates folders and letter case does not matter.
// The POSIX stand-ins accept "\" and "/" alike and resolve each name without regard to case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::platform {

// Windows file attribute bits, as the file system reports them.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrVolumeId = 0x08;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrNormal = 0x80;

// Windows system error codes the callers tell apart.
inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorPathNotFound = 3;
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorSharingViolation = 32;
inline constexpr int kErrorFileExists = 80;
inline constexpr int kErrorAlreadyExists = 183;

// A failed operating-system call; `code` is the Windows system error code (or the closest one).
class PlatformError : public std::runtime_error {
 public:
  PlatformError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// MS-DOS date and time words, as ZIP archives store them (local time, two-second steps).
struct DosDateTime {
  uint16_t date = 0x21;  // 1980-01-01
  uint16_t time = 0;
  uint32_t Packed() const { return (uint32_t{date} << 16) | time; }
  static DosDateTime FromPacked(uint32_t v) {
    return {static_cast<uint16_t>(v >> 16), static_cast<uint16_t>(v & 0xFFFF)};
  }
  bool operator==(const DosDateTime&) const = default;
};

struct LocalTime {
  int year = 1980;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int day_of_week = 2;  // 0 Sunday .. 6 Saturday
};

DosDateTime ToDosDateTime(const LocalTime& t);
LocalTime FromDosDateTime(DosDateTime d);

struct DirEntry {
  std::string name;  // as stored on disk; "." and ".." are listed as folders
  uint32_t attributes = 0;
  uint64_t size = 0;
};

enum class Access { kRead, kWrite, kReadWrite };
// Which access other openers keep (Windows share modes).
enum class Share { kExclusive, kDenyWrite, kDenyRead, kDenyNone };
enum class Disposition {
  kOpenExisting,  // fail when missing
  kCreateAlways,  // create or truncate
  kCreateNew,     // fail when present
  kOpenAlways,    // open, or create when missing
};

// An open file. Every failure throws PlatformError.
class File {
 public:
  virtual ~File() = default;
  // Reads up to n bytes; returns how many were read (0 at the end of the file).
  virtual size_t Read(void* buffer, size_t n) = 0;
  // Writes all n bytes or throws.
  virtual void Write(const void* buffer, size_t n) = 0;
  virtual void Seek(uint64_t position) = 0;
  virtual uint64_t Position() = 0;
  virtual uint64_t Size() = 0;
  // Ends the file at the current position.
  virtual void Truncate() = 0;
  // Writes the file's buffers through to the device.
  virtual void Flush() = 0;
  virtual void SetLastWriteTime(DosDateTime time) = 0;
  virtual void Close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Every bool result says whether the operation was done; a caller that goes on regardless
  // writes (void) and says why.

  // True when the path names an existing entry that is not a folder.
  [[nodiscard]] virtual bool FileExists(const std::string& path) = 0;
  [[nodiscard]] virtual bool DirectoryExists(const std::string& path) = 0;
  // The attribute word, or nothing when the path does not exist.
  virtual std::optional<uint32_t> GetAttributes(const std::string& path) = 0;
  [[nodiscard]] virtual bool SetAttributes(const std::string& path, uint32_t attributes) = 0;
  // The entries of a folder whose names match a wildcard pattern (`*` and `?`, case-insensitive),
  // "." and ".." included as Windows lists them. Throws PlatformError when the folder cannot be
  // listed.
  virtual std::vector<DirEntry> List(const std::string& folder,
                                     const std::string& pattern = "*") = 0;
  // Creates the folder and its missing parents; true when it exists afterwards.
  [[nodiscard]] virtual bool CreateDirectories(const std::string& path) = 0;
  [[nodiscard]] virtual bool RemoveFolder(const std::string& path) = 0;
  // Copies a file, refusing to overwrite an existing target.
  [[nodiscard]] virtual bool CopyFileNoOverwrite(const std::string& source,
                                                 const std::string& target) = 0;
  [[nodiscard]] virtual bool Rename(const std::string& source, const std::string& target) = 0;
  // Renames a file over an existing target in one step, written through to the disk before it
  // returns: a reader, or a run after a kill or a power loss, sees the old file or the new one,
  // never neither. False when the rename could not be made (the target then is as it was).
  [[nodiscard]] virtual bool ReplaceFile(const std::string& source, const std::string& target) = 0;
  // As ReplaceFile, but the rename may reach the disk only later: a reader or a run after a kill
  // still sees the old file or the new, a run after a power loss may see the old one until
  // FlushFolder has written the target's folder through. For many files in few folders.
  [[nodiscard]] virtual bool ReplaceFileUnflushed(const std::string& source,
                                                  const std::string& target) {
    return ReplaceFile(source, target);
  }
  // Writes the renames made in the folder through to the disk; false when that failed.
  [[nodiscard]] virtual bool FlushFolder(const std::string& /*folder*/) { return true; }
  [[nodiscard]] virtual bool DeleteFileAt(const std::string& path) = 0;
  virtual std::optional<DosDateTime> GetLastWriteTime(const std::string& path) = 0;
  [[nodiscard]] virtual bool SetLastWriteTime(const std::string& path, DosDateTime time) = 0;
  virtual std::unique_ptr<File> Open(const std::string& path, Access access, Share share,
                                     Disposition disposition) = 0;
  // Creates a new empty file with a unique name "<prefix>XXXX.tmp" in the folder and returns its
  // path; throws PlatformError when that is impossible.
  virtual std::string MakeTempFile(const std::string& folder, const std::string& prefix) = 0;
  // MakeTempFile and the new file opened for writing, exclusively, in one step where the platform
  // can: its path and the open file. Throws PlatformError; nothing is left behind then.
  virtual std::pair<std::string, std::unique_ptr<File>> CreateTempFile(const std::string& folder,
                                                                       const std::string& prefix) {
    std::string name = MakeTempFile(folder, prefix);
    try {
      return {name, Open(name, Access::kWrite, Share::kExclusive, Disposition::kCreateAlways)};
    } catch (...) {
      (void)DeleteFileAt(name);
      throw;
    }
  }
  // The system temporary folder, ending with a backslash (or "/" on POSIX).
  virtual std::string TempFolder() = 0;
  [[nodiscard]] virtual bool IsRemovableDrive(const std::string& path) = 0;
  virtual uint64_t AvailablePhysicalMemory() = 0;
  // The full path of the running program.
  virtual std::string ExecutablePath() = 0;
  // The absolute form of a path, without resolving links.
  virtual std::string FullPath(const std::string& path) = 0;
};

// HKEY_LOCAL_MACHINE, as a 32-bit program sees it.
class Registry {
 public:
  struct StringValue {
    bool key_opened = false;
    bool value_present = false;
    std::string value;
  };
  virtual ~Registry() = default;
  // Opens the key for reading only (never creates it) and reads one string value.
  virtual StringValue ReadLocalMachineString(const std::string& key, const std::string& name) = 0;
};

// The named marker that a running program holds (a named file mapping on Windows).
class RunningMarker {
 public:
  enum class State { kCreated, kAlreadyExists, kAccessDenied, kFailed };
  virtual ~RunningMarker() = default;
  // Creates the marker and keeps it until this object is destroyed.
  virtual State Create(const std::string& name) = 0;
};

// String values of a file's version resource.
class VersionInfo {
 public:
  struct Strings {
    bool has_resource = false;     // the file carries a version resource
    bool has_translation = false;  // ... with a translation table
    // Values of the requested names, looked up under the first translation; absent when missing.
    std::vector<std::optional<std::string>> values;
  };
  virtual ~VersionInfo() = default;
  virtual Strings Read(const std::string& path, const std::vector<std::string>& names) = 0;
};

// Modal questions to the person at the machine. Results are Delphi modal results.
enum class DialogResult {
  kNone = 0,
  kOk = 1,
  kCancel = 2,
  kAbort = 3,
  kRetry = 4,
  kIgnore = 5,
  kYes = 6,
  kNo = 7,
  kAll = 8,
  kNoToAll = 9,
  kYesToAll = 10,
};

enum class MessageIcon { kNone, kError, kWarning, kQuestion, kInformation };

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A message box with the given buttons (the first is the default unless `default_button` is
  // given).
  virtual DialogResult ShowMessage(const std::string& text, const std::string& caption,
                                   const std::vector<DialogResult>& buttons, MessageIcon icon,
                                   DialogResult default_button = DialogResult::kNone) = 0;
  // A text input; false when cancelled.
  virtual bool InputQuery(const std::string& caption, const std::string& prompt,
                          std::string& value) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() = 0;
};

// Everything above, made once at program entry and handed down.
struct Services {
  std::unique_ptr<FileSystem> fs;
  std::unique_ptr<Registry> registry;
  std::unique_ptr<RunningMarker> marker;
  std::unique_ptr<VersionInfo> version;
  std::unique_ptr<Dialogs> dialogs;
  std::unique_ptr<Clock> clock;
};

// The real services of the machine the program runs on.
Services MakeSystemServices();

}  // namespace tarvo::platform
