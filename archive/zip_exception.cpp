#include "archive/zip_exception.h"

#include <cstdio>
#include <map>

namespace tarvo::archive {

namespace {

const std::map<int, std::string>& Messages() {
  static const std::map<int, std::string> m = {
      {0, "Unknown error"},
      {1, "Index out of bounds"},
      {2, "Invalid compression mode. Mode must be in [0-9] range"},
      {4, "Invalid size or check sum of file or unsupported compression format"},
      {5, "File name is blank. Specify appropriate file name"},
      {6, "File \"%s\" not found"},
      {7, "Archive is not open"},
      {9, "Cannot create file \"%s\""},
      {10, "Cannot create directory \"%s\""},
      {11, "Internal error. Update is not started"},
      {12, "Cannot open file \"%s\""},
      {13, "Cannot proceed when update is not ended. Preceding EndUpdate call is required."},
      {14, "Cannot delete file \"%s\""},
      {15, "In-memory archive can be created only"},
      {16, "File is open in read-only mode"},
      {17, "Invalid compressed size, rfs.size = %d, count = %d"},
      {18, "Invalid archive file."},
      {22, "Cannot find Zip64 directory end record"},
      {23, "Cannot compress file '%s'. Zip64 mode is not enabled"},
      {24, "Cannot open archive file. Opening aborted or invalid file"},
      {25, "Write to stream error"},
      {26, "Cannot place SFX stub on volume. Volume size limit is too small"},
      {27, "Archive is damaged. Open failed"},
      {31,
       "Multi-spanned archive is not allowed for modification. Use BeginUpdate/EndUpdate methods "
       "to add files several times"},
      {32, "Deflate64 compression method is not supported"},
      {34, "Hashed list of file names is invalid"},
      {35, "Cannot delete folder \"%s\""},
      {36, "File name is too long: \r\n\"%s\""},
      {37, "Multiple transactions are not supported for multi-volume archives"},
      {38, "Archive is damaged: the data of \"%s\" overlaps %s. Open failed"},
  };
  return m;
}

}  // namespace

int ErrorCodeOfNative(int native_error) {
  switch (native_error) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 7:
    case 16:
    case 21:
    case 24:
      return 1;
    case 5:
      return 2;
    case 8:
      return 4;
    case 9:
    case 10:
    case 29:
      return 5;
    case 12:
      return 6;
    case 13:
      return 7;
    case 19:
      return 9;
    case 20:
      return 10;
    case 22:
    case 25:
      return 11;
    case 33:
      return 12;
    case 26:
      return 13;
    case 27:
      return 14;
    case 28:
      return 15;
    case 32:
      return 16;
    case 34:
      return 17;
    case 35:
      return 18;
    case 40:
      return 22;
    case 41:
    case 43:
      return 23;
    case 44:
    case 45:
      return 24;
    case 46:
      return 25;
    case 47:
      return 26;
    case 48:
    case 57:
      return 27;
    case 52:
      return 31;
    case 55:
      return 32;
    case 58:
    case 59:
      return 34;
    case 60:
      return 35;
    case 61:
      return 36;
    case 62:
      return 37;
    case 63:
      return 38;
    default:
      return 0;
  }
}

std::string ZipMessageText(int error_code) {
  auto it = Messages().find(error_code);
  return it == Messages().end() ? Messages().at(0) : it->second;
}

std::string FormatZipMessage(const std::string& text, const std::vector<std::string>& args) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == 's' || text[i + 1] == 'd')) {
      if (next < args.size()) out += args[next++];
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

namespace {
std::string BuildMessage(int error_code, int native_error, const std::vector<std::string>& args,
                         const std::string& name) {
  std::string text = FormatZipMessage(ZipMessageText(error_code), args);
  char code[16];
  std::snprintf(code, sizeof code, "%05d", native_error);
  return (name.empty() ? "" : name + ": ") + text + " - Native error: " + code;
}
}  // namespace

EZipException::EZipException(ZipNative native_error, const std::vector<std::string>& args,
                             const std::string& component_name)
    : std::runtime_error(BuildMessage(ErrorCodeOfNative(native_error),
                                      static_cast<int>(native_error), args, component_name)),
      error_code_(ErrorCodeOfNative(native_error)),
      native_error_(static_cast<int>(native_error)) {}

}  // namespace tarvo::archive
