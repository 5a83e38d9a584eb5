#include "app/readiness.h"

#include <gtest/gtest.h>

#include "app/product.h"
#include "install/run_progress.h"
#include "tests/app/fake_services.h"

namespace tarvo::app {
namespace {

const std::string kNotInstalled =
    "Программный комплекс Tarvo Estimate 6 не установлен на Вашем компьютере.";
const std::string kRunning = "Программный комплекс Tarvo Estimate 6 работает.";
const std::string kOpen = "Есть открытые сметы.";
const std::string kTooOld =
    "Для установки данного обновления требуется версия 7.25b программного комплекса Tarvo "
    "Estimate 6.";

class ReadinessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    product_ = env_.root + "Tarvo\\";
    installer_ = env_.root + "Update\\";
    (void)env_.services.fs->CreateDirectories(installer_);
    description_.BackupFolders[0] = "Base";
  }

  // A complete, idle product of version 7.25b with its database marker.
  void InstallProduct(const std::string& file_version = "7.2.5.0",
                      const std::string& product_version = "b") {
    env_.registry->keys[kUninstallKey]["InstallLocation"] = product_;
    env_.Write(product_ + "start7.exe", "MZ");
    env_.Write(product_ + "Tarvo7.exe", "MZ");
    (void)env_.services.fs->CreateDirectories(product_ + "Edit\\Smeta1");
    env_.Write(product_ + "Base\\RES.bd", "");
    env_.version->files[text::ToLowerUtf8(product_ + "Tarvo7.exe")] = {
        {"FileVersion", file_version}, {"ProductVersion", product_version}};
  }

  void AddTables(bool user = true, bool product = true) {
    if (user) {
      for (const char* n : {"U_Base8491.db", "U_Link8491.db", "U_Link_mex.DB", "U_W_list.DB"}) {
        env_.Write(installer_ + n, "");
      }
    }
    if (product) {
      for (const char* n :
           {"Base8491.db", "Link8491.db", "Link_mex.db", "W_list.db", "Kl_spr.db"}) {
        env_.Write(product_ + "Base\\" + n, "");
      }
    }
  }

  const StartupVerdict& Evaluate() {
    checks_ = std::make_unique<ProductChecks>(env_.services, installer_, description_);
    return checks_->EvaluateStartup();
  }

  testing::TestServices env_;
  UpdateDescription description_;
  std::string product_;
  std::string installer_;
  std::unique_ptr<ProductChecks> checks_;
};

TEST(VersionOrder, TheTableOfVersions) {
  struct Row {
    const char* file_version;
    const char* product_version;
    const char* installed;
    bool sufficient;
  };
  const Row rows[] = {
      {"7.2.5.0", "b", "7.25b", true},
      {"7.2.5.0", "c", "7.25c", true},
      {"7.2.4.0", "c", "7.24c", false},
      {"7.2.5.0", "", "7.25", false},
      {"7.3.0.0", "", "7.30", true},
      {"10.0.0.0", "a", "10.0.a", false},
      {"7.25.0.1", "b", "7.25.b", false},
      {"Value Not Available", "Value Not Available", "ValueValue Not Available", true},
  };
  for (const Row& r : rows) {
    const std::string installed = NormaliseFileVersion(r.file_version) + r.product_version;
    EXPECT_EQ(installed, r.installed);
    EXPECT_EQ(!VersionBelow(installed, RequiredVersion()), r.sufficient) << installed;
  }
  EXPECT_EQ(NormaliseFileVersion(" 7.2"), "7.2");
  EXPECT_EQ(NormaliseFileVersion("7.2\t"), "7.2");
  EXPECT_FALSE(VersionBelow("7.25b", "7.25b"));
  EXPECT_TRUE(VersionBelow("", "7.25b"));
}

TEST_F(ReadinessTest, ReadyProductGivesTheReadyLine) {
  InstallProduct();
  const StartupVerdict& v = Evaluate();
  EXPECT_EQ(v.ProductFolder, product_);
  EXPECT_TRUE(v.ProductFound);
  EXPECT_TRUE(v.ProductIdle);
  EXPECT_TRUE(v.NoOpenEstimates);
  EXPECT_TRUE(v.VersionSufficient);
  EXPECT_EQ(v.InstalledVersion, "7.25b");
  EXPECT_EQ(v.VersionRowText, "7.25b (текущая версия: 7.25b)");
  EXPECT_FALSE(v.force_replace_mode);
  EXPECT_EQ(v.memo.color, kColorPassed);
  EXPECT_EQ(v.memo.lines, std::vector<std::string>{kReadyLine});
  EXPECT_EQ(env_.marker->created, std::vector<std::string>{"Tarvo_Estimate_5_memfile"});
  EXPECT_EQ(env_.version->asked.back(), product_ + "Tarvo7.exe");
}

TEST_F(ReadinessTest, ProductNotFoundReadsTheInstallersOwnVersion) {
  const StartupVerdict& v = Evaluate();
  EXPECT_FALSE(v.ProductFound);
  EXPECT_EQ(v.ProductFolder, "");
  EXPECT_FALSE(v.NoOpenEstimates);  // the check is on but had no product to look at
  EXPECT_EQ(v.InstalledVersion, "ValueValue Not Available");
  EXPECT_TRUE(v.VersionSufficient);
  EXPECT_EQ(env_.version->asked.back(), env_.services.fs->ExecutablePath());
  EXPECT_EQ(v.memo.color, kColorFailed);
  // Only the not-installed line speaks for the missing product.
  EXPECT_EQ(v.memo.lines, (std::vector<std::string>{kNotPossibleLine, kNotInstalled}));
}

TEST_F(ReadinessTest, MissingStart7KeepsTheFolderButFindsNoProduct) {
  InstallProduct();
  (void)env_.services.fs->DeleteFileAt(product_ + "start7.exe");
  const StartupVerdict& v = Evaluate();
  EXPECT_FALSE(v.ProductFound);
  EXPECT_EQ(v.ProductFolder, product_);
  EXPECT_EQ(v.InstalledVersion, "ValueValue Not Available");
}

TEST_F(ReadinessTest, EmptyInstallLocationIsNotFound) {
  env_.registry->keys[kUninstallKey]["Other"] = "x";
  env_.Write("start7.exe", "");  // must not be looked for in the current folder
  const StartupVerdict& v = Evaluate();
  (void)env_.services.fs->DeleteFileAt("start7.exe");
  EXPECT_FALSE(v.ProductFound);
}

TEST_F(ReadinessTest, RunningProductAndAccessDenied) {
  InstallProduct();
  for (auto state : {platform::RunningMarker::State::kAlreadyExists,
                     platform::RunningMarker::State::kAccessDenied}) {
    env_.marker->state = state;
    const StartupVerdict& v = Evaluate();
    EXPECT_FALSE(v.ProductIdle);
    EXPECT_EQ(v.memo.lines, (std::vector<std::string>{kNotPossibleLine, kRunning}));
  }
  env_.marker->state = platform::RunningMarker::State::kFailed;
  EXPECT_TRUE(Evaluate().ProductIdle);
}

TEST_F(ReadinessTest, OpenEstimatesAnywhereTheScanReaches) {
  InstallProduct();
  const std::vector<std::string> places = {
      "Edit\\Smeta1\\a_base8491.DB",  // an estimate folder
      "EDIT\\smeta1\\A_BASE8491.db",  // any letter case
      "Edit\\a_base8491.DB",          // the estimate folder itself, through "."
      "a_base8491.DB",                // the product folder, through ".."
  };
  for (const std::string& place : places) {
    env_.Write(product_ + place, "");
    const StartupVerdict& v = Evaluate();
    EXPECT_FALSE(v.NoOpenEstimates) << place;
    EXPECT_EQ(v.memo.lines, (std::vector<std::string>{kNotPossibleLine, kOpen})) << place;
    (void)env_.services.fs->DeleteFileAt(product_ + place);
  }
  EXPECT_TRUE(Evaluate().NoOpenEstimates);
}

TEST_F(ReadinessTest, HiddenEstimateFolderAndMissingEditFolderDoNotBlock) {
  InstallProduct();
#ifdef _WIN32
  const std::string hidden = "Edit\\Hidden";
  env_.Write(product_ + hidden + "\\a_base8491.DB", "");
  env_.services.fs->SetAttributes(product_ + hidden,
                                  platform::kAttrDirectory | platform::kAttrHidden);
#else
  const std::string hidden = "Edit\\.hidden";  // a dot name is the stand-in's hidden folder
  env_.Write(product_ + hidden + "\\a_base8491.DB", "");
#endif
  EXPECT_TRUE(Evaluate().NoOpenEstimates);
  env_.RemoveTree(product_ + "Edit\\");
  EXPECT_TRUE(Evaluate().NoOpenEstimates);
}

TEST_F(ReadinessTest, CheckOpenedSmOffSkipsTheListing) {
  InstallProduct();
  env_.Write(product_ + "Edit\\Smeta1\\a_base8491.DB", "");
  description_.CheckOpenedSm = false;
  const StartupVerdict& v = Evaluate();
  EXPECT_TRUE(v.NoOpenEstimates);
  EXPECT_FALSE(v.CheckOpenedSm);
  EXPECT_TRUE(v.Ready());

  // Without a product too: the open-estimates line never shows.
  env_.registry->keys.clear();
  EXPECT_TRUE(Evaluate().NoOpenEstimates);
}

TEST_F(ReadinessTest, EveryFailureInOrder) {
  InstallProduct("7.2.4.0", "c");
  env_.Write(product_ + "Edit\\Smeta1\\a_base8491.DB", "");
  env_.marker->state = platform::RunningMarker::State::kAlreadyExists;
  const StartupVerdict& v = Evaluate();
  EXPECT_EQ(v.VersionRowText, "7.25b (текущая версия: 7.24c)");
  EXPECT_EQ(v.memo.lines, (std::vector<std::string>{kNotPossibleLine, kRunning, kOpen, kTooOld}));
}

TEST_F(ReadinessTest, VersionResourceWithoutTranslationReadsEmpty) {
  InstallProduct();
  env_.version->without_translation[text::ToLowerUtf8(product_ + "Tarvo7.exe")] = true;
  const StartupVerdict& v = Evaluate();
  EXPECT_EQ(v.InstalledVersion, "");
  EXPECT_FALSE(v.VersionSufficient);
}

// A run that stopped with the users' data saved is shown, and does not stop the button: a run
// in transfer mode from this folder is what finishes it.
TEST_F(ReadinessTest, UnfinishedInstallationIsARowOfItsOwn) {
  InstallProduct();
  const std::string record = product_ + install::kProgressFileName;
  install::RunProgress p;
  p.step = install::RunStep::kInstalled;
  p.installer_folder = installer_;
  p.backup_path = product_ + "Backup\\Архив.zip";
  install::WriteRunProgress(*env_.services.fs, record, p);
  const StartupVerdict& v = Evaluate();
  EXPECT_TRUE(v.Ready());
  EXPECT_TRUE(v.unfinished_installation);
  EXPECT_NE(v.unfinished_text.find(installer_), std::string::npos);
  EXPECT_NE(v.unfinished_text.find(p.backup_path), std::string::npos);
  ASSERT_EQ(v.memo.lines.size(), 2u);
  EXPECT_EQ(v.memo.lines[1], v.unfinished_text);
  EXPECT_EQ(v.memo.color, kColorFailed);

  // A record of a replace run tells of no saved data; a damaged one may hide some.
  p.step = install::RunStep::kExtracting;
  install::WriteRunProgress(*env_.services.fs, record, p);
  EXPECT_FALSE(Evaluate().unfinished_installation);
  env_.Write(record, "TarvoUpdateProgress=1\nStep=3\nCheck=00000000\n");
  EXPECT_TRUE(Evaluate().unfinished_installation);
  (void)env_.services.fs->DeleteFileAt(record);
  EXPECT_FALSE(Evaluate().unfinished_installation);
}

TEST_F(ReadinessTest, MissingResBdForcesReplaceMode) {
  InstallProduct();
  (void)env_.services.fs->DeleteFileAt(product_ + "Base\\RES.bd");
  const StartupVerdict& v = Evaluate();
  EXPECT_TRUE(v.force_replace_mode);
  EXPECT_EQ(v.memo.lines, std::vector<std::string>{kReadyLine});
  const TableVerdict& t = checks_->CheckTables(false);
  EXPECT_TRUE(t.Ready());
  EXPECT_EQ(t.memo.lines, std::vector<std::string>{kReadyLine});
}

TEST_F(ReadinessTest, TableCheckInTransferModeBindsEveryTable) {
  InstallProduct();
  AddTables();
  description_.BackupText = "Перенос данных";
  Evaluate();
  const TableVerdict& t = checks_->CheckTables(true);
  EXPECT_TRUE(t.Ready());
  EXPECT_EQ(checks_->DatabaseFolder(), product_ + "Base\\");
  EXPECT_EQ(checks_->bindings().Table4, installer_ + "U_W_list.DB");
  EXPECT_EQ(checks_->bindings().Tb_Kl_Spr, product_ + "Base\\Kl_spr.db");
  EXPECT_EQ(t.header_text, "Перенос данных");
  EXPECT_EQ(t.header_font_color, kClWindowText);
  EXPECT_EQ(t.header_band_color, kClSkyBlue);
}

TEST_F(ReadinessTest, TableCheckReportsMissingModulesAndDatabase) {
  InstallProduct();
  AddTables();
  (void)env_.services.fs->DeleteFileAt(installer_ + "U_W_list.DB");
  (void)env_.services.fs->DeleteFileAt(product_ + "Base\\Kl_spr.db");
  Evaluate();
  const TableVerdict& t = checks_->CheckTables(true);
  EXPECT_FALSE(t.UpdateModulesComplete);
  EXPECT_FALSE(t.DatabaseIntact);
  EXPECT_EQ(t.memo.color, kColorFailed);
  EXPECT_EQ(t.memo.lines,
            (std::vector<std::string>{kNotPossibleLine, "Некорректный состав модулей обновления.",
                                      "Повреждена обновляемая база данных."}));
}

TEST_F(ReadinessTest, ReplaceModeTestsNoFileAndKeepsEarlierBindings) {
  InstallProduct();
  AddTables(true, true);
  description_.Text = "Замена базы";
  Evaluate();
  checks_->CheckTables(true);
  (void)env_.services.fs->DeleteFileAt(product_ + "Base\\Base8491.db");
  const TableVerdict& t = checks_->CheckTables(false);
  EXPECT_TRUE(t.Ready());
  EXPECT_EQ(checks_->bindings().Tb_Base8491, product_ + "Base\\Base8491.db");
  EXPECT_EQ(t.header_text, "Замена базы");
  EXPECT_EQ(t.header_font_color, kClAqua);
  EXPECT_EQ(t.header_band_color, 0x804000u);
}

TEST_F(ReadinessTest, NoBackupFolderMeansADoubleBackslash) {
  InstallProduct();
  AddTables();
  description_.BackupFolders[0] = "";
  Evaluate();
  checks_->CheckTables(true);
  EXPECT_EQ(checks_->DatabaseFolder(), product_ + "\\");
}

}  // namespace
}  // namespace tarvo::app
