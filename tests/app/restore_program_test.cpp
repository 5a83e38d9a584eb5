// TarvoUpdate.exe /RESTORE as an administrator runs it: from a folder without an update, with the
// switches of unattended runs, the exit codes, the log and the boxes.
#include "app/restore_program.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/installer_program.h"
#include "app/product.h"
#include "app/switches.h"
#include "install/restore.h"
#include "tests/app/fake_services.h"
#include "tests/app/recording_front_end.h"
#include "tests/archive/zip_test_util.h"
#include "text/codepage.h"

namespace tarvo::app {
namespace {

using archive::testing::BuildZip;
using archive::testing::TestEntry;

const char kOlder[] = "Архив от 30.11.2026 г. [18-00]Tarvo";
const char kNewest[] = "Архив от 01.12.2026 г. [09-30]Tarvo";

class RestoreProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    product = t.root + "Tarvo\\";
    elsewhere = t.root + "Anywhere\\";
    (void)t.services.fs->CreateDirectories(elsewhere);
    t.Write(product + "Tarvo7.exe", "MZ");
    t.Write(product + "start7.exe", "MZ");
    (void)t.services.fs->CreateDirectories(product + "Edit\\Smeta_1");
    t.registry->keys[kUninstallKey]["InstallLocation"] = product;
    Archive(kOlder, {{"Base/Base8491.DB", "the oldest"}});
    Archive(kNewest, {{"Base/Base8491.DB", "as backed up"}, {"Base/RES.bd", ""}});
    t.Write(product + "Base\\Base8491.DB", "after a bad update");
    t.Write(product + "Base\\Extra.db", "left by the update");
  }

  void Archive(const std::string& name, const std::map<std::string, std::string>& files) {
    std::vector<TestEntry> entries;
    for (const auto& [n, data] : files) {
      TestEntry e;
      e.name = n;
      e.data = data;
      entries.push_back(e);
    }
    t.Write(product + "Backup\\" + name, BuildZip(entries));
  }

  std::string Read(const std::string& path) {
    return t.services.fs->FileExists(path) ? t.Read(path) : "(missing)";
  }

  int Run(const std::vector<std::string>& args) {
    return RunInstallerProgram(t.services, elsewhere, args, front_end);
  }

  bool Unchanged() {
    return Read(product + "Base\\Base8491.DB") == "after a bad update" &&
           Read(product + "Base\\Extra.db") == "left by the update";
  }

  testing::TestServices t;
  testing::RecordingFrontEnd front_end;
  std::string product, elsewhere;
};

TEST_F(RestoreProgramTest, VerySilentRestoresTheNewestFromAnyFolderAndLogsIt) {
  const std::string log = t.root + "restore.log";
  EXPECT_EQ(Run({"/RESTORE", "/VERYSILENT", "/SUPPRESSMSGBOXES", "/LOG=" + log}), kRestoreDone);
  EXPECT_EQ(Read(product + "Base\\Base8491.DB"), "as backed up");
  EXPECT_EQ(Read(product + "Base\\RES.bd"), "");
  EXPECT_EQ(Read(product + "Base\\Extra.db"), "(missing)");
  EXPECT_TRUE(t.dialogs->shown().empty());
  EXPECT_EQ(front_end.windows, 0);
  const std::string text = Read(log);
  EXPECT_NE(text.find("The database was restored from"), std::string::npos) << text;
  EXPECT_NE(text.find(kNewest), std::string::npos);
  EXPECT_NE(text.find("Exit code 0: done"), std::string::npos) << text;

  // The list now starts with the safety backup, and a second /RESTORE puts the database back
  // as the first one found it.
  front_end.printed.clear();
  EXPECT_EQ(Run({"/RESTORE=list"}), kRestoreDone);
  const size_t safety = front_end.printed.find("до восстановления.zip");
  ASSERT_NE(safety, std::string::npos) << front_end.printed;
  EXPECT_LT(safety, front_end.printed.find(kNewest));
  EXPECT_EQ(Run({"/VERYSILENT", "/RESTORE"}), kRestoreDone);
  EXPECT_TRUE(Unchanged());
}

TEST_F(RestoreProgramTest, ListShowsNewestFirstAndTestsEach) {
  t.Write(product + "Backup\\Архив от 01.10.2026 г. [08-00]Tarvo", "PK not really an archive");
  EXPECT_EQ(Run({"/RESTORE=LIST"}), kRestoreDone);
  const std::string& out = front_end.printed;
  const size_t newest = out.find(kNewest), older = out.find(kOlder),
               broken = out.find("01.10.2026 08:00");
  ASSERT_NE(newest, std::string::npos) << out;
  ASSERT_NE(older, std::string::npos) << out;
  ASSERT_NE(broken, std::string::npos) << out;
  EXPECT_LT(newest, older);
  EXPECT_LT(older, broken);
  EXPECT_NE(out.find("01.12.2026 09:30"), std::string::npos) << out;
  EXPECT_NE(out.find("sound"), std::string::npos);
  EXPECT_NE(out.find("DAMAGED", broken), std::string::npos) << out;
  EXPECT_TRUE(t.dialogs->shown().empty());
  EXPECT_TRUE(Unchanged());
}

TEST_F(RestoreProgramTest, NamedArchiveAndWhatRefusesARestore) {
  EXPECT_EQ(Run({"/VERYSILENT", "/RESTORE=\"" + std::string(kOlder) + "\""}), kRestoreDone);
  EXPECT_EQ(Read(product + "Base\\Base8491.DB"), "the oldest");

  t.Write(product + "Base\\Base8491.DB", "after a bad update");
  t.Write(product + "Base\\Extra.db", "left by the update");
  t.Write(product + "Backup\\broken.zip", "PK\x03\x04 cut short");
  // Without switches the refusal is also shown in a box.
  EXPECT_EQ(Run({"/RESTORE=broken.zip"}), kRestoreRefused);
  ASSERT_EQ(t.dialogs->shown().size(), 1u);
  EXPECT_EQ(t.dialogs->shown()[0].icon, platform::MessageIcon::kError);
  EXPECT_NE(t.dialogs->shown()[0].text.find("База данных не изменена"), std::string::npos);
  EXPECT_TRUE(Unchanged());

  t.marker->state = platform::RunningMarker::State::kAlreadyExists;
  EXPECT_EQ(Run({"/VERYSILENT", "/SUPPRESSMSGBOXES", "/RESTORE"}), kRestoreRefused);
  EXPECT_TRUE(Unchanged());
  t.marker->state = platform::RunningMarker::State::kCreated;
  t.Write(product + "Edit\\Smeta_1\\a_base8491.DB", "open");
  EXPECT_EQ(Run({"/VERYSILENT", "/SUPPRESSMSGBOXES", "/RESTORE"}), kRestoreRefused);
  EXPECT_TRUE(Unchanged());
  EXPECT_EQ(t.dialogs->shown().size(), 1u);

  t.registry->keys.clear();
  EXPECT_EQ(Run({"/VERYSILENT", "/RESTORE"}), kRestoreRefused);
}

TEST_F(RestoreProgramTest, SwitchesThatDoNotGoWithRestore) {
  EXPECT_EQ(Run({"/RESTORE", "/MODE=transfer", "/VERYSILENT"}), kExitCannotStart);
  EXPECT_EQ(Run({"/RESTORE", "/RESTORE=list", "/VERYSILENT"}), kExitCannotStart);
  EXPECT_EQ(Run({"/RESTORE=", "/VERYSILENT"}), kExitCannotStart);
  EXPECT_EQ(Run({"/check", "/RESTORE"}), kExitCannotStart);
  EXPECT_TRUE(Unchanged());
  const SwitchParse p = ParseSwitches({"-restore=\"C:\\Backups\\one.zip\""});
  ASSERT_TRUE(p.ok()) << p.error;
  EXPECT_EQ(p.switches.restore, RestoreSwitch::kArchive);
  EXPECT_EQ(p.switches.restore_archive, "C:\\Backups\\one.zip");
  EXPECT_FALSE(p.switches.None());
}

TEST_F(RestoreProgramTest, NoArchiveToRestoreFrom) {
  t.RemoveTree(product + "Backup\\");
  EXPECT_EQ(Run({"/VERYSILENT", "/RESTORE"}), kRestoreNothing);
  EXPECT_EQ(Run({"/RESTORE=list"}), kRestoreNothing);
  EXPECT_TRUE(Unchanged());
}

// The window after a failed run: its own failure text first, then which backup holds the
// database as it was and how to put it back.
class HintFrontEnd : public testing::RecordingFrontEnd {
 public:
  std::string result;
  void RunWindow(TForm_Main& form) override {
    form.Activate();
    result = form.Get("Label2").text;
    if (!form.closed()) form.Close();
  }
};

TEST_F(RestoreProgramTest, AFailedRunNamesTheBackupThatHoldsTheDatabase) {
  const std::string update = t.root + "Update\\";
  t.WriteAnsi(update + "update6.ini",
              "[Info]\r\nComponentCount=1\r\n[Component1]\r\nName1=Программа\r\nCheck1=1\r\n"
              "Enabled1=1\r\nFile1=Prog.zip\r\n[Backup]\r\nBackupCount=1\r\n"
              "BackupFileName=Tarvo\r\nBackup_Dir1=Base\r\n");
  t.Write(update + "Prog.zip", "PK\x03\x04 not an archive");
  t.version->files[text::ToLowerUtf8(product + "Tarvo7.exe")] = {{"FileVersion", "7.2.5.0"},
                                                                 {"ProductVersion", "b"}};
  HintFrontEnd window;
  EXPECT_EQ(
      RunInstallerProgram(
          t.services, update,
          {"/SILENT", "/MODE=replace", "/SUPPRESSMSGBOXES", "/LOG=" + t.root + "run.log"}, window),
      kExitRunFailed);
  const std::string failure = "Не удалось установить обновление.\n";
  ASSERT_EQ(window.result.substr(0, failure.size()), failure) << window.result;
  const std::string hint = window.result.substr(failure.size());
  // The archive this run wrote, which is the newest, so /RESTORE alone puts it back.
  const auto archives = install::FindBackupArchives(*t.services.fs, product + "Backup\\");
  ASSERT_EQ(archives.size(), 3u);
  EXPECT_EQ(hint, "Прежняя база данных сохранена в архиве «" + archives.front().name +
                      "»; вернуть её можно командой TarvoUpdate.exe /RESTORE.");
  EXPECT_NE(archives.front().name.find("Tarvo"), std::string::npos);
  // The log says the same, for those who ran it without a window.
  EXPECT_NE(Read(t.root + "run.log").find(hint), std::string::npos);
  EXPECT_TRUE(Unchanged());
}

}  // namespace
}  // namespace tarvo::app
