// Windows only: the owning handle types close what they hold, once.
#include "platform/win32/unique_handle.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tarvo::platform::win32 {
namespace {

std::wstring TempPath(const wchar_t* name) {
  wchar_t folder[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  return std::wstring(folder, n) + name;
}

// An exclusive open succeeds only when no other handle to the file is open.
UniqueFileHandle OpenExclusive(const std::wstring& path) {
  return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(UniqueHandle, ClosesTheFileWhenItLeavesScope) {
  const std::wstring path = TempPath(L"tarvo_unique_handle_test.tmp");
  {
    UniqueFileHandle first = OpenExclusive(path);
    ASSERT_TRUE(first);
    EXPECT_FALSE(OpenExclusive(path));
  }
  EXPECT_TRUE(OpenExclusive(path));
  DeleteFileW(path.c_str());
}

TEST(UniqueHandle, MovesOwnershipAndReleasesWithoutClosing) {
  const std::wstring path = TempPath(L"tarvo_unique_handle_move.tmp");
  UniqueFileHandle first = OpenExclusive(path);
  ASSERT_TRUE(first);
  UniqueFileHandle second = std::move(first);
  EXPECT_FALSE(first);
  EXPECT_TRUE(second);
  const HANDLE raw = second.Release();
  EXPECT_FALSE(second);
  EXPECT_FALSE(OpenExclusive(path));  // released, not closed
  EXPECT_TRUE(CloseHandle(raw));
  EXPECT_TRUE(OpenExclusive(path));
  DeleteFileW(path.c_str());
}

TEST(UniqueHandle, HoldsSearchesAndRegistryKeys) {
  WIN32_FIND_DATAW data;
  UniqueFindHandle none(FindFirstFileW(TempPath(L"tarvo_no_such_file_*.none").c_str(), &data));
  EXPECT_FALSE(none);
  UniqueRegistryKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, key.Put()), ERROR_SUCCESS);
  EXPECT_TRUE(key);
  key.Reset();
  EXPECT_FALSE(key);
}

}  // namespace
}  // namespace tarvo::platform::win32
