// The archive engine's exception: a message number (`ErrorCode`) and the code of the place that
// raised it (`NativeError`), with the message text built from the table below.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::archive {

// The native error codes: which place in the engine raised an error. The number is part of the
// message ("Native error: 00019") and of what callers and logs compare, so the values are fixed;
// each one raises a single message (ErrorCodeOfNative).
enum class ZipNative : int {
  kIndexOutOfBounds = 1,       // an entry index outside the directory
  kBadCompressionMode = 5,     // a compression mode outside 0..9
  kEntryNotInTail = 7,         // an unchanged entry the update pass cannot find in the old file
  kBadSizeOrCrc = 8,           // an entry whose size or CRC-32 does not match, or bad method
  kBlankNameOnUpdate = 9,      // an update begun on an archive without a file name
  kBlankNameOnOpen = 10,       // an archive opened without a file name
  kArchiveNotFound = 12,       // the archive file to open does not exist
  kArchiveNotOpen = 13,        // an operation that needs an open archive
  kCannotCreateFile = 19,      // a file cannot be written, or its name is refused
  kCannotCreateFolder = 20,    // a folder cannot be made
  kUpdateNotEnded = 26,        // a second update begun inside one
  kReadOnly = 32,              // an update on an archive opened for reading only
  kCannotOpenSource = 33,      // a file to add cannot be opened, or its name is too long
  kBadCompressedSize = 34,     // an entry's data shorter or longer than its sizes say
  kNoEndRecord = 35,           // no end of central directory record
  kNoZip64EndRecord = 40,      // a Zip64 locator without its end record
  kZip64NeededForSize = 41,    // an entry grew past 4 GB with Zip64 disabled
  kZip64NeededForEntry = 43,   // an entry needs Zip64 with Zip64 disabled
  kMultiVolume = 44,           // an archive that spans volumes
  kWriteFailed = 46,           // a write or flush of the archive failed
  kDamaged = 48,               // no directory and no repair asked for
  kDeflate64 = 55,             // the Deflate64 method
  kDamagedSizes = 57,          // entries whose sizes add up past the file
  kNameListBrokenOnFind = 58,  // the hashed name list disagrees with the directory (lookup)
  kNameListBrokenOnSet = 59,   // the same, when an entry is renamed
  kNameTooLong = 61,           // a target past 128 folders or 2,048 bytes
  kOverlap = 63,               // entries that overlap each other or the directory
};

class EZipException : public std::runtime_error {
 public:
  // The text of the message `native_error` raises (ErrorCodeOfNative), with its "%s"/"%d"
  // placeholders filled from `args` in order, prefixed by "<component_name>: " when the name is
  // not empty, followed by the native error.
  explicit EZipException(ZipNative native_error, const std::vector<std::string>& args = {},
                         const std::string& component_name = {});

  int ErrorCode() const { return error_code_; }
  int NativeError() const { return native_error_; }
  // Why the engine refused, where the message alone does not say it ("name leaves the base
  // folder"); empty otherwise. Kept out of what(), whose text callers and dialogs show as it is.
  const std::string& Reason() const { return reason_; }
  EZipException& WithReason(std::string reason) {
    reason_ = std::move(reason);
    return *this;
  }

 private:
  int error_code_;
  int native_error_;
  std::string reason_;
};

// Which message a native error raises.
int ErrorCodeOfNative(int native_error);
inline int ErrorCodeOfNative(ZipNative native_error) {
  return ErrorCodeOfNative(static_cast<int>(native_error));
}
// The unformatted message text for a message number ("Unknown error" for a number without one).
std::string ZipMessageText(int error_code);
// Fills "%s" and "%d" placeholders in order.
std::string FormatZipMessage(const std::string& text, const std::vector<std::string>& args);

// Raised by the disk-side mask with its unformatted text.
class EMaskException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A call the archive's state does not allow, such as a setting that only a closed archive takes.
class EZipStateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A zlib failure while compressing.
class ECompressionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tarvo::archive
