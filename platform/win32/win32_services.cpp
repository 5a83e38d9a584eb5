// The real Windows services.
#include <windows.h>
// commctrl.h needs the types of windows.h.
#include <commctrl.h>

#include <algorithm>
#include <cwchar>

#include "platform/path.h"
#include "platform/services.h"
#include "platform/win32/unique_handle.h"
#include "text/codepage.h"

namespace tarvo::platform {
namespace {

std::wstring W(std::string_view utf8) {
  const std::u16string u = text::Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

std::string U(const wchar_t* w, size_t n = std::wstring::npos) {
  if (n == std::wstring::npos) n = std::wcslen(w);
  return text::Utf16ToUtf8(std::u16string(w, w + n));
}

std::string Windows(std::string_view path) {
  std::string s(path);
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

// The absolute form of a path as Windows resolves it, in a buffer as long as the result needs.
std::wstring FullPathW(const std::wstring& path) {
  std::wstring buffer(std::max<size_t>(path.size() + 1, 512), L'\0');
  while (true) {
    const DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return std::wstring();
    if (n < buffer.size()) return buffer.substr(0, n);
    buffer.assign(n + 1, L'\0');  // n is the size needed, terminator included
  }
}

// A path for the W functions. Past MAX_PATH they need the "\\?\" form, which takes an absolute
// path with nothing left to resolve; shorter paths go as they are, so relative ones keep working.
std::wstring PathW(std::string_view path) {
  const std::wstring plain = W(Windows(path));
  // 248: the longest folder CreateDirectoryW takes without the long form (MAX_PATH less an 8.3
  // name).
  if (plain.size() < 248 || plain.rfind(L"\\\\?\\", 0) == 0) return plain;
  const std::wstring full = FullPathW(plain);
  if (full.empty()) return plain;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

[[noreturn]] void Throw(const std::string& what, const std::string& path, DWORD err) {
  wchar_t* buffer = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string message = buffer ? U(buffer) : std::string();
  if (buffer) LocalFree(buffer);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  throw PlatformError(what + " \"" + path + "\": " + message, static_cast<int>(err));
}

bool FileTimeToDos(const FILETIME& utc, DosDateTime& out) {
  FILETIME local;
  WORD date = 0, time = 0;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToDosDateTime(&local, &date, &time)) {
    return false;
  }
  out.date = date;
  out.time = time;
  return true;
}

bool DosToFileTime(DosDateTime d, FILETIME& utc) {
  FILETIME local;
  return DosDateTimeToFileTime(d.date, d.time, &local) && LocalFileTimeToFileTime(&local, &utc);
}

class Win32File : public File {
 public:
  Win32File(win32::UniqueFileHandle h, std::string path)
      : h_(std::move(h)), path_(std::move(path)) {}
  size_t Read(void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      if (!ReadFile(h_.Get(), static_cast<char*>(buffer) + done, want, &got, nullptr)) {
        Throw("cannot read", path_, GetLastError());
      }
      if (got == 0) break;
      done += got;
    }
    return done;
  }
  void Write(const void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      DWORD put = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
      if (!WriteFile(h_.Get(), static_cast<const char*>(buffer) + done, want, &put, nullptr)) {
        Throw("cannot write", path_, GetLastError());
      }
      if (put == 0) Throw("cannot write", path_, ERROR_DISK_FULL);
      done += put;
    }
  }
  void Seek(uint64_t position) override {
    LARGE_INTEGER li;
    li.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(h_.Get(), li, nullptr, FILE_BEGIN))
      Throw("cannot seek", path_, GetLastError());
  }
  uint64_t Position() override {
    LARGE_INTEGER zero{}, now{};
    if (!SetFilePointerEx(h_.Get(), zero, &now, FILE_CURRENT))
      Throw("cannot seek", path_, GetLastError());
    return static_cast<uint64_t>(now.QuadPart);
  }
  uint64_t Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h_.Get(), &size)) Throw("cannot get the size of", path_, GetLastError());
    return static_cast<uint64_t>(size.QuadPart);
  }
  void Truncate() override {
    if (!SetEndOfFile(h_.Get())) Throw("cannot truncate", path_, GetLastError());
  }
  void Flush() override {
    if (!FlushFileBuffers(h_.Get())) Throw("cannot flush", path_, GetLastError());
  }
  void SetLastWriteTime(DosDateTime time) override {
    FILETIME ft;
    if (!DosToFileTime(time, ft) || !SetFileTime(h_.Get(), nullptr, nullptr, &ft)) {
      Throw("cannot set the time of", path_, GetLastError());
    }
  }
  void Close() override {
    if (h_.Valid()) {
      // Closed here rather than by the owner, so that a failed close is reported.
      if (!CloseHandle(h_.Release())) Throw("cannot close", path_, GetLastError());
    }
  }

 private:
  win32::UniqueFileHandle h_;
  std::string path_;
};

class Win32FileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    auto a = GetAttributes(path);
    return a && (*a & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }
  bool DirectoryExists(const std::string& path) override {
    auto a = GetAttributes(path);
    return a && (*a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  std::optional<uint32_t> GetAttributes(const std::string& path) override {
    if (path.empty()) return std::nullopt;
    const DWORD a = GetFileAttributesW(PathW(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    return a;
  }
  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    return SetFileAttributesW(PathW(path).c_str(), attributes) != 0;
  }
  std::vector<DirEntry> List(const std::string& folder, const std::string& pattern) override {
    const std::string shape = IncludeTrailingBackslash(Windows(folder)) + pattern;
    WIN32_FIND_DATAW data;
    win32::UniqueFindHandle h(FindFirstFileW(PathW(shape).c_str(), &data));
    std::vector<DirEntry> out;
    if (!h) {
      const DWORD err = GetLastError();
      if (err == ERROR_FILE_NOT_FOUND || err == ERROR_NO_MORE_FILES) return out;
      Throw("cannot list", folder, err);
    }
    do {
      DirEntry e;
      e.name = U(data.cFileName);
      e.attributes = data.dwFileAttributes;
      e.size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
      out.push_back(std::move(e));
    } while (FindNextFileW(h.Get(), &data));
    return out;
  }
  bool CreateDirectories(const std::string& path) override {
    const std::string p = ExcludeTrailingBackslash(Windows(path));
    if (p.empty() || DirectoryExists(p)) return !p.empty();
    // Up to the nearest folder that exists, then down creating each missing one: a loop, not a
    // recursion, holding only the cut positions however deep the path.
    std::vector<size_t> missing;
    for (size_t end = p.size(); end > 0;) {
      if (p[end - 1] == ':' || DirectoryExists(p.substr(0, end))) break;
      missing.push_back(end);
      const size_t sep = p.find_last_of('\\', end - 1);
      // A relative head, the root of the drive, or the "\\server" of a share: nothing above.
      if (sep == std::string::npos || sep == 0 || (sep == 1 && p[0] == '\\')) break;
      end = sep;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
      CreateDirectoryW(PathW(p.substr(0, *it)).c_str(), nullptr);
    return DirectoryExists(p);
  }
  bool RemoveFolder(const std::string& path) override {
    return RemoveDirectoryW(PathW(path).c_str()) != 0;
  }
  bool CopyFileNoOverwrite(const std::string& source, const std::string& target) override {
    return CopyFileW(PathW(source).c_str(), PathW(target).c_str(), TRUE) != 0;
  }
  bool Rename(const std::string& source, const std::string& target) override {
    return MoveFileW(PathW(source).c_str(), PathW(target).c_str()) != 0;
  }
  bool ReplaceFile(const std::string& source, const std::string& target) override {
    // Windows refuses to replace a read-only file; Wine does not, so the rule is kept here.
    const std::optional<uint32_t> existing = GetAttributes(target);
    if (existing && (*existing & FILE_ATTRIBUTE_READONLY)) return false;
    return MoveFileExW(PathW(source).c_str(), PathW(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
  bool DeleteFileAt(const std::string& path) override {
    return DeleteFileW(PathW(path).c_str()) != 0;
  }
  std::optional<DosDateTime> GetLastWriteTime(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(PathW(path).c_str(), GetFileExInfoStandard, &data)) {
      return std::nullopt;
    }
    DosDateTime d;
    if (!FileTimeToDos(data.ftLastWriteTime, d)) return std::nullopt;
    return d;
  }
  bool SetLastWriteTime(const std::string& path, DosDateTime time) override {
    win32::UniqueFileHandle h(CreateFileW(PathW(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h) return false;
    FILETIME ft;
    return DosToFileTime(time, ft) && SetFileTime(h.Get(), nullptr, nullptr, &ft);
  }
  std::unique_ptr<File> Open(const std::string& path, Access access, Share share,
                             Disposition disposition) override {
    DWORD desired = access == Access::kRead    ? GENERIC_READ
                    : access == Access::kWrite ? GENERIC_WRITE
                                               : GENERIC_READ | GENERIC_WRITE;
    DWORD sharing = 0;
    switch (share) {
      case Share::kExclusive:
        sharing = 0;
        break;
      case Share::kDenyWrite:
        sharing = FILE_SHARE_READ;
        break;
      case Share::kDenyRead:
        sharing = FILE_SHARE_WRITE;
        break;
      case Share::kDenyNone:
        sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
        break;
    }
    DWORD how = OPEN_EXISTING;
    switch (disposition) {
      case Disposition::kOpenExisting:
        how = OPEN_EXISTING;
        break;
      case Disposition::kCreateAlways:
        how = CREATE_ALWAYS;
        break;
      case Disposition::kCreateNew:
        how = CREATE_NEW;
        break;
      case Disposition::kOpenAlways:
        how = OPEN_ALWAYS;
        break;
    }
    win32::UniqueFileHandle h(CreateFileW(PathW(path).c_str(), desired, sharing, nullptr, how,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) Throw("cannot open", path, GetLastError());
    return std::make_unique<Win32File>(std::move(h), path);
  }
  std::string MakeTempFile(const std::string& folder, const std::string& prefix) override {
    // GetTempFileNameW's way ("<prefix>XXXX.tmp", four hex digits, created new), without its
    // MAX_PATH buffer, so that a folder of any length works.
    const std::string dir =
        IncludeTrailingBackslash(Windows(folder.empty() ? TempFolder() : folder));
    const std::string head = prefix.substr(0, 3);
    const unsigned start = GetTickCount();
    DWORD err = ERROR_FILE_EXISTS;
    for (unsigned attempt = 0; attempt < 0xFFFF; ++attempt) {
      const unsigned value = (start + attempt) % 0xFFFF + 1;
      std::string unique;
      for (int shift = 12; shift >= 0; shift -= 4)
        unique += "0123456789ABCDEF"[(value >> shift) & 15];
      const std::string name = dir + head + unique + ".tmp";
      HANDLE h = CreateFileW(PathW(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return name;
      }
      err = GetLastError();
      // A folder of that name answers "access denied"; anything else ends the search.
      if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS && err != ERROR_ACCESS_DENIED)
        break;
    }
    Throw("cannot create a temporary file in", dir, err);
  }
  std::string TempFolder() override {
    std::wstring buffer(MAX_PATH + 2, L'\0');
    while (true) {
      const DWORD n = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
      if (n == 0) return ".\\";
      if (n < buffer.size()) return IncludeTrailingBackslash(U(buffer.c_str(), n));
      buffer.assign(n + 1, L'\0');
    }
  }
  bool IsRemovableDrive(const std::string& path) override {
    const std::string full = FullPath(path);
    if (full.size() < 2 || full[1] != ':') return false;
    const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(full[0])));
    if (drive == 'A' || drive == 'B') return true;
    const std::wstring root = {static_cast<wchar_t>(drive), L':', L'\\'};
    return GetDriveTypeW(root.c_str()) == DRIVE_REMOVABLE;
  }
  uint64_t AvailablePhysicalMemory() override {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullAvailPhys : 0;
  }
  std::string ExecutablePath() override {
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
      const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n < buffer.size()) return U(buffer.c_str(), n);
      buffer.assign(buffer.size() * 2, L'\0');  // cut off: try a longer buffer
    }
  }
  std::string FullPath(const std::string& path) override {
    const std::wstring full = FullPathW(W(Windows(path)));
    return full.empty() ? path : U(full.c_str(), full.size());
  }
};

class Win32Registry : public Registry {
 public:
  StringValue ReadLocalMachineString(const std::string& key, const std::string& name) override {
    StringValue result;
    std::string k = key;
    while (!k.empty() && k.front() == '\\') k.erase(0, 1);
    win32::UniqueRegistryKey h;
    // Read access in the 32-bit view: the product's setup is a 32-bit program, and a standard
    // user cannot open an HKLM key with full access.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(k).c_str(), 0, KEY_READ | KEY_WOW64_32KEY, h.Put()) !=
        ERROR_SUCCESS) {
      h.Release();  // a failed open leaves no key to close
      return result;
    }
    result.key_opened = true;
    DWORD type = 0, size = 0;
    const std::wstring value_name = W(name);
    if (RegQueryValueExW(h.Get(), value_name.c_str(), nullptr, &type, nullptr, &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
      std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
      DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
      if (RegQueryValueExW(h.Get(), value_name.c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(buffer.data()), &got) == ERROR_SUCCESS) {
        result.value_present = true;
        result.value = U(buffer.c_str());
      }
    }
    return result;
  }
};

class MappingMarker : public RunningMarker {
 public:
  // The handle stays open until the program ends, whether the mapping was ours or not.
  State Create(const std::string& name) override {
    SetLastError(0);
    HANDLE h =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1024, W(name).c_str());
    const DWORD err = GetLastError();
    if (h == nullptr) {
      // Access denied means the object exists but belongs to someone else.
      return err == ERROR_ACCESS_DENIED ? State::kAccessDenied : State::kFailed;
    }
    handles_.push_back(h);
    return err == ERROR_ALREADY_EXISTS ? State::kAlreadyExists : State::kCreated;
  }

 private:
  std::vector<HANDLE> handles_;
};

class Win32VersionInfo : public VersionInfo {
 public:
  Strings Read(const std::string& path, const std::vector<std::string>& names) override {
    Strings out;
    out.values.resize(names.size());
    const std::wstring file = W(Windows(path));
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return out;
    std::string data(size, '\0');
    if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return out;
    out.has_resource = true;
    void* block = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &block, &length) ||
        length < 4) {
      return out;
    }
    out.has_translation = true;
    const auto* words = static_cast<const WORD*>(block);
    wchar_t prefix[64];
    swprintf(prefix, 64, L"\\StringFileInfo\\%04x%04x\\", words[0], words[1]);
    for (size_t i = 0; i < names.size(); ++i) {
      const std::wstring query = prefix + W(names[i]);
      void* value = nullptr;
      UINT chars = 0;
      if (VerQueryValueW(data.data(), query.c_str(), &value, &chars) && value) {
        out.values[i] = U(static_cast<const wchar_t*>(value));
      }
    }
    return out;
  }
};

class Win32Dialogs : public Dialogs {
 public:
  DialogResult ShowMessage(const std::string& text, const std::string& caption,
                           const std::vector<DialogResult>& buttons, MessageIcon icon,
                           DialogResult default_button) override {
    UINT type = 0;
    using R = DialogResult;
    auto is = [&](std::initializer_list<R> set) {
      return buttons.size() == set.size() &&
             std::equal(buttons.begin(), buttons.end(), set.begin());
    };
    if (is({R::kOk}) || buttons.empty()) {
      type = MB_OK;
    } else if (is({R::kOk, R::kCancel})) {
      type = MB_OKCANCEL;
    } else if (is({R::kYes, R::kNo})) {
      type = MB_YESNO;
    } else if (is({R::kYes, R::kNo, R::kCancel})) {
      type = MB_YESNOCANCEL;
    } else if (is({R::kAbort, R::kRetry, R::kIgnore})) {
      type = MB_ABORTRETRYIGNORE;
    } else if (is({R::kRetry, R::kCancel})) {
      type = MB_RETRYCANCEL;
    } else {
      return CustomButtons(text, caption, buttons, icon, default_button);
    }
    type |= IconFlag(icon);
    for (size_t i = 0; i < buttons.size() && i < 3; ++i) {
      if (buttons[i] == default_button) type |= i == 1 ? MB_DEFBUTTON2 : i == 2 ? MB_DEFBUTTON3 : 0;
    }
    const int r =
        MessageBoxW(GetActiveWindow(), W(text).c_str(), W(caption).c_str(), type | MB_TASKMODAL);
    switch (r) {
      case IDOK:
        return R::kOk;
      case IDCANCEL:
        return R::kCancel;
      case IDABORT:
        return R::kAbort;
      case IDRETRY:
        return R::kRetry;
      case IDIGNORE:
        return R::kIgnore;
      case IDYES:
        return R::kYes;
      case IDNO:
        return R::kNo;
      default:
        return R::kCancel;
    }
  }

  bool InputQuery(const std::string& caption, const std::string& prompt,
                  std::string& value) override;

 private:
  static UINT IconFlag(MessageIcon icon) {
    switch (icon) {
      case MessageIcon::kError:
        return MB_ICONERROR;
      case MessageIcon::kWarning:
        return MB_ICONWARNING;
      case MessageIcon::kQuestion:
        return MB_ICONQUESTION;
      case MessageIcon::kInformation:
        return MB_ICONINFORMATION;
      default:
        return 0;
    }
  }
  // Button sets a message box cannot show (Yes/No/No to all/Yes to all; Abort/Ignore) go through
  // a task dialog with buttons of our own.
  DialogResult CustomButtons(const std::string& text, const std::string& caption,
                             const std::vector<DialogResult>& buttons, MessageIcon icon,
                             DialogResult default_button);
};

std::wstring ButtonText(DialogResult r) {
  switch (r) {
    case DialogResult::kOk:
      return L"OK";
    case DialogResult::kCancel:
      return L"Отмена";
    case DialogResult::kAbort:
      return L"Прервать";
    case DialogResult::kRetry:
      return L"Повтор";
    case DialogResult::kIgnore:
      return L"Пропустить";
    case DialogResult::kYes:
      return L"Да";
    case DialogResult::kNo:
      return L"Нет";
    case DialogResult::kAll:
      return L"Все";
    case DialogResult::kNoToAll:
      return L"Нет для всех";
    case DialogResult::kYesToAll:
      return L"Да для всех";
    default:
      return L"?";
  }
}

using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

DialogResult Win32Dialogs::CustomButtons(const std::string& text, const std::string& caption,
                                         const std::vector<DialogResult>& buttons, MessageIcon icon,
                                         DialogResult default_button) {
  HMODULE comctl = LoadLibraryW(L"comctl32.dll");
  auto fn = comctl ? reinterpret_cast<TaskDialogIndirectFn>(
                         reinterpret_cast<void*>(GetProcAddress(comctl, "TaskDialogIndirect")))
                   : nullptr;
  const std::wstring wtext = W(text), wcaption = W(caption);
  if (fn) {
    std::vector<std::wstring> labels;
    std::vector<TASKDIALOG_BUTTON> defs;
    for (DialogResult b : buttons) labels.push_back(ButtonText(b));
    for (size_t i = 0; i < buttons.size(); ++i) {
      defs.push_back({static_cast<int>(100 + static_cast<int>(buttons[i])), labels[i].c_str()});
    }
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = GetActiveWindow();
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
    config.pszWindowTitle = wcaption.c_str();
    config.pszContent = wtext.c_str();
    config.pButtons = defs.data();
    config.cButtons = static_cast<UINT>(defs.size());
    if (default_button != DialogResult::kNone) {
      config.nDefaultButton = 100 + static_cast<int>(default_button);
    }
    if (icon == MessageIcon::kError) config.pszMainIcon = TD_ERROR_ICON;
    if (icon == MessageIcon::kWarning) config.pszMainIcon = TD_WARNING_ICON;
    if (icon == MessageIcon::kInformation) config.pszMainIcon = TD_INFORMATION_ICON;
    int pressed = 0;
    if (SUCCEEDED(fn(&config, &pressed, nullptr, nullptr))) {
      if (pressed >= 100) return static_cast<DialogResult>(pressed - 100);
      return DialogResult::kCancel;
    }
  }
  // No task dialogs (common controls 5): the nearest message box, read back to our buttons.
  const bool has_abort =
      std::find(buttons.begin(), buttons.end(), DialogResult::kAbort) != buttons.end();
  if (has_abort) {
    const int r = MessageBoxW(GetActiveWindow(), wtext.c_str(), wcaption.c_str(),
                              MB_ABORTRETRYIGNORE | IconFlag(icon) | MB_TASKMODAL);
    return r == IDIGNORE ? DialogResult::kIgnore : DialogResult::kAbort;
  }
  const int r = MessageBoxW(GetActiveWindow(), wtext.c_str(), wcaption.c_str(),
                            MB_YESNO | IconFlag(icon) | MB_TASKMODAL);
  return r == IDYES ? DialogResult::kYes : DialogResult::kNo;
}

// A small modal input box built from an in-memory dialog template.
struct InputState {
  std::wstring caption, prompt, value;
  bool ok = false;
};

INT_PTR CALLBACK InputProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* state = reinterpret_cast<InputState*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      state = reinterpret_cast<InputState*>(lp);
      SetWindowLongPtrW(dlg, DWLP_USER, lp);
      SetWindowTextW(dlg, state->caption.c_str());
      SetDlgItemTextW(dlg, 100, state->prompt.c_str());
      SetDlgItemTextW(dlg, 101, state->value.c_str());
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
        if (LOWORD(wp) == IDOK) {
          wchar_t buffer[1024];
          GetDlgItemTextW(dlg, 101, buffer, 1024);
          state->value = buffer;
          state->ok = true;
        }
        EndDialog(dlg, LOWORD(wp));
        return TRUE;
      }
      break;
  }
  return FALSE;
}

void AlignWord(std::vector<WORD>& t) {
  if (t.size() % 2) t.push_back(0);
}

void AddItem(std::vector<WORD>& t, DWORD style, short x, short y, short cx, short cy, WORD id,
             WORD cls, const wchar_t* text) {
  AlignWord(t);
  t.push_back(LOWORD(style));
  t.push_back(HIWORD(style));
  t.push_back(0);
  t.push_back(0);  // extended style
  t.push_back(x);
  t.push_back(y);
  t.push_back(cx);
  t.push_back(cy);
  t.push_back(id);
  t.push_back(0xFFFF);
  t.push_back(cls);
  for (const wchar_t* p = text; *p; ++p) t.push_back(*p);
  t.push_back(0);
  t.push_back(0);  // no creation data
}

bool Win32Dialogs::InputQuery(const std::string& caption, const std::string& prompt,
                              std::string& value) {
  InputState state{W(caption), W(prompt), W(value)};
  std::vector<WORD> t;
  const DWORD style = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
  t.push_back(LOWORD(style));
  t.push_back(HIWORD(style));
  t.push_back(0);
  t.push_back(0);
  t.push_back(4);  // items
  t.push_back(0);
  t.push_back(0);
  t.push_back(220);
  t.push_back(70);
  t.push_back(0);  // menu
  t.push_back(0);  // class
  t.push_back(0);  // title (set at init)
  t.push_back(8);
  for (const wchar_t* p = L"MS Shell Dlg"; *p; ++p) t.push_back(*p);
  t.push_back(0);
  AddItem(t, WS_CHILD | WS_VISIBLE, 7, 7, 206, 10, 100, 0x0082, L"");
  AddItem(t, WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, 7, 20,
          206, 12, 101, 0x0081, L"");
  AddItem(t, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 108, 46, 50, 14, IDOK, 0x0080,
          L"OK");
  AddItem(t, WS_CHILD | WS_VISIBLE | WS_TABSTOP, 163, 46, 50, 14, IDCANCEL, 0x0080, L"Отмена");
  DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<DLGTEMPLATE*>(t.data()),
                          GetActiveWindow(), InputProc, reinterpret_cast<LPARAM>(&state));
  if (state.ok) value = U(state.value.c_str());
  return state.ok;
}

class SystemClock : public Clock {
 public:
  LocalTime Now() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    t.day_of_week = st.wDayOfWeek;
    return t;
  }
};

}  // namespace

Services MakeSystemServices() {
  Services s;
  s.fs = std::make_unique<Win32FileSystem>();
  s.registry = std::make_unique<Win32Registry>();
  s.marker = std::make_unique<MappingMarker>();
  s.version = std::make_unique<Win32VersionInfo>();
  s.dialogs = std::make_unique<Win32Dialogs>();
  s.clock = std::make_unique<SystemClock>();
  return s;
}

}  // namespace tarvo::platform
