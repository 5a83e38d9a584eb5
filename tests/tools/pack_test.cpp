// tarvo-pack: a folder made from a description passes its own check, the installer's /check and a
// whole unattended installation; the check refuses, with the reason, what the installer would
// refuse.
#include "tools/pack.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/check_report.h"
#include "app/installer_program.h"
#include "app/product.h"
#include "app/switches.h"
#include "install/components.h"
#include "tests/app/fake_services.h"
#include "tests/app/recording_front_end.h"
#include "tests/archive/zip_test_util.h"
#include "text/codepage.h"
#include "tools/demo_database.h"

namespace tarvo::pack {
namespace {

using archive::testing::BuildZip;
using archive::testing::TestEntry;

const char kDescription[] =
    "[Update]\r\n"
    "Caption=Обновление Tarvo Estimate 7\r\n"
    "BeginText=Программа установит обновление 7.26.\r\n"
    "BackupText=Данные пользователя будут перенесены.\r\n"
    "Text=\"Старая база будет заменена \"\r\n"
    "CheckOpenedSm=0\r\n"
    "DBFilter=YEAR = '04'\r\n"
    "Installer=TarvoUpdate.exe\r\n"
    "[Component1]\r\nName=Нормативная база\r\nFile=Base.zip\r\nCheck=1\r\nEnabled=0\r\n"
    "Source=.\r\nMask=Base\\*.*\r\n"
    "[Component2]\r\nName=Программа\r\nFile=Prog.zip\r\nCheck=0\r\nSource=Prog\r\n"
    "[Backup]\r\nFileName=_Tarvo.zip\r\nFolder1=Base\r\n"
    "[Files]\r\nFile1=user\\*\r\n";

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::FileSystem& fs = *t.services.fs;
    stage = t.root + "Stage\\";
    update = t.root + "Update\\";
    product = t.root + "Tarvo\\";
    demo::DemoDatabaseOptions db;
    db.records = 30;
    db.users = 4;
    db.classifier_rows = 16;
    db.note_length = 20;
    demo::WriteDemoDatabase(fs, product + "Base\\", db);
    t.Write(product + "Base\\RES.bd", "");
    t.Write(product + "Tarvo7.exe", "MZ old");
    t.Write(product + "start7.exe", "MZ");
    db.new_database = true;
    db.users = 0;
    demo::WriteDemoDatabase(fs, stage + "Base\\", db);
    t.Write(stage + "Base\\RES.bd", "");
    demo::WriteUserDataTables(fs, stage + "user\\");
    t.Write(stage + "Prog\\Tarvo7.exe", "MZ new");
    t.Write(stage + "Prog\\Doc\\Что нового.txt", "7.26");
    t.Write(stage + "TarvoUpdate.exe", "MZ installer");
    t.Write(stage + "update.pack", kDescription);
    t.registry->keys[app::kUninstallKey]["InstallLocation"] = product;
    t.version->files[text::ToLowerUtf8(product + "Tarvo7.exe")] = {{"FileVersion", "7.2.5.0"},
                                                                   {"ProductVersion", "b"}};
  }

  void Pack() {
    const PackDescription d = ReadPackDescription(*t.services.fs, stage + "update.pack");
    PackUpdate(*t.services.fs, d, stage, update, install::ComponentPassword());
  }

  VerifyReport Verify(const std::string& password = install::ComponentPassword()) {
    return VerifyUpdate(*t.services.fs, update, password);
  }

  static std::string Problems(const VerifyReport& r) {
    std::string s;
    for (const std::string& p : r.problems) s += p + "\n";
    return s;
  }

  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& l : lines) {
      if (l == line) return true;
    }
    return false;
  }

  testing::TestServices t;
  std::string stage, update, product;
};

TEST_F(PackTest, APackedFolderVerifiesChecksAndInstalls) {
  Pack();
  const VerifyReport r = Verify();
  EXPECT_TRUE(r.ok()) << Problems(r);
  // Every value as meant, read as the installer reads it, quotes and blanks included.
  for (const char* line :
       {"Caption=Обновление Tarvo Estimate 7", "Text=Старая база будет заменена ",
        "ComponentCount=2", "CheckOpenedSm=0", "DBFilter=YEAR = '04'",
        "Component[1]=1,0,Base.zip,Нормативная база", "Component[2]=0,1,Prog.zip,Программа",
        "BackupCount=1", "BackupFileName=_Tarvo.zip", "BackupFolder[1]=Base",
        "Archive[2]=3 entries, sound", "UserTables=present"}) {
    EXPECT_TRUE(Has(r.lines, line)) << line;
  }
  // In code page 1251, as the installer's reader expects it.
  const std::string bytes = t.Read(update + "update6.ini");
  EXPECT_NE(bytes.find(text::Utf8ToCp1251("Нормативная база")), std::string::npos);

  std::ostringstream report;
  EXPECT_EQ(app::RunCheck(t.services, update, false, report), app::CheckExit::kCanStart)
      << report.str();

  tarvo::testing::RecordingFrontEnd window;
  EXPECT_EQ(app::RunInstallerProgram(
                t.services, update,
                {"/VERYSILENT", "/MODE=transfer", "/COMPONENTS=1,2", "/SUPPRESSMSGBOXES"}, window),
            app::kExitSuccess);
  EXPECT_TRUE(t.services.fs->FileExists(product + "Doc\\Что нового.txt"));
}

TEST_F(PackTest, VerifyGivesTheReasonForEachRefusal) {
  Pack();
  platform::FileSystem& fs = *t.services.fs;
  {
    const VerifyReport r = Verify("not the build's password");
    EXPECT_FALSE(r.ok());
    EXPECT_NE(Problems(r).find("component 1 (Base.zip)"), std::string::npos) << Problems(r);
  }
  // A damaged archive: a byte of the first entry's data changed.
  auto read = [&](const std::string& path) {
    auto file = fs.Open(path, platform::Access::kRead, platform::Share::kDenyNone,
                        platform::Disposition::kOpenExisting);
    std::string b(static_cast<size_t>(file->Size()), '\0');
    b.resize(file->Read(b.data(), b.size()));
    return b;
  };
  const std::string prog = read(update + "Prog.zip");
  std::string damaged = prog;
  damaged[30 + static_cast<uint8_t>(damaged[26]) + static_cast<uint8_t>(damaged[28]) + 14] ^= 1;
  t.Write(update + "Prog.zip", damaged);
  EXPECT_NE(Problems(Verify()).find("component 2 (Prog.zip)"), std::string::npos);
  // Cut short: it would open only through the repair scan.
  t.Write(update + "Prog.zip", prog.substr(0, prog.size() - 10));
  EXPECT_NE(Problems(Verify()).find("repair"), std::string::npos) << Problems(Verify());

  // Names the installer must not write.
  for (const std::string& name : {std::string("../x.txt"), std::string("/etc/x.txt"),
                                  std::string("C:/x.txt"), std::string("Doc/../../x.txt")}) {
    TestEntry e;
    e.name = name;
    e.data = "x";
    e.password = install::ComponentPassword();
    t.Write(update + "Prog.zip", BuildZip({e}));
    const std::string p = Problems(Verify());
    EXPECT_NE(p.find("component 2 (Prog.zip): the entry"), std::string::npos) << name << p;
  }
  // An entry not encrypted, and none at all.
  TestEntry plain;
  plain.name = "readme.txt";
  plain.data = "x";
  t.Write(update + "Prog.zip", BuildZip({plain}));
  EXPECT_NE(Problems(Verify()).find("not encrypted"), std::string::npos);
  t.Write(update + "Prog.zip", BuildZip({}));
  EXPECT_NE(Problems(Verify()).find("no entry"), std::string::npos);

  (void)fs.DeleteFileAt(update + "Prog.zip");
  const VerifyReport missing = Verify();
  EXPECT_NE(Problems(missing).find("component 2 (Prog.zip): the archive is missing"),
            std::string::npos);
  EXPECT_TRUE(Has(missing.lines, "Archive[2]=missing"));
  (void)fs.DeleteFileAt(update + "update6.ini");
  EXPECT_FALSE(Verify().ok());
}

TEST_F(PackTest, DescriptionsThatCannotBeShippedAreRefused) {
  auto refused = [&](const std::string& description, const std::string& why) {
    t.Write(stage + "update.pack", description);
    try {
      Pack();
      ADD_FAILURE() << "packed: " << description;
    } catch (const PackError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
    t.RemoveTree(update);
  };
  const std::string base =
      "[Update]\r\nInstaller=TarvoUpdate.exe\r\n[Backup]\r\nFolder1=Base\r\n"
      "[Component1]\r\nFile=Base.zip\r\nSource=.\r\nMask=Base\\*.*\r\n";
  refused(base + "[Component2]\r\nFile=Base.zip\r\nSource=.\r\n", "named twice");
  refused(base + "[Component2]\r\nFile=..\\x.zip\r\nSource=.\r\n", "plain file name");
  refused(base + "[Component2]\r\nFile=None.zip\r\nSource=.\r\nMask=Nothing\\*.*\r\n",
          "matches no file");
  refused("[Update]\r\nCaption=日本\r\n" + base.substr(10), "code page 1251");
  refused("[Update]\r\n[Backup]\r\nFolder1=..\\Base\r\n[Component1]\r\nFile=a.zip\r\nSource=.\r\n",
          "Folder1");
  refused("[Update]\r\n[Backup]\r\nFolder1=Base\r\n", "no [Component1]");
  // A folder that is not empty is not written into.
  t.Write(update + "old.txt", "x");
  t.Write(stage + "update.pack", kDescription);
  EXPECT_THROW(Pack(), PackError);
}

}  // namespace
}  // namespace tarvo::pack
