// Whole runs of the program as an administrator's script starts it: the switches, the window's
// rules, the real installation run with the table and archive engines on a small demo, the log
// and the exit code.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/installer_program.h"
#include "app/product.h"
#include "app/switches.h"
#include "db/ttable.h"
#include "install/components.h"
#include "install/installer_run.h"
#include "tests/app/fake_services.h"
#include "tests/app/recording_front_end.h"
#include "tests/archive/zip_test_util.h"
#include "text/codepage.h"
#include "tools/demo_database.h"

namespace tarvo::app {
namespace {

using archive::testing::BuildZip;
using archive::testing::TestEntry;

constexpr int kUsers = 6;

const char kIni[] =
    "[Info]\r\nCaption=Обновление Tarvo Estimate 7\r\nBeginText=Обновление 7.26\r\n"
    "BackupText=Перенос данных\r\nText=Замена базы\r\nComponentCount=2\r\nCheckOpenedSm=1\r\n"
    "DBFilter=YEAR = '04'\r\n"
    "[Component1]\r\nName1=Нормативная база\r\nCheck1=1\r\nEnabled1=0\r\nFile1=Base.zip\r\n"
    "[Component2]\r\nName2=Программа\r\nCheck2=1\r\nEnabled2=1\r\nFile2=Prog.zip\r\n"
    "[Backup]\r\nBackupCount=1\r\nBackupFileName=Tarvo\r\nBackup_Dir1=Base\r\n";

class FakeFrontEnd : public testing::RecordingFrontEnd {
 public:
  // What the person does once the window is shown (nothing: closes it).
  std::function<void(TForm_Main&)> person;
  // False: the window never becomes the active one, as when Windows keeps the focus elsewhere.
  bool activated = true;
  bool finished_and_closed_by_itself = false;

  void RunWindow(TForm_Main& form) override {
    ++windows;
    if (activated) {
      form.Activate();
    } else {
      widgets::Control& timer = form.Get("Timer_unattended");
      EXPECT_TRUE(timer.enabled);
      EXPECT_EQ(timer.interval_ms, UnattendedForm::kFallbackMs);
      form.TimerElapsed(timer);
    }
    finished_and_closed_by_itself = form.RunFinished() && form.closed();
    if (person && !form.closed()) person(form);
    if (!form.closed()) form.Close();
  }
};

class UnattendedRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::FileSystem& fs = *t.services.fs;
    product = t.root + "Tarvo\\";
    update = t.root + "Update\\";
    t.Write(product + "Tarvo7.exe", "MZ old");
    t.Write(product + "start7.exe", "MZ");
    (void)fs.CreateDirectories(product + "Edit\\Smeta_1");
    demo::DemoDatabaseOptions old;
    old.records = 40;
    old.users = kUsers;
    old.classifier_rows = 16;
    old.note_length = 30;
    demo::WriteDemoDatabase(fs, product + "Base\\", old);
    t.Write(product + "Base\\RES.bd", "");
    demo::WriteUserDataTables(fs, update);

    // The new database, shipped under Base\ so that it extracts into the database folder.
    const std::string stage = t.root + "Stage\\";
    demo::DemoDatabaseOptions fresh = old;
    fresh.new_database = true;
    fresh.users = 0;
    demo::WriteDemoDatabase(fs, stage, fresh);
    std::vector<TestEntry> base;
    for (const platform::DirEntry& e : fs.List(stage, "*")) {
      if (e.attributes & platform::kAttrDirectory) continue;
      base.push_back(Entry("Base\\" + e.name, t.Read(stage + e.name)));
    }
    t.Write(update + "Base.zip", BuildZip(base));
    t.Write(update + "Prog.zip",
            BuildZip({Entry("Tarvo7.exe", "MZ new"), Entry("Doc\\readme.txt", "7.26")}));
    t.WriteAnsi(update + "update6.ini", kIni);

    t.registry->keys[kUninstallKey]["InstallLocation"] = product;
    t.version->files[text::ToLowerUtf8(product + "Tarvo7.exe")] = {{"FileVersion", "7.2.5.0"},
                                                                   {"ProductVersion", "b"}};
    before = Snapshot(product);
  }

  static TestEntry Entry(const std::string& name, const std::string& data) {
    TestEntry e;
    e.name = name;
    e.data = data;
    e.password = install::ComponentPassword();
    return e;
  }

  // Every file below `folder` with its bytes, by relative name.
  std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& dir,
                                                                           const std::string& rel) {
      for (const platform::DirEntry& e : t.services.fs->List(dir, "*")) {
        if (e.name == "." || e.name == "..") continue;
        if (e.attributes & platform::kAttrDirectory) {
          walk(dir + e.name + "\\", rel + e.name + "\\");
        } else {
          files[rel + e.name] = t.Read(dir + e.name);
        }
      }
    };
    walk(folder, "");
    return files;
  }

  int Run(std::vector<std::string> args) {
    return RunInstallerProgram(t.services, update, args, front_end);
  }

  // Keys of the justification records of a master table that are the users' own.
  int UsersRecords(const std::string& table) {
    db::TTable tb(*t.services.fs);
    tb.SetTableName(table);
    tb.Open();
    int users = 0;
    for (tb.First(); !tb.Eof(); tb.Next()) {
      users += tb.FieldByName("NOBOSN").AsString().rfind("U", 0) == 0;
    }
    tb.Close();
    return users;
  }

  // The users' classifier rows in the users' group.
  int UsersClassifierRows() {
    db::TTable kl(*t.services.fs);
    kl.SetTableName(product + "Base\\Kl_spr.db");
    kl.Open();
    int rows = 0;
    for (kl.First(); !kl.Eof(); kl.Next()) {
      rows += kl.FieldByName("Kod").AsString().rfind("USR", 0) == 0 &&
              kl.FieldByName("Group_kod").AsInteger() == 1000;
    }
    kl.Close();
    return rows;
  }

  std::string Log() { return t.Read(log_path); }
  bool Logged(const std::string& line) { return Log().find(line) != std::string::npos; }

  testing::TestServices t;
  FakeFrontEnd front_end;
  std::string product, update;
  std::string log_path = t.root + "run.log";
  std::map<std::string, std::string> before;
};

TEST_F(UnattendedRunTest, VerySilentTransferInstallsAndLogsEveryStep) {
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/SUPPRESSMSGBOXES", "/LOG=" + log_path}),
            kExitSuccess);
  EXPECT_EQ(front_end.windows, 0);
  EXPECT_TRUE(t.dialogs->shown().empty());
  // The new database with the users' records and classifier rows carried over.
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), kUsers);
  EXPECT_GT(UsersClassifierRows(), 0);
  EXPECT_EQ(t.Read(product + "Tarvo7.exe"), "MZ new");
  EXPECT_EQ(t.Read(product + "Doc\\readme.txt"), "7.26");
  // The backup holds the old database; closing removed the archive copies.
  bool backup = false;
  for (const platform::DirEntry& e : t.services.fs->List(product + "Backup\\", "*Tarvo")) {
    backup = backup || e.name.rfind("Архив от ", 0) == 0;
  }
  EXPECT_TRUE(backup);
  EXPECT_FALSE(t.services.fs->FileExists(product + "Base.zip"));
  EXPECT_FALSE(t.services.fs->FileExists(product + "Prog.zip"));

  const std::string log = Log();
  for (const char* line :
       {"with /VERYSILENT /MODE=transfer /SUPPRESSMSGBOXES /LOG=",
        "update6.ini read: \"Обновление Tarvo Estimate 7\", 2 component(s), 1 backup folder(s), "
        "record filter YEAR = '04'",
        "Component 1: \"Нормативная база\", file Base.zip, checked, fixed by the update",
        "Check: product found: yes",
        "Check: product not running: yes",
        "Check: no open estimates: yes",
        "Check: version 7.25b (текущая версия: 7.25b): sufficient",
        "Start-up verdict: ready",
        "Mode: transfer",
        "Check: update modules complete: yes",
        "Check: database intact: yes",
        "Table verdict: ready",
        "Components to install: 1 (Base.zip), 2 (Prog.zip)",
        "Backup archive ",
        "Backup of Base\\*.* written and tested",
        "Stage ended: 1. Резервное копирование текущей БД, took ",
        "Stage ended: 2. Сохранение пользовательских данных, took ",
        "Component 1 (Base.zip) installed",
        "Component 2 (Prog.zip) installed",
        "Stage ended: 3. Установка новой БД, took ",
        "Сейчас будет производиться добавление обоснований пользователя",
        "-> OK (automatic)",
        "Stage ended: 4. Восстановление пользовательских данных, took ",
        "Result code 0: Обновление успешно установлено на Ваш компьютер.",
        "Exit code 0: the update is installed"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  // In the order they happened.
  EXPECT_LT(log.find("Start-up verdict"), log.find("Stage started: 1."));
  EXPECT_LT(log.find("Stage ended: 3."), log.find("Stage started: 4."));
  EXPECT_LT(log.find("Result code 0"), log.find("Exit code 0"));
}

TEST_F(UnattendedRunTest, RefusedReadinessExitsSevenAndChangesNothing) {
  t.marker->state = platform::RunningMarker::State::kAlreadyExists;
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/LOG=" + log_path}), kExitNotReady);
  EXPECT_EQ(Snapshot(product), before);
  EXPECT_TRUE(Logged("Check: product not running: no"));
  EXPECT_TRUE(Logged("  Программный комплекс Tarvo Estimate 6 работает."));
  EXPECT_TRUE(Logged("Exit code 7"));
  EXPECT_FALSE(Logged("Stage started"));
  EXPECT_NE(front_end.printed.find("readiness checks refuse"), std::string::npos);
}

TEST_F(UnattendedRunTest, OtherRefusalsChangeNothingEither) {
  // An open estimate.
  t.Write(product + "Edit\\Smeta_1\\a_base8491.DB", "open");
  before = Snapshot(product);
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=replace"}), kExitNotReady);
  EXPECT_EQ(Snapshot(product), before);
  (void)t.services.fs->DeleteFileAt(product + "Edit\\Smeta_1\\a_base8491.DB");
  before = Snapshot(product);

  // A user data table missing from the update: the table check of transfer mode refuses.
  (void)t.services.fs->Rename(update + "U_W_list.DB", update + "U_W_list.old");
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/LOG=" + log_path}), kExitNotReady);
  EXPECT_TRUE(Logged("Check: update modules complete: no"));
  EXPECT_EQ(Snapshot(product), before);
  (void)t.services.fs->Rename(update + "U_W_list.old", update + "U_W_list.DB");

  // The chosen component's archive missing.
  (void)t.services.fs->Rename(update + "Prog.zip", update + "Prog.old");
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=replace", "/SUPPRESSMSGBOXES"}), kExitNotReady);
  EXPECT_EQ(Snapshot(product), before);
  // ... which is no reason to refuse when it is not chosen.
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=replace", "/SUPPRESSMSGBOXES", "/COMPONENTS=1"}),
            kExitSuccess);
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), 0);

  // No RES.bd: the window offers only replacing, so a transfer asked for is refused.
  (void)t.services.fs->DeleteFileAt(product + "Base\\RES.bd");
  before = Snapshot(product);
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/LOG=" + log_path}), kExitNotReady);
  EXPECT_TRUE(Logged("no RES.bd"));
  EXPECT_EQ(Snapshot(product), before);
}

TEST_F(UnattendedRunTest, CorruptComponentExitsFourAndTheUsersRecordsAreStillRestored) {
  t.Write(update + "Prog.zip", "this is no archive");
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/SUPPRESSMSGBOXES", "/LOG=" + log_path}),
            kExitRunFailed);
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), kUsers);
  EXPECT_TRUE(Logged("Component 1 (Base.zip) installed"));
  EXPECT_TRUE(Logged("Component 2 (Prog.zip) could not be installed"));
  EXPECT_TRUE(Logged("Archive error: "));
  EXPECT_TRUE(Logged("Stage ended: 3. Установка новой БД, took "));
  EXPECT_TRUE(Logged(", failed with code 3"));
  EXPECT_TRUE(Logged("Stage ended: 4."));
  EXPECT_TRUE(Logged("Result code 3: Не удалось установить обновление."));
  EXPECT_TRUE(Logged("Exit code 4"));
}

// Component archives that are not whole, as anyone who can write to the update folder could
// leave them: each fails its component before anything of it is extracted.
struct NotWhole {
  const char* name;
  const char* reason;  // in the log
};

class NotWholeComponentTest : public UnattendedRunTest,
                              public ::testing::WithParamInterface<NotWhole> {
 protected:
  std::string Archive() {
    const std::string name = GetParam().name;
    if (name == "Junk") {
      // A few kilobytes of junk with local header signatures in it.
      std::string junk;
      for (int i = 0; i < 4000; ++i) junk += static_cast<char>((i * 7919) % 251);
      for (size_t at : {100u, 1500u, 3000u}) junk.replace(at, 4, "PK\x03\x04");
      return junk;
    }
    if (name == "CutOff") {
      const std::string prog =
          BuildZip({Entry("Doc\\readme.txt", "7.26"), Entry("Tarvo7.exe", "MZ new")});
      return prog.substr(0, archive::testing::LocalHeaderOffsets(prog).back());
    }
    if (name == "HiddenEntry") {
      // A program file in the stored data of a harmless entry, behind a damaged end record.
      TestEntry cover;
      cover.name = "Doc\\readme.txt";
      cover.data = BuildZip({Entry("Tarvo7.exe", "MZ hidden")});
      cover.method = 0;
      return archive::testing::WithBrokenEndRecord(BuildZip({cover}));
    }
    if (name == "NoEntries") return BuildZip({});
    return archive::testing::OverlapBomb(Entry("Tarvo7.exe", std::string(4096, 'M')), 16, "Tarvo",
                                         ".exe");
  }
};

TEST_P(NotWholeComponentTest, FailsWithCodeThreeExitsFourAndTheUsersRecordsAreRestored) {
  t.Write(update + "Prog.zip", Archive());
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/SUPPRESSMSGBOXES", "/LOG=" + log_path}),
            kExitRunFailed);
  EXPECT_EQ(t.Read(product + "Tarvo7.exe"), "MZ old");
  EXPECT_FALSE(t.services.fs->FileExists(product + "Doc\\readme.txt"));
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), kUsers);
  EXPECT_TRUE(Logged("Component 1 (Base.zip) installed"));
  EXPECT_TRUE(Logged(GetParam().reason)) << Log();
  EXPECT_TRUE(Logged("Component 2 (Prog.zip) could not be installed"));
  EXPECT_TRUE(Logged("Stage ended: 4."));
  EXPECT_TRUE(Logged("Result code 3: "));
  EXPECT_TRUE(Logged("Exit code 4"));
}

INSTANTIATE_TEST_SUITE_P(
    Archives, NotWholeComponentTest,
    ::testing::Values(NotWhole{"Junk", "is damaged: its directory is missing or unreadable"},
                      NotWhole{"CutOff", "is damaged: its directory is missing or unreadable"},
                      NotWhole{"HiddenEntry", "is damaged: its directory is missing or unreadable"},
                      NotWhole{"NoEntries", "holds no entries"},
                      NotWhole{"OverlappingEntries", "overlaps that of"}),
    [](const ::testing::TestParamInfo<NotWhole>& info) { return std::string(info.param.name); });

TEST_F(UnattendedRunTest, ATableErrorIsLoggedAndFailsTheRunBeforeTheDatabaseIsReplaced) {
  t.Write(update + "U_Base8491.db", "this is no table");
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/SUPPRESSMSGBOXES", "/LOG=" + log_path}),
            kExitRunFailed);
  EXPECT_TRUE(Logged("Stage failed: 2. Сохранение пользовательских данных, after "));
  EXPECT_TRUE(Logged("Result code 4: Не удалось установить обновление."));
  // The error's own box came after the result, answered by default.
  EXPECT_LT(Log().find("Result code 4"), Log().find("[OK] -> OK (automatic)"));
  EXPECT_FALSE(Logged("Stage started: 3."));
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), kUsers);
  EXPECT_TRUE(t.dialogs->shown().empty());
}

TEST_F(UnattendedRunTest, AnAbortAnswerEndsTheRunWithFive) {
  TestEntry damaged = Entry("Doc\\readme.txt", "7.26");
  damaged.corrupt_crc = true;
  t.Write(update + "Prog.zip", BuildZip({Entry("Tarvo7.exe", "MZ new"), damaged}));
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/SUPPRESSMSGBOXES", "/LOG=" + log_path}),
            kExitAborted);
  EXPECT_TRUE(Logged("-> Abort (automatic)"));
  EXPECT_TRUE(Logged("Exit code 5"));
  EXPECT_TRUE(t.dialogs->shown().empty());
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), kUsers);
}

TEST_F(UnattendedRunTest, SilentShowsTheWindowPressesInstallAndCloses) {
  EXPECT_EQ(Run({"/SILENT", "/MODE=replace", "/COMPONENTS=2", "/LOG=" + log_path}), kExitSuccess);
  EXPECT_EQ(front_end.windows, 1);
  EXPECT_TRUE(front_end.finished_and_closed_by_itself);
  // The explicit mode answered the replacement warning; nothing else asked anyone.
  EXPECT_TRUE(t.dialogs->shown().empty());
  EXPECT_TRUE(Logged("Продолжать процесс установки? [Yes/No] -> Yes (automatic)"));
  // Position 1 is fixed by the update: it keeps its mark although the list leaves it out.
  EXPECT_TRUE(Logged("Component 1 is fixed by the update and stays checked"));
  EXPECT_TRUE(Logged("Components to install: 1 (Base.zip), 2 (Prog.zip)"));
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), 0);
  EXPECT_FALSE(Logged("Stage started: 2."));
  EXPECT_FALSE(Logged("Stage started: 4."));
}

TEST_F(UnattendedRunTest, SilentRunsAlsoWhenTheWindowIsNeverActivated) {
  front_end.activated = false;
  EXPECT_EQ(Run({"/SILENT", "/MODE=transfer", "/SUPPRESSMSGBOXES"}), kExitSuccess);
  EXPECT_TRUE(front_end.finished_and_closed_by_itself);
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), kUsers);
}

TEST_F(UnattendedRunTest, StartFailuresBeforeAnythingChanges) {
  // A position the update does not have.
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/COMPONENTS=1,3"}), kExitCannotStart);
  EXPECT_NE(front_end.printed.find("/COMPONENTS names position 3, but the update has 2"),
            std::string::npos);
  // No mode.
  EXPECT_EQ(Run({"/SILENT", "/LOG=" + log_path}), kExitNotStarted);
  EXPECT_TRUE(Logged("need /MODE=transfer or /MODE=replace"));
  EXPECT_EQ(front_end.windows, 0);
  // A log that cannot be made.
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/LOG=" + t.root + "missing\\x.log"}),
            kExitCannotStart);
  // A bad switch: no box in a silent run, one in the window program.
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=sideways"}), kExitCannotStart);
  EXPECT_TRUE(t.dialogs->shown().empty());
  EXPECT_EQ(Run({"/MODE=sideways"}), kExitCannotStart);
  ASSERT_EQ(t.dialogs->shown().size(), 1u);
  EXPECT_EQ(t.dialogs->shown()[0].text,
            "Параметр /MODE принимает значение transfer или replace: \"/MODE=sideways\". "
            "Список параметров: TarvoUpdate.exe /?");
  EXPECT_EQ(t.dialogs->shown()[0].caption, "Ошибка");
  EXPECT_NE(front_end.printed.find("/MODE takes transfer or replace"), std::string::npos);
  EXPECT_EQ(Snapshot(product), before);
  // No description: the program's own box, then exit 1.
  (void)t.services.fs->DeleteFileAt(update + "update6.ini");
  t.dialogs->ClearShown();
  EXPECT_EQ(Run({}), kExitCannotStart);
  ASSERT_EQ(t.dialogs->shown().size(), 1u);
  EXPECT_EQ(t.dialogs->shown()[0].text, "Не найден файл инициализации!");
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "/SUPPRESSMSGBOXES"}), kExitCannotStart);
  EXPECT_EQ(t.dialogs->shown().size(), 1u);
  EXPECT_EQ(Snapshot(product), before);
}

TEST_F(UnattendedRunTest, WithoutSwitchesTheWindowDecidesAndTheCodeTellsTheResult) {
  // The person closes the window without installing.
  EXPECT_EQ(Run({}), kExitNotStarted);
  EXPECT_EQ(front_end.windows, 1);
  EXPECT_EQ(Snapshot(product), before);

  // The person answers Abort to a damaged entry: without switches only 0 or 4 tell the result.
  TestEntry damaged = Entry("Doc\\readme.txt", "7.26");
  damaged.corrupt_crc = true;
  t.Write(update + "Prog.zip", BuildZip({Entry("Tarvo7.exe", "MZ new"), damaged}));
  t.dialogs->default_answer = [](const platform::AutoDialogs::Shown& s) {
    for (auto b : s.buttons) {
      if (b == platform::DialogResult::kAbort || b == platform::DialogResult::kYes) return b;
    }
    return platform::DialogResult::kOk;
  };
  front_end.person = [](TForm_Main& form) {
    form.Click(form.Get("RadioButton1"));
    form.Click(form.Get("Btn_install"));
  };
  EXPECT_EQ(Run({}), kExitRunFailed);
  EXPECT_EQ(UsersRecords(product + "Base\\Base8491.db"), kUsers);

  // The window refused: closed without a run.
  t.marker->state = platform::RunningMarker::State::kAlreadyExists;
  EXPECT_EQ(Run({}), kExitNotReady);
}

TEST_F(UnattendedRunTest, AFileNameOnTheCommandLineStillOpensTheWindow) {
  EXPECT_EQ(Run({"C:\\Update\\update6.ini", "/LOG=" + log_path}), kExitNotStarted);
  EXPECT_EQ(front_end.windows, 1);
  EXPECT_TRUE(t.dialogs->shown().empty());
  EXPECT_TRUE(Logged("\"C:\\Update\\update6.ini\" is no switch: ignored"));
  front_end.printed.clear();
  EXPECT_EQ(Run({"update6.ini"}), kExitNotStarted);
  EXPECT_EQ(front_end.windows, 2);
  EXPECT_EQ(front_end.printed.find("exit code"), std::string::npos);  // as without arguments
  // Unattended, the same word is a mistake in the script.
  EXPECT_EQ(Run({"/VERYSILENT", "/MODE=transfer", "update6.ini"}), kExitCannotStart);
  EXPECT_EQ(front_end.windows, 2);
  EXPECT_EQ(Snapshot(product), before);
}

TEST_F(UnattendedRunTest, TheWindowProgramsOwnBoxesSpeakRussian) {
  struct Case {
    std::vector<std::string> args;
    std::string box;
  };
  const Case cases[] = {
      {{"/bogus"}, "Неизвестный параметр \"/bogus\". Список параметров: TarvoUpdate.exe /?"},
      {{"/COMPONENTS=3"},
       "Параметр /COMPONENTS называет компонент 3, а компонентов в обновлении 2"},
      {{"/LOG=" + t.root + "missing\\x.log"},
       "Не удаётся создать файл журнала \"" + t.root + "missing\\x.log\""},
  };
  for (const Case& c : cases) {
    t.dialogs->ClearShown();
    EXPECT_EQ(Run(c.args), kExitCannotStart) << c.args[0];
    ASSERT_EQ(t.dialogs->shown().size(), 1u) << c.args[0];
    EXPECT_EQ(t.dialogs->shown()[0].text, c.box);
    EXPECT_EQ(t.dialogs->shown()[0].caption, "Ошибка");
    EXPECT_EQ(t.dialogs->shown()[0].buttons,
              std::vector<platform::DialogResult>{platform::DialogResult::kOk});
  }
  EXPECT_EQ(front_end.windows, 0);
  t.dialogs->ClearShown();
  front_end.printed.clear();
  EXPECT_EQ(Run({"/?"}), kExitSuccess);
  ASSERT_EQ(t.dialogs->shown().size(), 1u);
  const std::string& help = t.dialogs->shown()[0].text;
  for (const char* word : {"/SILENT - без вопросов", "/MODE=transfer", "/COMPONENTS=1,3",
                           "/SUPPRESSMSGBOXES", "/LOG=\"файл\"", "Коды завершения: 0 -"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(help.find("Exit codes"), std::string::npos);
  EXPECT_NE(front_end.printed.find("Exit codes"), std::string::npos);  // the console stays English
  EXPECT_EQ(Snapshot(product), before);
}

// Every fixed text of the window and of its boxes, word for word as the user reads it.
TEST_F(UnattendedRunTest, TheWindowAndItsBoxesShowTheirTextsWordForWord) {
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"Label_1", "Путь доступа:"},
      {"Label_4", "Требуемая версия Tarvo:"},
      {"Label_2", "Программный комплекс в данный момент не работает"},
      {"Label_3", "Нет открытых смет"},
      {"RadioButton1", "Перенести данные пользователя из старой базы в новую"},
      {"Label_for_Radio1",
       "Рекомендуется использовать данную возможность, если программный комплекс уже был ранее "
       "установлен и пользователи вносили свои изменения в БД."},
      {"RadioButton2", "Заменить старую базу данных на новую"},
      {"Label_for_Radio2",
       "Рекомендуется использовать, если программный комплекс был только что установлен или если "
       "ранее пользователи не вносили свои изменения в БД."},
      {"Btn_All_ON", "Включить все"},
      {"Btn_All_OFF", "Выключить все"},
      {"Btn_install", "Начать установку"},
      {"Btn_exit", "Выход"},
      {"Label2", "Пожалуйста, подождите, обновление устанавливается..."},
      {"GrLabel_Level1", "1. Резервное копирование текущей БД"},
      {"GrLabel_Level2", "2. Сохранение пользовательских данных"},
      {"GrLabel_Level3", "3. Установка новой БД"},
      {"GrLabel_Level4", "4. Восстановление пользовательских данных"},
      {"GrLabel_info_save", "Сохранение ..."},
      {"GrLabel_info_data", "... Обработка данных ..."},
      {"GrLabel_info_check", "... Проверка"},
  };
  const std::vector<std::pair<std::string, std::string>> hints = {
      {"Label_1", "Путь доступа к Tarvo"},
      {"StaticText1", "Путь доступа к Tarvo"},
      {"Label_2", "Проверка на присутствие Tarvo в памяти компьютера (в данный момент)"},
      {"Label_3", "Проверка на наличие открытых смет"},
      {"Label_4", "Проверка текущей и требуемой версии Tarvo Estimate"},
      {"Label_Version", "Проверка текущей и требуемой версии Tarvo Estimate"},
      {"Memo1", "Информация о установке"},
      {"CheckListBox1", "Список устанавливаемых компонентов обновления"},
      {"Btn_install", "Начать установку обновления на Ваш компьютер"},
      {"Btn_exit", "Завершить работу с программой обновления"},
      {"Btn_All_ON", "Включить все устанавливаемые компоненты"},
      {"Btn_All_OFF", "Выключить все устанавливаемые компоненты"},
  };
  const std::string warning =
      "Вы выбрали вариант полной замены существующей БД на новую. Будьте осторожны! Если текущая "
      "БД содержит пользовательские изменения, то все они исчезнут после инсталляции данного "
      "обновления. Продолжать процесс установки?";
  const std::string notice =
      "Установка новой базы данных успешно завершена. Сейчас будет производиться добавление "
      "обоснований пользователя из предыдущей базы. Этот процесс может занять от нескольких "
      "десятков секунд до нескольких минут (зависит от скорости Вашего компьютера).";

  // A ready machine: the window as it opens, the warning answered No, then a transfer run.
  std::string result;
  front_end.person = [&](TForm_Main& form) {
    for (const auto& [name, text] : texts) EXPECT_EQ(form.Get(name).text, text) << name;
    for (const auto& [name, hint] : hints) EXPECT_EQ(form.Get(name).hint, hint) << name;
    const widgets::Control& header = form.Get("HeaderControl1");
    ASSERT_EQ(header.sections.size(), 2u);
    EXPECT_EQ(header.sections[0].text, "Проверка");
    EXPECT_EQ(header.sections[1].text, "Статус");
    EXPECT_EQ(form.Get("StatusBar1").sections.at(1).text, "3.55");
    EXPECT_EQ(form.Get("CheckListBox1").items.at(0).text, "Устанавливаемые компоненты");
    EXPECT_EQ(form.Get("Label_Version").text.rfind("7.25b (текущая версия: ", 0), 0u)
        << form.Get("Label_Version").text;
    const widgets::Control& balloon = form.Get("ChoiceHint");
    EXPECT_TRUE(balloon.visible);
    EXPECT_EQ(balloon.title, "Информация");
    EXPECT_EQ(balloon.text, "Необходимо выбрать вариант установки обновления");
    form.Click(form.Get("RadioButton2"));
    form.Click(form.Get("Btn_install"));  // the warning, answered No
    form.Click(form.Get("RadioButton1"));
    form.Click(form.Get("Btn_install"));
    result = form.Get("Label2").text;
  };
  EXPECT_EQ(Run({}), kExitSuccess);
  EXPECT_EQ(result, "Обновление успешно установлено на Ваш компьютер.");
  ASSERT_EQ(t.dialogs->shown().size(), 2u);
  EXPECT_EQ(t.dialogs->shown()[0].text, warning);
  EXPECT_EQ(t.dialogs->shown()[0].caption, "Tarvo Update");
  EXPECT_EQ(t.dialogs->shown()[1].text, notice);

  // A failed run.
  t.Write(update + "Prog.zip", "no archive at all");
  t.dialogs->ClearShown();
  t.dialogs->QueueAnswer(platform::DialogResult::kYes);
  front_end.person = [&](TForm_Main& form) {
    form.Click(form.Get("RadioButton2"));
    form.Click(form.Get("Btn_install"));
    result = form.Get("Label2").text;
  };
  EXPECT_EQ(Run({}), kExitRunFailed);
  // The window's own text stays as it is; the line after it names the backup that holds the
  // database as it was.
  const size_t line_end = result.find('\n');
  EXPECT_EQ(result.substr(0, line_end), "Не удалось установить обновление.");
  ASSERT_NE(line_end, std::string::npos) << result;
  EXPECT_EQ(result.substr(line_end + 1).rfind("Прежняя база данных сохранена в архиве «", 0), 0u)
      << result;

  // The product running, with an estimate open.
  t.marker->state = platform::RunningMarker::State::kAlreadyExists;
  t.Write(product + "Edit\\Smeta_1\\a_base8491.DB", "");
  front_end.person = [&](TForm_Main& form) {
    EXPECT_EQ(form.Get("Label_2").text, "Программный комплекс в данный момент работает");
    EXPECT_EQ(form.Get("Label_3").text, "Есть открытые сметы");
  };
  EXPECT_EQ(Run({}), kExitNotReady);

  // No product at all.
  t.registry->keys.clear();
  front_end.person = [&](TForm_Main& form) {
    EXPECT_EQ(form.Get("StaticText1").text, "Программный комплекс Tarvo Estimate не найден.");
    EXPECT_EQ(form.Get("Label_3").text,
              "Открытые сметы: Программный комплекс Tarvo Estimate не найден.");
  };
  EXPECT_EQ(Run({}), kExitNotReady);

  // A missing component archive, then a missing description.
  (void)t.services.fs->DeleteFileAt(update + "Prog.zip");
  t.dialogs->ClearShown();
  front_end.person = nullptr;
  Run({});
  ASSERT_FALSE(t.dialogs->shown().empty());
  EXPECT_EQ(t.dialogs->shown()[0].text, "Файл [Prog.zip] не найден!");
  EXPECT_EQ(t.dialogs->shown()[0].caption, "Ошибка!");
  (void)t.services.fs->DeleteFileAt(update + "update6.ini");
  t.dialogs->ClearShown();
  EXPECT_EQ(Run({}), kExitCannotStart);
  ASSERT_EQ(t.dialogs->shown().size(), 1u);
  EXPECT_EQ(t.dialogs->shown()[0].text, "Не найден файл инициализации!");
  EXPECT_EQ(t.dialogs->shown()[0].caption, "Ошибка");
}

TEST_F(UnattendedRunTest, SwitchesPreselectTheWindowForThePerson) {
  bool transfer_chosen = false, prog_checked = true;
  front_end.person = [&](TForm_Main& form) {
    transfer_chosen = form.TransferChoiceChecked();
    prog_checked = form.ComponentChecked(2);
    form.Click(form.Get("Btn_install"));
  };
  EXPECT_EQ(Run({"/MODE=transfer", "/COMPONENTS=1", "/LOG=" + log_path}), kExitSuccess);
  EXPECT_TRUE(transfer_chosen);
  EXPECT_FALSE(prog_checked);
  // Not unattended: the information box before stage 4 went to the person.
  ASSERT_EQ(t.dialogs->shown().size(), 1u);
  EXPECT_EQ(t.dialogs->shown()[0].text, install::kRestoreNotice);
  EXPECT_TRUE(Logged("-> OK (by the user)"));
}

}  // namespace
}  // namespace tarvo::app
