// The command line, the default answers of message boxes and the run log.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/run_log_file.h"
#include "app/switches.h"
#include "app/unattended_dialogs.h"
#include "install/installer_run.h"
#include "platform/auto_dialogs.h"
#include "tests/app/fake_services.h"
#include "tests/app/memory_services.h"
#include "tests/platform/set_clock.h"

namespace tarvo::app {
namespace {

using platform::DialogResult;
using platform::MessageIcon;

SwitchParse Parse(std::vector<std::string> args) { return ParseSwitches(args); }

TEST(SwitchesTest, SlashOrDashInAnyCase) {
  const SwitchParse p =
      Parse({"-verysilent", "/Mode=REPLACE", "/components=1, 3", "/LoG", "-SuppressMsgBoxes"});
  ASSERT_TRUE(p.ok()) << p.error;
  const Switches& s = p.switches;
  EXPECT_EQ(s.display, Display::kVerySilent);
  EXPECT_EQ(s.mode, ModeSwitch::kReplace);
  ASSERT_TRUE(s.components);
  EXPECT_EQ(*s.components, (std::vector<int>{1, 3}));
  EXPECT_EQ(s.log, LogSwitch::kTempFolder);
  EXPECT_TRUE(s.suppress_message_boxes);
  EXPECT_TRUE(s.Unattended());
  EXPECT_FALSE(s.None());

  EXPECT_TRUE(Parse({}).switches.None());
  EXPECT_EQ(Parse({"/SILENT"}).switches.display, Display::kSilent);
  // Scripts that give both get no window at all.
  EXPECT_EQ(Parse({"/VERYSILENT", "/SILENT"}).switches.display, Display::kVerySilent);
  EXPECT_EQ(Parse({"/SILENT", "/VERYSILENT"}).switches.display, Display::kVerySilent);
  EXPECT_TRUE(Parse({"/?"}).switches.help);
  EXPECT_TRUE(Parse({"-HELP"}).switches.help);
}

TEST(SwitchesTest, LogFileKeepsItsNameWithoutTheQuotes) {
  // CommandLineToArgvW removes the quotes; a caller that did not split the line leaves them.
  for (const std::string arg : {"/LOG=C:\\Logs\\Офис 1.log", "/LOG=\"C:\\Logs\\Офис 1.log\""}) {
    const SwitchParse p = Parse({arg});
    ASSERT_TRUE(p.ok()) << arg;
    EXPECT_EQ(p.switches.log, LogSwitch::kFile);
    EXPECT_EQ(p.switches.log_file, "C:\\Logs\\Офис 1.log");
  }
}

TEST(SwitchesTest, CheckStaysAndStandsAlone) {
  SwitchParse p = Parse({"/check"});
  ASSERT_TRUE(p.ok());
  EXPECT_TRUE(p.switches.check);
  EXPECT_FALSE(p.switches.check_replace);
  p = Parse({"-CHECK=Replace"});
  ASSERT_TRUE(p.ok());
  EXPECT_TRUE(p.switches.check_replace);
  EXPECT_FALSE(Parse({"/check", "/VERYSILENT"}).ok());
  EXPECT_FALSE(Parse({"/check=both"}).ok());
}

TEST(SwitchesTest, BadCommandLinesSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"/QUIET"}, "Unknown switch \"/QUIET\""},
      {{"/VERYSILENT", "/MODE=transfer", "install"}, "Unknown argument \"install\""},
      {{"/check", "C:\\Update\\update6.ini"}, "Unknown argument \"C:\\Update\\update6.ini\""},
      {{"/"}, "Unknown argument \"/\""},
      {{"/MODE=both"}, "/MODE takes transfer or replace"},
      {{"/MODE"}, "/MODE takes transfer or replace"},
      {{"/MODE=transfer", "/MODE=replace"}, "/MODE is given twice"},
      {{"/COMPONENTS="}, "/COMPONENTS takes list positions"},
      {{"/COMPONENTS=0"}, "/COMPONENTS takes list positions"},
      {{"/COMPONENTS=1,,2"}, "/COMPONENTS takes list positions"},
      {{"/COMPONENTS=-1"}, "/COMPONENTS takes list positions"},
      {{"/COMPONENTS=1;2"}, "/COMPONENTS takes list positions"},
      {{"/COMPONENTS=99999999999"}, "/COMPONENTS takes list positions"},
      {{"/COMPONENTS=1", "/COMPONENTS=2"}, "/COMPONENTS is given twice"},
      {{"/LOG="}, "/LOG= needs a file name"},
      {{"/LOG=\"\""}, "/LOG= needs a file name"},
      {{"/LOG", "/LOG=x.log"}, "/LOG is given twice"},
      {{"/SILENT=1"}, "/SILENT takes no value"},
      {{"/SUPPRESSMSGBOXES=yes"}, "/SUPPRESSMSGBOXES takes no value"},
  };
  for (const Case& c : cases) {
    const SwitchParse p = Parse(c.args);
    EXPECT_FALSE(p.ok()) << c.args[0];
    EXPECT_NE(p.error.find(c.says), std::string::npos) << c.args[0] << ": " << p.error;
    // The window program's box says the same in Russian.
    EXPECT_TRUE(p.error_box.rfind("Параметр", 0) == 0 ||
                p.error_box.rfind("Неизвестный параметр", 0) == 0)
        << c.args[0] << ": " << p.error_box;
  }
}

// A shortcut or a file association may hand the window program a file name.
TEST(SwitchesTest, WordsThatAreNoSwitchAreIgnoredByTheWindowOnly) {
  SwitchParse p = Parse({"C:\\Update\\update6.ini", "/MODE=transfer", "extra"});
  ASSERT_TRUE(p.ok()) << p.error;
  EXPECT_EQ(p.switches.ignored, (std::vector<std::string>{"C:\\Update\\update6.ini", "extra"}));
  EXPECT_EQ(p.switches.mode, ModeSwitch::kTransfer);
  p = Parse({"update6.ini"});
  ASSERT_TRUE(p.ok());
  EXPECT_TRUE(p.switches.None());  // the window behaves as without arguments
  // An unknown switch stops the window program as before.
  EXPECT_FALSE(Parse({"update6.ini", "/QUIET"}).ok());
  EXPECT_FALSE(Parse({"/SILENT", "/MODE=replace", "update6.ini"}).ok());
}

TEST(SwitchesTest, QuietArgumentsAreSeenEvenOnABadLine) {
  EXPECT_TRUE(ArgumentsAskForQuiet({"/bogus", "-VerySilent"}));
  EXPECT_TRUE(ArgumentsAskForQuiet({"/SUPPRESSMSGBOXES", "/MODE=x"}));
  EXPECT_FALSE(ArgumentsAskForQuiet({"/bogus", "/LOG"}));
}

// The "system" boxes behind the decorator answer Retry/Yes/OK where they can, so a test sees
// whether a box reached the person or was answered by default.
class UnattendedDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    person.default_answer = [](const platform::AutoDialogs::Shown& s) {
      for (DialogResult r : {DialogResult::kRetry, DialogResult::kYes, DialogResult::kOk}) {
        for (DialogResult b : s.buttons) {
          if (b == r) return r;
        }
      }
      return s.buttons.empty() ? DialogResult::kOk : s.buttons.front();
    };
  }
  struct Lines : install::NullRunLog {
    std::vector<std::string> notes;
    void Note(const std::string& line) override { notes.push_back(line); }
  };
  platform::AutoDialogs person;
  Lines log;
};

const std::vector<DialogResult> kFailure = {DialogResult::kAbort, DialogResult::kRetry,
                                            DialogResult::kIgnore};
const std::vector<DialogResult> kOverwrite = {DialogResult::kYes, DialogResult::kNo,
                                              DialogResult::kNoToAll, DialogResult::kYesToAll};

TEST_F(UnattendedDialogsTest, SuppressedBoxesGetTheDocumentedDefaults) {
  UnattendedDialogs d(person, log, {/*suppress=*/true, false, false});
  EXPECT_EQ(d.ShowMessage("Файл [Base.zip] не найден!", "Ошибка!", {DialogResult::kOk},
                          MessageIcon::kNone, DialogResult::kNone),
            DialogResult::kOk);
  EXPECT_EQ(d.ShowMessage("Overwrite file \"a\" with \"b\"", "Confirm", kOverwrite,
                          MessageIcon::kQuestion, DialogResult::kNone),
            DialogResult::kNo);
  EXPECT_FALSE(d.abort_answered());
  EXPECT_EQ(d.ShowMessage("CRC error in Base\\Kl_spr.db", "Confirm", kFailure,
                          MessageIcon::kQuestion, DialogResult::kNone),
            DialogResult::kAbort);
  EXPECT_TRUE(d.abort_answered());
  EXPECT_EQ(d.ShowMessage("Read error", "Confirm", {DialogResult::kAbort, DialogResult::kIgnore},
                          MessageIcon::kQuestion, DialogResult::kNone),
            DialogResult::kAbort);
  // Without an explicit /MODE=replace the warning keeps its default, No.
  EXPECT_EQ(d.ShowMessage(install::kReplaceWarning, "Tarvo Update",
                          {DialogResult::kYes, DialogResult::kNo}, MessageIcon::kWarning,
                          DialogResult::kNo),
            DialogResult::kNo);
  std::string value = "typed";
  EXPECT_FALSE(d.InputQuery("Password for \"a.db\"", "Enter password: ", value));
  EXPECT_EQ(value, "typed");
  EXPECT_TRUE(person.shown().empty());

  ASSERT_EQ(log.notes.size(), 6u);
  EXPECT_EQ(log.notes[2],
            "Message \"Confirm\": CRC error in Base\\Kl_spr.db [Abort/Retry/Ignore] -> Abort "
            "(automatic)");
  EXPECT_EQ(log.notes[5],
            "Question \"Password for \"a.db\"\": Enter password:  -> cancelled (automatic)");
}

TEST_F(UnattendedDialogsTest, WithoutSuppressingOnlyTheSettledQuestionsSkipThePerson) {
  UnattendedDialogs d(person, log, {false, /*answer_information=*/true, /*confirm_replace=*/true});
  EXPECT_EQ(d.ShowMessage(install::kRestoreNotice, "Tarvo Update", {DialogResult::kOk},
                          MessageIcon::kInformation, DialogResult::kNone),
            DialogResult::kOk);
  EXPECT_EQ(d.ShowMessage(install::kReplaceWarning, "Tarvo Update",
                          {DialogResult::kYes, DialogResult::kNo}, MessageIcon::kWarning,
                          DialogResult::kNo),
            DialogResult::kYes);
  EXPECT_TRUE(person.shown().empty());
  // Errors and engine questions still go to the person, and the answer is logged as theirs.
  EXPECT_EQ(d.ShowMessage("Table is busy", "Tarvo Update", {DialogResult::kOk}, MessageIcon::kError,
                          DialogResult::kNone),
            DialogResult::kOk);
  EXPECT_EQ(
      d.ShowMessage("Disk error", "Confirm", kFailure, MessageIcon::kQuestion, DialogResult::kNone),
      DialogResult::kRetry);
  person.QueueInput("secret");
  std::string value;
  EXPECT_TRUE(d.InputQuery("Password", "Enter password: ", value));
  EXPECT_EQ(value, "secret");
  EXPECT_EQ(person.shown().size(), 3u);  // the error, the failure dialog, the password
  EXPECT_FALSE(d.abort_answered());
  ASSERT_EQ(log.notes.size(), 5u);
  EXPECT_NE(log.notes[1].find("-> Yes (automatic)"), std::string::npos);
  EXPECT_NE(log.notes[3].find("[Abort/Retry/Ignore] -> Retry (by the user)"), std::string::npos);
  // A password typed by the person never reaches the log.
  EXPECT_EQ(log.notes[4].find("secret"), std::string::npos);
}

TEST_F(UnattendedDialogsTest, APersonsAbortCountsToo) {
  UnattendedDialogs d(person, log, {});
  person.QueueAnswer(DialogResult::kAbort);
  EXPECT_EQ(
      d.ShowMessage("Disk error", "Confirm", kFailure, MessageIcon::kQuestion, DialogResult::kNone),
      DialogResult::kAbort);
  EXPECT_TRUE(d.abort_answered());
  // Nothing is settled without switches: even the replacement warning is the person's.
  person.QueueAnswer(DialogResult::kNo);
  EXPECT_EQ(d.ShowMessage(install::kReplaceWarning, "Tarvo Update",
                          {DialogResult::kYes, DialogResult::kNo}, MessageIcon::kWarning,
                          DialogResult::kNo),
            DialogResult::kNo);
  EXPECT_EQ(person.shown().size(), 2u);
}

class RunLogTest : public ::testing::Test {
 protected:
  testing::TestServices t;
  platform::testing::SetClock clock{{2026, 12, 9, 7, 5, 3, 0, 3}};
  double now = 100.0;
  FileRunLog::Seconds seconds = [this] { return now; };
};

TEST_F(RunLogTest, ALinePerStepWithTheTimeEachStageTook) {
  const std::string path = t.root + "run.log";
  t.Write(path, "an older log, much longer than the new one will be ....................");
  {
    auto log = CreateRunLog(*t.services.fs, clock, path, seconds);
    log->Note("Update description read");
    log->StageStarted(1);
    now += 2.25;
    log->StageEnded(1, 0);
    log->StageStarted(3);
    now += 0.5;
    log->StageEnded(3, 3);
    log->StageStarted(4);
    now += 61;
    log->RunError("Table Base8491.db is busy");
    log->RunError("Unknown error");
    log->RunResult(3);
    log->RunResult(0);
  }
  const std::string want =
      "\xEF\xBB\xBF"
      "2026-12-09 07:05:03  Update description read\r\n"
      "2026-12-09 07:05:03  Stage started: 1. Резервное копирование текущей БД\r\n"
      "2026-12-09 07:05:03  Stage ended: 1. Резервное копирование текущей БД, took 2.2 s\r\n"
      "2026-12-09 07:05:03  Stage started: 3. Установка новой БД\r\n"
      "2026-12-09 07:05:03  Stage ended: 3. Установка новой БД, took 0.5 s, failed with code 3\r\n"
      "2026-12-09 07:05:03  Stage started: 4. Восстановление пользовательских данных\r\n"
      "2026-12-09 07:05:03  Stage failed: 4. Восстановление пользовательских данных, after 61.0 "
      "s: Table Base8491.db is busy\r\n"
      "2026-12-09 07:05:03  Error: Unknown error\r\n"
      "2026-12-09 07:05:03  Result code 3: Не удалось установить обновление.\r\n"
      "2026-12-09 07:05:03  Result code 0: Обновление успешно установлено на Ваш компьютер.\r\n";
  EXPECT_EQ(t.Read(path), want);
}

TEST_F(RunLogTest, TheTemporaryFolderGetsANewDatedFileEachTime) {
  EXPECT_EQ(DatedLogName(clock.now, 1), "TarvoUpdate_2026-12-09_07-05-03.log");
  EXPECT_EQ(DatedLogName(clock.now, 2), "TarvoUpdate_2026-12-09_07-05-03_2.log");
  testing::memory::MemoryFileSystem fs;
  fs.AddFolder("C:\\Temp");
  // A folder of that name is in the way, as a file would be.
  fs.AddFolder("C:\\Temp\\" + DatedLogName(clock.now, 2));
  std::vector<std::string> made;
  for (int i = 0; i < 3; ++i) {
    auto log = CreateRunLog(fs, clock, "", seconds);
    log->Note("run " + std::to_string(i));
    made.push_back(log->path());
  }
  EXPECT_EQ(made, (std::vector<std::string>{"C:\\Temp\\" + DatedLogName(clock.now, 1),
                                            "C:\\Temp\\" + DatedLogName(clock.now, 3),
                                            "C:\\Temp\\" + DatedLogName(clock.now, 4)}));
  EXPECT_NE(fs.Content(made[1]).find("run 1"), std::string::npos);
  EXPECT_EQ(fs.Content(made[0]).find("run 1"), std::string::npos);
}

TEST_F(RunLogTest, ALogThatCannotBeMadeSaysWhere) {
  const std::string path = t.root + "no such folder\\run.log";
  try {
    CreateRunLog(*t.services.fs, clock, path, seconds);
    FAIL() << "no error";
  } catch (const platform::PlatformError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot be created"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("no such folder"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tarvo::app
