#include "app/update_description.h"

#include <gtest/gtest.h>

#include "app/product.h"
#include "tests/app/fake_services.h"

namespace tarvo::app {
namespace {

class DescriptionTest : public ::testing::Test {
 protected:
  DescriptionReadResult Read(const std::string& ini) {
    env_.WriteAnsi(env_.root + "update6.ini", ini);
    return ReadUpdateDescription(*env_.services.fs, env_.dialogs, env_.root);
  }
  testing::TestServices env_;
};

TEST(ProductIdentity, NamesFormedFromTheGeneration) {
  EXPECT_EQ(ProductName(), "Tarvo Estimate 7");
  EXPECT_EQ(ProductExeName(), "Tarvo7.exe");
  EXPECT_EQ(RequiredVersion(), "7.25b");
}

TEST_F(DescriptionTest, FullDescriptionIsReadInOrder) {
  env_.Write(env_.root + "base.zip", "zip");
  env_.Write(env_.root + "prog.zip", "zip");
  const auto r = Read(
      "[Info]\r\nCaption=Обновление 7.26\r\nBeginText=Добро пожаловать\r\nBackupText=Перенос\r\n"
      "Text=Замена\r\nComponentCount=2\r\nCheckOpenedSm=0\r\nDBFilter=[USER]=1\r\n"
      "Version=9.99z\r\n"
      "[Component1]\r\nName1=База данных\r\nCheck1=1\r\nEnabled1=0\r\nFile1=base.zip\r\n"
      "[Component2]\r\nName2=Программа\r\nCheck2=0\r\nEnabled2=1\r\nFile2=prog.zip\r\n"
      "[Backup]\r\nBackupCount=2\r\nBackupFileName=Tarvo\r\nBackup_Dir1=Base\r\n"
      "Backup_Dir2=Base\\Arhiv\r\n");
  const UpdateDescription& d = r.description;
  EXPECT_EQ(d.Caption, "Обновление 7.26");
  EXPECT_EQ(d.BeginText, "Добро пожаловать");
  EXPECT_EQ(d.BackupText, "Перенос");
  EXPECT_EQ(d.Text, "Замена");
  EXPECT_EQ(d.ComponentCount, 2);
  EXPECT_FALSE(d.CheckOpenedSm);
  EXPECT_EQ(d.DBFilter, "[USER]=1");
  ASSERT_EQ(d.Components.size(), 2u);
  EXPECT_EQ(d.Components[0].Name, "База данных");
  EXPECT_TRUE(d.Components[0].Check);
  EXPECT_FALSE(d.Components[0].Enabled);
  EXPECT_EQ(d.Components[1].File, "prog.zip");
  EXPECT_TRUE(d.Components[1].Enabled);
  EXPECT_EQ(d.BackupCount, 2);
  EXPECT_EQ(d.BackupFileName, "Tarvo");
  EXPECT_EQ(d.BackupFolders[0], "Base");
  EXPECT_EQ(d.BackupFolders[1], "Base\\Arhiv");
  EXPECT_EQ(d.BackupFolders.size(), 24u);
  EXPECT_FALSE(r.ComponentFileMissing);
  EXPECT_TRUE(env_.dialogs->shown().empty());
  // A Version key never changes what the update requires.
  EXPECT_EQ(RequiredVersion(), "7.25b");
}

TEST_F(DescriptionTest, MissingCountReadsOneComponentAndEmptyFileCountsAsMissing) {
  const auto r = Read(
      "[Info]\r\nCaption=x\r\n[Component1]\r\nName1=Один\r\n"
      "[Component2]\r\nName2=Два\r\n");
  EXPECT_EQ(r.description.ComponentCount, 1);
  ASSERT_EQ(r.description.Components.size(), 1u);
  EXPECT_EQ(r.description.Components[0].Name, "Один");
  EXPECT_FALSE(r.description.Components[0].Enabled);  // a missing Enabled greys the row
  // An empty File names the installer folder itself, which is not a file.
  EXPECT_TRUE(r.ComponentFileMissing);
  ASSERT_EQ(env_.dialogs->shown().size(), 1u);
  EXPECT_EQ(env_.dialogs->shown()[0].text, "Файл [] не найден!");
  EXPECT_EQ(env_.dialogs->shown()[0].caption, "Ошибка!");
}

TEST_F(DescriptionTest, ZeroAndNegativeCountsReadNoComponent) {
  for (const char* count : {"0", "-3"}) {
    const auto r = Read(std::string("[Info]\r\nComponentCount=") + count +
                        "\r\n[Component1]\r\nName1=x\r\nFile1=missing.zip\r\n");
    EXPECT_TRUE(r.description.Components.empty()) << count;
    EXPECT_FALSE(r.ComponentFileMissing) << count;
  }
  EXPECT_TRUE(env_.dialogs->shown().empty());
}

TEST_F(DescriptionTest, BooleanAndIntegerForms) {
  env_.Write(env_.root + "a.zip", "");
  const auto r = Read(
      "[Info]\r\nComponentCount=0x3\r\nCheckOpenedSm=0x0\r\n"
      "[Component1]\r\nCheck1=2\r\nEnabled1=$1\r\nFile1=a.zip\r\n"
      "[Component2]\r\nCheck2=-1\r\nFile2=a.zip\r\n"
      "[Component3]\r\nCheck3=yes\r\nEnabled3=yes\r\nFile3=A.ZIP\r\n");
  const auto& c = r.description.Components;
  ASSERT_EQ(c.size(), 3u);
  EXPECT_TRUE(c[0].Check);
  EXPECT_TRUE(c[0].Enabled);
  EXPECT_TRUE(c[1].Check);
  EXPECT_FALSE(c[2].Check);
  EXPECT_FALSE(c[2].Enabled);
  EXPECT_FALSE(r.description.CheckOpenedSm);
  EXPECT_FALSE(r.ComponentFileMissing);  // file names ignore letter case
  const auto on = Read("[Info]\r\nComponentCount=0\r\nCheckOpenedSm=$1\r\n");
  EXPECT_TRUE(on.description.CheckOpenedSm);
}

TEST_F(DescriptionTest, EveryMissingArchiveIsReportedOnceInListOrder) {
  env_.Write(env_.root + "b.zip", "");
  const auto r = Read(
      "[Info]\r\nComponentCount=3\r\n[Component1]\r\nFile1=a.zip\r\n"
      "[Component2]\r\nFile2=b.zip\r\n[Component3]\r\nFile3=c.zip\r\n");
  EXPECT_TRUE(r.ComponentFileMissing);
  ASSERT_EQ(env_.dialogs->shown().size(), 2u);
  EXPECT_EQ(env_.dialogs->shown()[0].text, "Файл [a.zip] не найден!");
  EXPECT_EQ(env_.dialogs->shown()[1].text, "Файл [c.zip] не найден!");
  EXPECT_EQ(r.description.Components.size(), 3u);
}

TEST_F(DescriptionTest, BackupFolderCounts) {
  const auto none = Read(
      "[Info]\r\nComponentCount=0\r\n[Backup]\r\nBackupCount=0\r\n"
      "Backup_Dir1=Base\r\n");
  EXPECT_EQ(none.description.BackupFolders[0], "");
  EXPECT_EQ(none.description.BackupFolders.size(), 24u);

  const auto by_default = Read(
      "[Info]\r\nComponentCount=0\r\n[Backup]\r\nBackup_Dir1=Base\r\n"
      "Backup_Dir2=Other\r\n");
  EXPECT_EQ(by_default.description.BackupCount, 1);
  EXPECT_EQ(by_default.description.BackupFolders[0], "Base");
  EXPECT_EQ(by_default.description.BackupFolders[1], "");

  std::string many = "[Info]\r\nComponentCount=0\r\n[Backup]\r\nBackupCount=30\r\n";
  for (int i = 1; i <= 30; ++i)
    many += "Backup_Dir" + std::to_string(i) + "=F" + std::to_string(i) + "\r\n";
  const auto wide = Read(many);
  ASSERT_EQ(wide.description.BackupFolders.size(), 30u);
  EXPECT_EQ(wide.description.BackupFolders[29], "F30");
}

TEST_F(DescriptionTest, AbsentFileReadsAsDefaults) {
  const auto r = ReadUpdateDescription(*env_.services.fs, env_.dialogs, env_.root + "none\\");
  EXPECT_EQ(r.description.ComponentCount, 1);
  EXPECT_TRUE(r.description.CheckOpenedSm);
  EXPECT_EQ(r.description.BackupCount, 1);
  EXPECT_EQ(r.description.Components.size(), 1u);
}

TEST_F(DescriptionTest, StartIniOverride) {
  EXPECT_EQ(ReadBackupDirOverride(*env_.services.fs, env_.root), "");
  env_.WriteAnsi(env_.root + "Start.ini", "[Backup]\r\nBackup_dir=D:\\Архив\\\r\n");
  EXPECT_EQ(ReadBackupDirOverride(*env_.services.fs, env_.root), "D:\\Архив\\");
}

}  // namespace
}  // namespace tarvo::app
