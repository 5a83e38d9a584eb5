// The archive engine's exception: a message number (`ErrorCode`) and the code of the place that
// raised it (`NativeError`), with the message text built from the table below.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tarvo::archive {

class EZipException : public std::runtime_error {
 public:
  // The text of message `error_code` with its "%s"/"%d" placeholders filled from `args` in order,
  // prefixed by "<component_name>: " when the name is not empty, followed by the native error.
  EZipException(int error_code, int native_error, const std::vector<std::string>& args = {},
                const std::string& component_name = {});

  int ErrorCode() const { return error_code_; }
  int NativeError() const { return native_error_; }

 private:
  int error_code_;
  int native_error_;
};

// Which message a native error raises.
int ErrorCodeOfNative(int native_error);
// The unformatted message text for a message number ("Unknown error" for a number without one).
std::string ZipMessageText(int error_code);
// Fills "%s" and "%d" placeholders in order.
std::string FormatZipMessage(const std::string& text, const std::vector<std::string>& args);

// Raised by the disk-side mask with its unformatted text.
class EMaskException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A zlib failure while compressing.
class ECompressionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tarvo::archive
