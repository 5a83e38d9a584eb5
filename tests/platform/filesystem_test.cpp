// The file functions as the engines rely on them, on Windows and on the POSIX stand-ins alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/auto_dialogs.h"
#include "platform/path.h"
#include "platform/services.h"

namespace tarvo::platform {
namespace {

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_ = MakeSystemServices();
    fs_ = services_.fs.get();
    const std::string temp = fs_->MakeTempFile("", "FST");
    (void)fs_->DeleteFileAt(temp);
    root_ = temp + ".d\\";
    ASSERT_TRUE(fs_->CreateDirectories(root_ + "Sub\\Deeper"));
  }
  void TearDown() override { RemoveTree(root_); }

  void RemoveTree(const std::string& folder) {
    for (const DirEntry& e : fs_->List(folder, "*")) {
      if (e.name == "." || e.name == "..") continue;
      const std::string path = folder + e.name;
      if (e.attributes & kAttrDirectory) {
        RemoveTree(path + "\\");
      } else {
        (void)fs_->SetAttributes(path, kAttrNormal);
        (void)fs_->DeleteFileAt(path);
      }
    }
    (void)fs_->RemoveFolder(folder);
  }

  void Write(const std::string& path, const std::string& bytes) {
    auto f = fs_->Open(path, Access::kWrite, Share::kDenyWrite, Disposition::kCreateAlways);
    f->Write(bytes.data(), bytes.size());
    f->Close();
  }

  std::string Read(const std::string& path) {
    auto f = fs_->Open(path, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
    std::string s(static_cast<size_t>(f->Size()), '\0');
    s.resize(f->Read(s.data(), s.size()));
    return s;
  }

  Services services_;
  FileSystem* fs_ = nullptr;
  std::string root_;
};

TEST_F(FileSystemTest, FoldersAreMadeDeepRelativeAndPastMaxPath) {
  // Relative to the current folder, with one-letter names.
  const std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::path(fs_->FullPath(root_)));
  EXPECT_TRUE(fs_->CreateDirectories("a\\b\\c"));
  std::filesystem::current_path(was);
  EXPECT_TRUE(fs_->DirectoryExists(root_ + "a\\b\\c"));
  // A path longer than MAX_PATH, and a file with a temporary name at its end.
  std::string deep = root_;
  for (int i = 0; i < 12; ++i) deep += "Folder with a long name " + std::to_string(i) + "\\";
  ASSERT_GT(deep.size(), 260u);
  EXPECT_TRUE(fs_->CreateDirectories(deep));
  const std::string temp = fs_->MakeTempFile(deep, "FC");
  EXPECT_EQ(ExtractFilePath(temp).size(), IncludeTrailingBackslash(deep).size());
  EXPECT_EQ(ExtractFileName(temp).size(), std::string("FC0000.tmp").size()) << temp;
  EXPECT_TRUE(fs_->FileExists(temp));
  Write(temp, "x");
  EXPECT_TRUE(fs_->ReplaceFile(temp, deep + "file.txt"));
  EXPECT_EQ(Read(deep + "file.txt"), "x");
}

TEST_F(FileSystemTest, NamesIgnoreCaseAndTakeBackslashes) {
  Write(root_ + "Sub\\Kl_spr.db", "data");
  EXPECT_TRUE(fs_->FileExists(root_ + "SUB\\KL_SPR.DB"));
  EXPECT_TRUE(fs_->FileExists(root_ + "sub/kl_spr.db"));
  EXPECT_EQ(Read(root_ + "sub\\KL_spr.DB"), "data");
  EXPECT_FALSE(fs_->FileExists(root_ + "Sub"));  // a folder is not a file
  EXPECT_TRUE(fs_->DirectoryExists(root_ + "sub\\DEEPER"));
  EXPECT_FALSE(fs_->FileExists(root_ + "Sub\\"));
  EXPECT_FALSE(fs_->FileExists(""));
}

TEST_F(FileSystemTest, NamesCreatedElsewhereAreFoundInAnyCase) {
  for (int i = 0; i < 50; ++i) Write(root_ + "File" + std::to_string(i) + ".dat", "x");
  EXPECT_TRUE(fs_->FileExists(root_ + "FILE7.DAT"));
  EXPECT_FALSE(fs_->FileExists(root_ + "Other.txt"));
  // Made behind the platform layer's back, right after its last look at the folder.
  std::string outside = root_ + "OTHER.TXT";
#ifndef _WIN32
  for (char& c : outside) {
    if (c == '\\') c = '/';
  }
#endif
  { std::ofstream(outside) << "y"; }
  EXPECT_TRUE(fs_->FileExists(root_ + "other.txt"));
  EXPECT_TRUE(fs_->DeleteFileAt(root_ + "file7.dat"));
  EXPECT_FALSE(fs_->FileExists(root_ + "File7.dat"));
  Write(root_ + "file7.DAT", "z");
  EXPECT_EQ(Read(root_ + "FILE7.dat"), "z");
}

TEST_F(FileSystemTest, ListingShowsDotEntriesAndFiltersByPattern) {
  Write(root_ + "a.db", "1");
  Write(root_ + "b.txt", "22");
  std::vector<std::string> names;
  for (const DirEntry& e : fs_->List(root_, "*")) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "Sub", "a.db", "b.txt"}));
  const auto dbs = fs_->List(root_, "*.DB");
  ASSERT_EQ(dbs.size(), 1u);
  EXPECT_EQ(dbs[0].size, 1u);
  EXPECT_EQ(dbs[0].attributes & kAttrDirectory, 0u);
  EXPECT_THROW(fs_->List(root_ + "missing\\", "*"), PlatformError);
}

TEST_F(FileSystemTest, CopyNeverOverwritesAndRenameNeverReplaces) {
  Write(root_ + "src.zip", "new");
  Write(root_ + "dst.zip", "old");
  EXPECT_FALSE(fs_->CopyFileNoOverwrite(root_ + "src.zip", root_ + "dst.zip"));
  EXPECT_EQ(Read(root_ + "dst.zip"), "old");
  EXPECT_TRUE(fs_->CopyFileNoOverwrite(root_ + "SRC.zip", root_ + "copy.zip"));
  EXPECT_EQ(Read(root_ + "copy.zip"), "new");
  EXPECT_FALSE(fs_->Rename(root_ + "src.zip", root_ + "dst.zip"));
  EXPECT_TRUE(fs_->Rename(root_ + "src.zip", root_ + "_src.zip"));
  EXPECT_FALSE(fs_->FileExists(root_ + "src.zip"));
  EXPECT_TRUE(fs_->DeleteFileAt(root_ + "_src.zip"));
  EXPECT_FALSE(fs_->DeleteFileAt(root_ + "_src.zip"));
}

TEST_F(FileSystemTest, ReplaceFileTakesTheTargetsPlaceInOneStep) {
  Write(root_ + "new.exe", "new");
  Write(root_ + "Tarvo7.exe", "old");
  EXPECT_TRUE(fs_->ReplaceFile(root_ + "NEW.exe", root_ + "tarvo7.EXE"));
  EXPECT_FALSE(fs_->FileExists(root_ + "new.exe"));
  EXPECT_EQ(Read(root_ + "Tarvo7.exe"), "new");
  // A missing target is simply created; a missing source or a read-only target changes nothing.
  Write(root_ + "a.tmp", "a");
  EXPECT_TRUE(fs_->ReplaceFile(root_ + "a.tmp", root_ + "fresh.txt"));
  EXPECT_EQ(Read(root_ + "fresh.txt"), "a");
  EXPECT_FALSE(fs_->ReplaceFile(root_ + "gone.tmp", root_ + "fresh.txt"));
  EXPECT_EQ(Read(root_ + "fresh.txt"), "a");
  Write(root_ + "b.tmp", "b");
  ASSERT_TRUE(fs_->SetAttributes(root_ + "fresh.txt", kAttrReadOnly));
  EXPECT_FALSE(fs_->ReplaceFile(root_ + "b.tmp", root_ + "fresh.txt"));
  EXPECT_EQ(Read(root_ + "fresh.txt"), "a");
  EXPECT_TRUE(fs_->FileExists(root_ + "b.tmp"));
  EXPECT_FALSE(fs_->ReplaceFile(root_ + "b.tmp", root_ + "Sub"));
}

TEST_F(FileSystemTest, ReadOnlyFilesResistWritesAndDeletes) {
  Write(root_ + "ro.txt", "keep");
  ASSERT_TRUE(fs_->SetAttributes(root_ + "ro.txt", kAttrReadOnly | kAttrArchive));
  EXPECT_TRUE(*fs_->GetAttributes(root_ + "ro.txt") & kAttrReadOnly);
  EXPECT_FALSE(fs_->DeleteFileAt(root_ + "ro.txt"));
#ifndef _WIN32
  // Windows refuses this itself; Wine running as root does not, so only the stand-in is held to it.
  EXPECT_THROW(
      fs_->Open(root_ + "ro.txt", Access::kWrite, Share::kDenyWrite, Disposition::kOpenExisting),
      PlatformError);
#endif
  ASSERT_TRUE(fs_->SetAttributes(root_ + "ro.txt", kAttrNormal));
  EXPECT_TRUE(fs_->DeleteFileAt(root_ + "ro.txt"));
  EXPECT_EQ(*fs_->GetAttributes(root_ + "Sub") & kAttrDirectory, kAttrDirectory);
}

TEST_F(FileSystemTest, LastWriteTimeRoundTripsInDosForm) {
  Write(root_ + "t.bin", "x");
  LocalTime t;
  t.year = 2004;
  t.month = 2;
  t.day = 29;
  t.hour = 13;
  t.minute = 45;
  t.second = 58;
  const DosDateTime dos = ToDosDateTime(t);
  ASSERT_TRUE(fs_->SetLastWriteTime(root_ + "t.bin", dos));
  EXPECT_EQ(fs_->GetLastWriteTime(root_ + "t.bin"), dos);

  auto f =
      fs_->Open(root_ + "t.bin", Access::kReadWrite, Share::kExclusive, Disposition::kOpenExisting);
  t.year = 2020;
  const DosDateTime later = ToDosDateTime(t);
  f->SetLastWriteTime(later);
  f->Close();
  EXPECT_EQ(fs_->GetLastWriteTime(root_ + "t.bin"), later);
}

TEST_F(FileSystemTest, FilesSeekTruncateAndRefuseAnExclusiveHolder) {
  auto f =
      fs_->Open(root_ + "f.bin", Access::kReadWrite, Share::kExclusive, Disposition::kCreateNew);
  f->Write("0123456789", 10);
  f->Seek(4);
  f->Truncate();
  EXPECT_EQ(f->Size(), 4u);
  f->Seek(1);
  char two[2];
  EXPECT_EQ(f->Read(two, 2), 2u);
  EXPECT_EQ(std::string(two, 2), "12");
  EXPECT_EQ(f->Read(two, 2), 1u);
  try {
    fs_->Open(root_ + "f.bin", Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
    ADD_FAILURE() << "an exclusively held file opened";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.code(), kErrorSharingViolation);
  }
  f->Close();
  EXPECT_THROW(fs_->Open(root_ + "f.bin", Access::kRead, Share::kDenyNone, Disposition::kCreateNew),
               PlatformError);
  EXPECT_THROW(
      fs_->Open(root_ + "none.bin", Access::kRead, Share::kDenyNone, Disposition::kOpenExisting),
      PlatformError);
}

TEST_F(FileSystemTest, TemporaryFilesAreNewAndCarryThePrefix) {
  const std::string a = fs_->MakeTempFile(root_, "FC");
  const std::string b = fs_->MakeTempFile(root_, "FC");
  EXPECT_NE(a, b);
  EXPECT_TRUE(fs_->FileExists(a));
  EXPECT_EQ(ExtractFileName(a).substr(0, 2), "FC");
  EXPECT_EQ(ExtractFileExt(a), ".tmp");
  EXPECT_THROW(fs_->MakeTempFile(root_ + "missing\\", "FC"), PlatformError);
  EXPECT_GT(fs_->AvailablePhysicalMemory(), 0u);
  EXPECT_FALSE(fs_->IsRemovableDrive(root_));
}

TEST_F(FileSystemTest, PartsPastWhatExistsAsWrittenAreFoundInAnyCase) {
  Write(root_ + "Sub\\Deeper\\Note.txt", "n");
  EXPECT_TRUE(fs_->FileExists(root_ + "SUB\\deeper\\NOTE.TXT"));
  EXPECT_TRUE(fs_->FileExists(root_ + "Sub\\Deeper\\note.txt"));
  EXPECT_TRUE(fs_->DirectoryExists(root_ + "sub\\DEEPER\\"));
  // Missing folders below a folder named in another case go into that folder, not beside it.
  EXPECT_TRUE(fs_->CreateDirectories(root_ + "sub\\DEEPER\\New\\Newer"));
  EXPECT_TRUE(fs_->DirectoryExists(root_ + "Sub\\Deeper\\new\\NEWER"));
  Write(root_ + "SUB\\deeper\\NEW\\x.txt", "x");
  EXPECT_EQ(Read(root_ + "Sub\\Deeper\\New\\X.TXT"), "x");
  auto names = [&](const std::string& folder) {
    std::vector<std::string> out;
    for (const DirEntry& e : fs_->List(folder, "*")) out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(names(root_), (std::vector<std::string>{".", "..", "Sub"}));
  EXPECT_EQ(names(root_ + "Sub\\Deeper\\"),
            (std::vector<std::string>{".", "..", "New", "Note.txt"}));
  // A file is no folder, whatever follows it.
  EXPECT_FALSE(fs_->FileExists(root_ + "Sub\\Deeper\\Note.txt\\x"));
  EXPECT_FALSE(fs_->DirectoryExists(root_ + "sub\\deeper\\note.txt\\"));
  EXPECT_FALSE(fs_->FileExists(root_ + "Missing\\Deeper\\Note.txt"));
}

TEST_F(FileSystemTest, TemporaryFileOpenedInOneStepReplacesLaterFlushed) {
  auto [name, file] = fs_->CreateTempFile(root_ + "Sub\\", "FC");
  ASSERT_TRUE(file);
  EXPECT_EQ(ExtractFileName(name).substr(0, 2), "FC");
  EXPECT_EQ(ExtractFileExt(name), ".tmp");
  EXPECT_EQ(ExtractFilePath(name).size(), (root_ + "Sub\\").size());
  file->Write("new", 3);
  // Held exclusively while it is being written.
  EXPECT_THROW(fs_->Open(name, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting),
               PlatformError);
  file->Close();
  Write(root_ + "Sub\\Target.txt", "old");
  EXPECT_TRUE(fs_->ReplaceFileUnflushed(name, root_ + "SUB\\target.TXT"));
  EXPECT_FALSE(fs_->FileExists(name));
  EXPECT_EQ(Read(root_ + "Sub\\Target.txt"), "new");
  EXPECT_TRUE(fs_->FlushFolder(root_ + "sub\\"));
  // The same refusals as ReplaceFile: a missing source, a read-only target, a folder.
  EXPECT_FALSE(fs_->ReplaceFileUnflushed(name, root_ + "Sub\\Target.txt"));
  Write(root_ + "b.tmp", "b");
  ASSERT_TRUE(fs_->SetAttributes(root_ + "Sub\\Target.txt", kAttrReadOnly));
  EXPECT_FALSE(fs_->ReplaceFileUnflushed(root_ + "b.tmp", root_ + "Sub\\Target.txt"));
  EXPECT_EQ(Read(root_ + "Sub\\Target.txt"), "new");
  EXPECT_FALSE(fs_->ReplaceFileUnflushed(root_ + "b.tmp", root_ + "Sub"));
  EXPECT_TRUE(fs_->FileExists(root_ + "b.tmp"));
  EXPECT_THROW(fs_->CreateTempFile(root_ + "missing\\", "FC"), PlatformError);
}

TEST(DosTime, ConversionsAndWeekday) {
  LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 9;
  t.hour = 23;
  t.minute = 59;
  t.second = 59;
  const LocalTime back = FromDosDateTime(ToDosDateTime(t));
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.day, 9);
  EXPECT_EQ(back.second, 58);      // two-second steps
  EXPECT_EQ(back.day_of_week, 3);  // a Wednesday
  EXPECT_EQ(ToDosDateTime(LocalTime{}).date, 0x21);
}

TEST(Path, Parts) {
  EXPECT_EQ(ExtractFilePath("C:\\Tarvo\\Base\\Kl_spr.db"), "C:\\Tarvo\\Base\\");
  EXPECT_EQ(ExtractFileName("C:\\Tarvo\\Base\\Kl_spr.db"), "Kl_spr.db");
  EXPECT_EQ(ExtractFileExt("a\\b.c\\name"), "");
  EXPECT_EQ(ExtractFileExt("name.tar.gz"), ".gz");
  EXPECT_EQ(IncludeTrailingBackslash("C:\\x"), "C:\\x\\");
  EXPECT_EQ(IncludeTrailingBackslash("C:\\x\\"), "C:\\x\\");
  EXPECT_EQ(ExcludeTrailingBackslash("C:\\x\\\\"), "C:\\x");
  EXPECT_TRUE(IsAbsolutePath("D:\\x"));
  EXPECT_TRUE(IsAbsolutePath("\\\\server\\share"));
  EXPECT_FALSE(IsAbsolutePath("Backup\\x"));
}

TEST(AutoDialogs, QueuedAnswersThenDefaults) {
  AutoDialogs d;
  d.QueueAnswer(DialogResult::kRetry);
  const std::vector<DialogResult> ari = {DialogResult::kAbort, DialogResult::kRetry,
                                         DialogResult::kIgnore};
  EXPECT_EQ(d.ShowMessage("t", "c", ari, MessageIcon::kError), DialogResult::kRetry);
  EXPECT_EQ(d.ShowMessage("t", "c", ari, MessageIcon::kError), DialogResult::kAbort);
  EXPECT_EQ(d.ShowMessage("t", "c", {DialogResult::kYes, DialogResult::kNo}, MessageIcon::kNone,
                          DialogResult::kNo),
            DialogResult::kNo);
  EXPECT_EQ(d.ShowMessage("t", "c", {DialogResult::kOk}, MessageIcon::kNone), DialogResult::kOk);
  std::string value = "old";
  EXPECT_FALSE(d.InputQuery("c", "p", value));
  EXPECT_EQ(value, "old");
  d.QueueInput("secret");
  EXPECT_TRUE(d.InputQuery("c", "p", value));
  EXPECT_EQ(value, "secret");
  EXPECT_EQ(d.shown().size(), 6u);
}

}  // namespace
}  // namespace tarvo::platform
