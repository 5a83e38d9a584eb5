#include "app/form_main.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/product.h"
#include "app/readiness.h"
#include "tests/app/memory_services.h"

namespace tarvo::app {
namespace {

using testing::memory::FakeServices;
using widgets::Control;
using widgets::Picture;

constexpr char kInstaller[] = "C:\\Update\\";
constexpr char kProduct[] = "C:\\Tarvo\\";

struct ComponentSpec {
  std::string name;
  int check;
  int enabled;
  std::string file;
};

// One start of the installer on a prepared machine; by default everything is ready.
struct Machine {
  bool product_installed = true;
  bool running = false;
  bool open_estimate = false;
  bool check_opened_sm = true;
  std::string file_version = "7.2.5.0";
  std::string product_version = "b";
  bool res_bd = true;
  bool user_tables = true;
  bool product_tables = true;
  bool write_component_count = true;
  std::vector<ComponentSpec> components = {{"Программа", 1, 1, "prog.zip"},
                                           {"База данных", 1, 0, "base.zip"},
                                           {"Справочники", 0, 1, "spr.zip"}};
  std::vector<std::string> missing_archives;
  int dpi = 96;

  FakeServices fake;

  std::unique_ptr<TForm_Main> Start(install::InstallationRun* run = nullptr) {
    std::string ini = "\xEF\xBB\xBF[Info]\r\nCaption=Обновление Tarvo\r\n";
    ini += "BeginText=Начало обновления\r\nBackupText=Перенос данных\r\nText=Замена базы\r\n";
    if (write_component_count) {
      ini += "ComponentCount=" + std::to_string(components.size()) + "\r\n";
    }
    ini += std::string("CheckOpenedSm=") + (check_opened_sm ? "1" : "0") + "\r\n";
    for (size_t i = 0; i < components.size(); ++i) {
      const ComponentSpec& c = components[i];
      std::string n = std::to_string(i + 1);
      ini += "[Component" + n + "]\r\nName" + n + "=" + c.name + "\r\nCheck" + n + "=" +
             std::to_string(c.check) + "\r\nEnabled" + n + "=" + std::to_string(c.enabled) +
             "\r\nFile" + n + "=" + c.file + "\r\n";
      bool missing = false;
      for (const auto& m : missing_archives) missing = missing || m == c.file;
      if (!missing) fake.fs->AddFile(kInstaller + c.file, "archive");
    }
    ini += "[Backup]\r\nBackupCount=1\r\nBackupFileName=Tarvo\r\nBackup_Dir1=Base\r\n";
    fake.fs->AddFile(std::string(kInstaller) + "update6.ini", ini);
    fake.fs->AddFile(std::string(kInstaller) + "TarvoUpdate.exe", "MZ");
    if (user_tables) {
      for (const char* t : {"U_Base8491.db", "U_Link8491.db", "U_Link_mex.DB", "U_W_list.DB"}) {
        fake.fs->AddFile(std::string(kInstaller) + t, "table");
      }
    }
    if (product_installed) {
      fake.registry->keys[kUninstallKey]["InstallLocation"] = kProduct;
      fake.fs->AddFile(std::string(kProduct) + "start7.exe", "MZ");
      fake.fs->AddFile(std::string(kProduct) + "Tarvo7.exe", "MZ");
      fake.version->files["c:\\tarvo\\tarvo7.exe"] = {{"FileVersion", file_version},
                                                      {"ProductVersion", product_version}};
      fake.fs->AddFolder(std::string(kProduct) + "Edit\\Smeta1");
      if (open_estimate) fake.fs->AddFile(std::string(kProduct) + "Edit\\Smeta1\\a_base8491.DB");
      if (res_bd) fake.fs->AddFile(std::string(kProduct) + "Base\\RES.bd");
      if (product_tables) {
        for (const char* t :
             {"Base8491.db", "Link8491.db", "Link_mex.db", "W_list.db", "Kl_spr.db"}) {
          fake.fs->AddFile(std::string(kProduct) + "Base\\" + t, "table");
        }
      }
    }
    if (running) fake.marker->state = platform::RunningMarker::State::kAlreadyExists;
    return std::make_unique<TForm_Main>(fake.services, kInstaller, ScreenInfo{dpi, 1280, 1024},
                                        run);
  }
};

const std::vector<std::string> kChoosingControls = {
    "Btn_install",  "CheckListBox1", "Btn_All_ON",       "Btn_All_OFF",
    "RadioButton1", "RadioButton2",  "Label_for_Radio1", "Label_for_Radio2"};

void ExpectEnabled(const TForm_Main& f, const std::vector<std::string>& names, bool enabled) {
  for (const auto& n : names) EXPECT_EQ(f.Get(n).enabled, enabled) << n;
}

TEST(FormMainTest, ReadyMachineShowsEveryRowPassedAndEnablesInstall) {
  Machine m;
  auto f = m.Start();
  EXPECT_EQ(f->root().text, "Обновление Tarvo");
  EXPECT_EQ(f->Get("Label1").text, "Начало обновления");
  EXPECT_TRUE(f->TransferMode());
  EXPECT_FALSE(f->RunFinished());

  EXPECT_EQ(f->Get("Image_1").picture, Picture::kStatusOk);
  EXPECT_EQ(f->Get("StaticText1").text, kProduct);
  EXPECT_EQ(f->Get("Label_1").font.color, kColorPassed);
  EXPECT_EQ(f->Get("Image_2").picture, Picture::kStatusOk);
  EXPECT_EQ(f->Get("Label_2").text, "Программный комплекс в данный момент не работает");
  EXPECT_EQ(f->Get("Label_2").font.color, kColorPassed);
  EXPECT_EQ(f->Get("Image_3").picture, Picture::kStatusOk);
  EXPECT_EQ(f->Get("Label_3").text, "Нет открытых смет");
  EXPECT_EQ(f->Get("Label_3").font.color, kColorPassed);
  EXPECT_EQ(f->Get("Image_4").picture, Picture::kStatusOk);
  EXPECT_EQ(f->Get("Label_Version").text, "7.25b (текущая версия: 7.25b)");
  EXPECT_EQ(f->Get("Label_4").font.color, kColorPassed);
  EXPECT_EQ(f->Get("Label_Version").font.color, kColorPassed);

  EXPECT_EQ(f->Get("Memo1").font.color, kColorPassed);
  EXPECT_EQ(f->Get("Memo1").lines, std::vector<std::string>{kReadyLine});
  ExpectEnabled(*f, kChoosingControls, true);
  EXPECT_TRUE(f->Get("Btn_exit").enabled);
  EXPECT_FALSE(f->Get("RadioButton1").checked);
  EXPECT_FALSE(f->Get("RadioButton2").checked);
  EXPECT_TRUE(f->Get("Btn_All_ON").visible);

  const Control& list = f->Get("CheckListBox1");
  ASSERT_EQ(list.items.size(), 4u);
  EXPECT_TRUE(list.items[0].header);
  EXPECT_EQ(list.items[0].text, "Устанавливаемые компоненты");
  EXPECT_EQ(list.items[2].text, "База данных");
  EXPECT_TRUE(list.items[2].checked);
  EXPECT_FALSE(list.items[2].enabled);
  EXPECT_FALSE(list.items[3].checked);
  EXPECT_EQ(f->ComponentFile(3), "spr.zip");
  EXPECT_EQ(f->ComponentRowCount(), 4);

  std::vector<std::string> order;
  for (Control* c : f->TabOrder()) order.push_back(c->name);
  EXPECT_EQ(order,
            (std::vector<std::string>{"Memo1", "CheckListBox1", "Btn_All_ON", "Btn_All_OFF",
                                      "Btn_install", "Btn_exit", "RadioButton1", "RadioButton2"}));
}

TEST(FormMainTest, ProductNotFoundGreysTheOpenEstimatesRowAndBlocksEverything) {
  Machine m;
  m.product_installed = false;
  auto f = m.Start();
  EXPECT_EQ(f->Get("Image_1").picture, Picture::kStatusStop);
  EXPECT_EQ(f->Get("StaticText1").text, "Программный комплекс Tarvo Estimate не найден.");
  EXPECT_EQ(f->Get("Label_1").font.color, kColorFailed);
  EXPECT_EQ(f->Get("Image_open").picture, Picture::kOpenEstimatesDisabled);
  EXPECT_EQ(f->Get("Label_3").text,
            "Открытые сметы: Программный комплекс Tarvo Estimate не найден.");
  EXPECT_FALSE(f->Get("Label_3").enabled);
  EXPECT_EQ(f->Get("Image_3").picture, Picture::kNone);
  // The installer's own executable has no version resource, which sorts above "7.25b".
  EXPECT_EQ(f->Get("Label_Version").text, "7.25b (текущая версия: ValueValue Not Available)");
  EXPECT_EQ(f->Get("Image_4").picture, Picture::kStatusOk);

  EXPECT_EQ(f->Get("Memo1").font.color, kColorFailed);
  ASSERT_GE(f->Get("Memo1").lines.size(), 2u);
  EXPECT_EQ(f->Get("Memo1").lines[0], kNotPossibleLine);
  ExpectEnabled(*f, kChoosingControls, false);
  EXPECT_TRUE(f->Get("Btn_exit").enabled);

  f->Activate();
  EXPECT_EQ(f->active_control(), &f->Get("Btn_exit"));
}

TEST(FormMainTest, FailedChecksShowStopPicturesInMaroon) {
  {
    Machine m;
    m.running = true;
    auto f = m.Start();
    EXPECT_EQ(f->Get("Image_2").picture, Picture::kStatusStop);
    EXPECT_EQ(f->Get("Label_2").text, "Программный комплекс в данный момент работает");
    EXPECT_EQ(f->Get("Label_2").font.color, kColorFailed);
    ExpectEnabled(*f, kChoosingControls, false);
  }
  {
    Machine m;
    m.open_estimate = true;
    auto f = m.Start();
    EXPECT_EQ(f->Get("Image_3").picture, Picture::kStatusStop);
    EXPECT_EQ(f->Get("Label_3").text, "Есть открытые сметы");
    EXPECT_EQ(f->Get("Label_3").font.color, kColorFailed);
    EXPECT_TRUE(f->Get("Label_3").enabled);
    ExpectEnabled(*f, kChoosingControls, false);
  }
  {
    Machine m;
    m.file_version = "7.2.4.0";
    m.product_version = "c";
    auto f = m.Start();
    EXPECT_EQ(f->Get("Image_4").picture, Picture::kStatusStop);
    EXPECT_EQ(f->Get("Label_Version").text, "7.25b (текущая версия: 7.24c)");
    EXPECT_EQ(f->Get("Label_4").font.color, kColorFailed);
    EXPECT_EQ(f->Get("Label_Version").font.color, kColorFailed);
    EXPECT_EQ(f->Get("Image_1").picture, Picture::kStatusOk);
    ExpectEnabled(*f, kChoosingControls, false);
  }
}

// The version row takes the place of the removed open-estimates row and the window shrinks.
void ExpectRowThreeRemoved(int dpi, int full_height, int shrink, int balloon_lift) {
  Machine full_machine;
  full_machine.dpi = dpi;
  auto full = full_machine.Start();
  EXPECT_EQ(full->root().bounds.height, full_height);

  Machine m;
  m.dpi = dpi;
  m.check_opened_sm = false;
  auto f = m.Start();
  EXPECT_EQ(f->root().bounds.height, full_height - shrink);
  for (const char* n : {"Image_open", "Label_3", "Image_3", "Bevel_3"}) {
    EXPECT_FALSE(f->Get(n).visible) << n;
  }
  EXPECT_EQ(f->Get("Image_version").bounds.top, full->Get("Image_open").bounds.top);
  EXPECT_EQ(f->Get("Label_4").bounds.top, full->Get("Label_3").bounds.top);
  EXPECT_EQ(f->Get("Label_Version").bounds.top, full->Get("Label_3").bounds.top);
  EXPECT_EQ(f->Get("Image_4").bounds.top, full->Get("Image_3").bounds.top);
  EXPECT_EQ(f->Get("Bevel_4").bounds.top, full->Get("Bevel_3").bounds.top);
  // Everything below the rows moves up with the window's bottom edge.
  EXPECT_EQ(f->Get("Panel2").bounds.top, full->Get("Panel2").bounds.top - shrink);
  EXPECT_EQ(f->Get("StatusBar1").bounds.bottom(), f->root().bounds.height);
  EXPECT_EQ(f->Get("Memo1").lines, std::vector<std::string>{kReadyLine});

  f->Activate();
  const Control& label = f->Get("Label_for_Radio1");
  const Control& balloon = f->Get("ChoiceHint");
  widgets::Point p = f->ScreenPosition(label);
  EXPECT_TRUE(balloon.visible);
  EXPECT_EQ(balloon.bounds.left, p.x + label.bounds.width / 8);
  EXPECT_EQ(balloon.bounds.top, p.y + label.bounds.height - balloon_lift);
}

TEST(FormMainTest, RowThreeRemovedAt96Dpi) { ExpectRowThreeRemoved(96, 560, 40, 6); }

TEST(FormMainTest, RowThreeRemovedAt120DpiRoundsHalvesToEven) {
  // Icon 40 pixels plus 8 x 1.25; the balloon lifts by 6 x 1.25 = 7.5, rounded to 8.
  ExpectRowThreeRemoved(120, 700, 50, 8);
  // At 1.75 the lift is 10.5, which goes down to 10.
  ExpectRowThreeRemoved(168, 980, 56 + 14, 10);
}

TEST(FormMainTest, LayoutIsScaledWithTheScreen) {
  Machine m;
  m.dpi = 120;
  auto f = m.Start();
  EXPECT_DOUBLE_EQ(f->scale(), 1.25);
  EXPECT_EQ(f->root().bounds.width, 629);
  EXPECT_EQ(f->Get("Label_for_Radio1").bounds, (widgets::Rect{81, 100, 533, 39}));
  EXPECT_EQ(f->Get("Btn_install").font.height, 14);
  EXPECT_EQ(f->Get("CheckListBox1").item_height, 23);
  EXPECT_EQ(f->Get("HeaderControl1").sections[0].width, 550);
}

TEST(FormMainTest, SingleComponentHidesTheAllButtons) {
  Machine m;
  m.write_component_count = false;  // defaults to one component
  auto f = m.Start();
  EXPECT_FALSE(f->Get("Btn_All_ON").visible);
  EXPECT_FALSE(f->Get("Btn_All_OFF").visible);
  EXPECT_EQ(f->Get("CheckListBox1").items.size(), 2u);

  Machine two;
  two.components.resize(2);
  auto g = two.Start();
  EXPECT_TRUE(g->Get("Btn_All_ON").visible);
}

TEST(FormMainTest, MissingArchiveDisablesInstallAtFirstActivationUntilTheRuleRuns) {
  Machine m;
  m.missing_archives = {"spr.zip"};
  auto f = m.Start();
  ASSERT_EQ(m.fake.dialogs->shown.size(), 1u);
  EXPECT_EQ(m.fake.dialogs->shown[0].first, "Файл [spr.zip] не найден!");
  EXPECT_TRUE(f->ComponentFileMissing());
  EXPECT_TRUE(f->Get("Btn_install").enabled);
  EXPECT_EQ(f->Get("CheckListBox1").items.size(), 4u);

  f->Activate();
  EXPECT_FALSE(f->Get("Btn_install").enabled);
  EXPECT_EQ(f->active_control(), &f->Get("Btn_install"));
  f->Activate();  // only the first activation counts
  f->ToggleItem(f->Get("CheckListBox1"), 3);
  EXPECT_TRUE(f->Get("Btn_install").enabled);
}

TEST(FormMainTest, InstallButtonRuleFollowsCheckMarksAndModeChoiceOverridesIt) {
  Machine m;
  auto f = m.Start();
  Control& list = f->Get("CheckListBox1");
  f->Click(f->Get("Btn_All_OFF"));
  for (const auto& item : list.items) EXPECT_FALSE(item.checked);
  EXPECT_FALSE(f->Get("Btn_install").enabled);

  f->Click(f->Get("RadioButton2"));
  EXPECT_FALSE(f->TransferMode());
  EXPECT_TRUE(f->Get("Btn_install").enabled);  // the table check ignores the check marks

  f->ToggleItem(list, 1);
  EXPECT_TRUE(list.items[1].checked);
  EXPECT_TRUE(f->Get("Btn_install").enabled);
  f->ToggleItem(list, 1);
  EXPECT_FALSE(f->Get("Btn_install").enabled);

  f->Click(f->Get("Btn_All_ON"));
  for (const auto& item : list.items) EXPECT_TRUE(item.checked);  // header and greyed too
  EXPECT_TRUE(f->Get("Btn_install").enabled);
}

TEST(FormMainTest, GreyedAndHeaderRowsIgnoreTheUser) {
  Machine m;
  auto f = m.Start();
  Control& list = f->Get("CheckListBox1");
  f->ToggleItem(list, 2);  // Enabled2=0
  EXPECT_TRUE(list.items[2].checked);
  f->ToggleItem(list, 0);
  EXPECT_FALSE(list.items[0].checked);
  f->ToggleItem(list, 17);
  f->Click(f->Get("Btn_All_OFF"));
  EXPECT_FALSE(list.items[2].checked);
}

TEST(FormMainTest, ModeChoiceSwitchesTheHeader) {
  Machine m;
  auto f = m.Start();
  f->Click(f->Get("RadioButton1"));
  EXPECT_TRUE(f->TransferMode());
  EXPECT_EQ(f->Get("Label1").text, "Перенос данных");
  EXPECT_EQ(f->Get("Label1").font.color, kClWindowText);
  EXPECT_EQ(f->Get("Shape1").color, kClSkyBlue);
  EXPECT_EQ(f->Get("Memo1").lines, std::vector<std::string>{kReadyLine});

  f->Click(f->Get("RadioButton2"));
  EXPECT_FALSE(f->Get("RadioButton1").checked);
  EXPECT_FALSE(f->TransferMode());
  EXPECT_EQ(f->Get("Label1").text, "Замена базы");
  EXPECT_EQ(f->Get("Label1").font.color, kClAqua);
  EXPECT_EQ(f->Get("Shape1").color, 0x804000u);
  ExpectEnabled(*f, kChoosingControls, true);
}

TEST(FormMainTest, FailedTableCheckGreysChoosingButKeepsExit) {
  Machine m;
  m.user_tables = false;
  auto f = m.Start();
  f->Activate();
  ASSERT_TRUE(f->Get("ChoiceHint").visible);
  ASSERT_TRUE(f->Get("Timer1").enabled);

  f->Click(f->Get("RadioButton1"));
  EXPECT_FALSE(f->Get("ChoiceHint").visible);
  EXPECT_FALSE(f->Get("Timer1").enabled);
  EXPECT_EQ(f->Get("Memo1").font.color, kColorFailed);
  EXPECT_EQ(
      f->Get("Memo1").lines,
      (std::vector<std::string>{kNotPossibleLine, "Некорректный состав модулей обновления."}));
  ExpectEnabled(*f, kChoosingControls, false);
  EXPECT_TRUE(f->Get("Btn_exit").enabled);
  // Nothing that takes input reacts any more.
  f->Click(f->Get("RadioButton2"));
  EXPECT_TRUE(f->TransferMode());
  f->Click(f->Get("Btn_All_ON"));
  EXPECT_FALSE(f->Get("Btn_install").enabled);
}

TEST(FormMainTest, MissingMarkerFileOpensInReplaceMode) {
  Machine m;
  m.res_bd = false;
  auto f = m.Start();
  EXPECT_FALSE(f->Get("RadioButton1").enabled);
  EXPECT_TRUE(f->Get("RadioButton2").checked);
  EXPECT_FALSE(f->TransferMode());
  EXPECT_FALSE(f->TransferChoiceEnabled());
  EXPECT_EQ(f->Get("Label1").text, "Замена базы");
  EXPECT_EQ(f->Get("Memo1").lines, std::vector<std::string>{kReadyLine});
  EXPECT_TRUE(f->Get("Btn_install").enabled);
}

TEST(FormMainTest, ChoiceHintTimerHidesTheBalloon) {
  Machine m;
  auto f = m.Start();
  f->Activate();
  Control& balloon = f->Get("ChoiceHint");
  EXPECT_EQ(balloon.title, "Информация");
  EXPECT_EQ(balloon.text, "Необходимо выбрать вариант установки обновления");
  EXPECT_EQ(balloon.max_width, 1280);
  EXPECT_EQ(f->Get("Timer1").interval_ms, 6500);
  f->TimerElapsed(f->Get("Timer1"));
  EXPECT_FALSE(balloon.visible);
  EXPECT_FALSE(f->Get("Timer1").enabled);
  f->ShowChoiceHint();
  f->HideChoiceHint();
  EXPECT_FALSE(balloon.visible);
  EXPECT_FALSE(f->Get("Timer1").enabled);
}

TEST(FormMainTest, StatusBarShowsTheHintUnderThePointer) {
  Machine m;
  auto f = m.Start();
  Control& bar = f->Get("StatusBar1");
  EXPECT_EQ(bar.sections[1].text, "3.55");
  widgets::Point p = f->ScreenPosition(f->Get("Btn_exit"));
  widgets::Point origin = f->client_origin();
  Control& under = f->ControlAt({p.x - origin.x + 3, p.y - origin.y + 3});
  EXPECT_EQ(under.name, "Btn_exit");
  f->PointerOver(under);
  EXPECT_EQ(bar.sections[0].text, "Завершить работу с программой обновления");
  f->PointerOver(f->Get("StaticText1"));
  EXPECT_EQ(bar.sections[0].text, "Путь доступа к Tarvo");
  f->PointerOver(f->Get("Image1"));
  EXPECT_EQ(bar.sections[0].text, "");
}

TEST(FormMainTest, LockForRunAndResult) {
  Machine m;
  auto f = m.Start();
  f->Click(f->Get("RadioButton1"));
  f->LockForRun();
  ExpectEnabled(*f,
                {"Btn_install", "CheckListBox1", "Btn_All_ON", "Btn_All_OFF", "Btn_exit", "Label_1",
                 "StaticText1", "Label_2", "Label_3", "Label_4", "Label_Version", "RadioButton1",
                 "RadioButton2", "Label_for_Radio1", "Label_for_Radio2"},
                false);
  EXPECT_EQ(f->Get("Panel_info").bounds, f->Get("Memo1").bounds);
  EXPECT_TRUE(f->Get("Panel_info").visible);
  EXPECT_FALSE(f->Get("Memo1").visible);
  for (const char* n : {"Image_1", "Image_2", "Image_3", "Image_4"}) {
    EXPECT_EQ(f->Get(n).picture, Picture::kStatusDisabled) << n;
  }
  EXPECT_EQ(f->Get("Image_path").picture, Picture::kPathDisabled);
  EXPECT_EQ(f->Get("Image_state").picture, Picture::kProgramStateDisabled);
  EXPECT_EQ(f->Get("Image_open").picture, Picture::kOpenEstimatesDisabled);
  EXPECT_EQ(f->Get("Image_comp").picture, Picture::kComponentsDisabled);
  EXPECT_EQ(f->Get("Image_version").picture, Picture::kVersionDisabled);
  EXPECT_EQ(f->Get("Image_info").picture, Picture::kClock);
  EXPECT_EQ(f->cursor(), widgets::Cursor::kHourGlass);

  f->ShowProgressPanel();
  EXPECT_TRUE(f->Get("GrPanel1").visible);
  EXPECT_TRUE(f->Get("GrLabel_Level1").font.bold);
  f->ShowResult(0);
  EXPECT_EQ(f->Get("Label2").text, "Обновление успешно установлено на Ваш компьютер.");
  EXPECT_EQ(f->Get("Label2").font.color, kColorPassed);
  EXPECT_EQ(f->Get("Label2").color, kClWhite);
  EXPECT_EQ(f->Get("Image_info").picture, Picture::kInfo);
  EXPECT_TRUE(f->Get("Btn_exit").enabled);
  EXPECT_EQ(f->active_control(), &f->Get("Btn_exit"));
  EXPECT_EQ(f->cursor(), widgets::Cursor::kDefault);
  EXPECT_TRUE(f->RunFinished());
  EXPECT_FALSE(f->Get("GrPanel1").visible);
  EXPECT_FALSE(f->Get("Btn_install").enabled);

  Machine failed;
  auto g = failed.Start();
  g->LockForRun();
  g->ShowResult(3);
  EXPECT_EQ(g->Get("Label2").text, "Не удалось установить обновление.");
  EXPECT_EQ(g->Get("Label2").font.color, kClRed);
  EXPECT_EQ(g->Get("Label2").color, kClMaroon);
}

TEST(FormMainTest, ProgressOperations) {
  Machine m;
  auto f = m.Start();
  f->ShowProgressPanel();
  f->SetStageActive(1, false);
  f->SetStageActive(3, true);
  EXPECT_FALSE(f->Get("GrLabel_Level1").font.bold);
  EXPECT_TRUE(f->Get("GrLabel_Level3").font.bold);
  EXPECT_FALSE(f->Get("Image1_2").visible);
  f->ShowStageTick(2);
  EXPECT_TRUE(f->Get("Image1_2").visible);
  EXPECT_THROW(f->SetStageActive(5, true), widgets::FormError);
  EXPECT_THROW(f->ShowStageTick(0), widgets::FormError);

  EXPECT_FALSE(f->Get("GrLabel_info_data").enabled);
  f->SetActivity(install::Activity::kData, true);
  EXPECT_TRUE(f->Get("GrLabel_info_data").enabled);
  EXPECT_FALSE(f->Get("GrLabel_info_save").enabled);
  f->SetActivity(install::Activity::kData, false);
  EXPECT_FALSE(f->Get("GrLabel_info_data").enabled);

  f->SetProgressPercent(42);
  EXPECT_EQ(f->ProgressPercent(), 42);
  f->SetProgressPercent(130);
  EXPECT_EQ(f->ProgressPercent(), 100);
  f->SetProgressPercent(-5);
  EXPECT_EQ(f->ProgressPercent(), 0);
}

// Copies every listed archive into the product folder, as the component stage does, then fails.
class CopyingRun : public install::InstallationRun {
 public:
  explicit CopyingRun(platform::FileSystem& fs) : fs_(fs) {}
  int Run(install::MainWindowOps& window) override {
    ++calls;
    saw_transfer_choice = window.TransferChoiceChecked();
    window.LockForRun();
    for (int row = 1; row < window.ComponentRowCount(); ++row) {
      (void)fs_.CopyFileNoOverwrite(kInstaller + window.ComponentFile(row),
                                    kProduct + window.ComponentFile(row));
    }
    if (close_midway) {
      close_midway();
      close_requested = window.CloseRequested();
    }
    window.ShowResult(3);
    return 3;
  }
  int calls = 0;
  bool saw_transfer_choice = false;
  bool close_requested = false;
  std::function<void()> close_midway;

 private:
  platform::FileSystem& fs_;
};

TEST(FormMainTest, ClosingAfterARunDeletesTheArchiveCopies) {
  Machine m;
  CopyingRun run(*m.fake.fs);
  auto f = m.Start(&run);
  m.fake.fs->AddFile(std::string(kProduct) + "keep.zip");
  f->Click(f->Get("RadioButton1"));
  f->Click(f->Get("Btn_install"));
  EXPECT_EQ(run.calls, 1);
  EXPECT_TRUE(run.saw_transfer_choice);
  EXPECT_TRUE(f->RunFinished());
  f->Click(f->Get("Btn_install"));  // disabled: no second run
  EXPECT_EQ(run.calls, 1);

  f->Click(f->Get("Btn_exit"));
  EXPECT_TRUE(f->closed());
  for (const char* file : {"prog.zip", "base.zip", "spr.zip"}) {
    EXPECT_FALSE(m.fake.fs->FileExists(kProduct + std::string(file))) << file;
    EXPECT_TRUE(m.fake.fs->FileExists(kInstaller + std::string(file))) << file;
  }
  EXPECT_TRUE(m.fake.fs->FileExists(std::string(kProduct) + "keep.zip"));
}

TEST(FormMainTest, ClosingBeforeOrDuringARunDeletesNothing) {
  {
    Machine m;
    auto f = m.Start();
    m.fake.fs->AddFile(std::string(kProduct) + "prog.zip");
    f->Close();
    EXPECT_TRUE(f->closed());
    EXPECT_TRUE(m.fake.fs->deleted().empty());
  }
  {
    Machine m;
    CopyingRun run(*m.fake.fs);
    auto f = m.Start(&run);
    run.close_midway = [&] { f->Close(); };
    f->Click(f->Get("RadioButton1"));
    f->Click(f->Get("Btn_install"));
    EXPECT_TRUE(run.close_requested);
    EXPECT_TRUE(f->RunFinished());
    EXPECT_TRUE(m.fake.fs->deleted().empty());
    EXPECT_TRUE(m.fake.fs->FileExists(std::string(kProduct) + "prog.zip"));
  }
}

// A front end receives every change while it is made, so it can repaint at once.
class RecordingView : public widgets::FormView {
 public:
  void ControlChanged(const Control& c) override { changed.push_back(c.name); }
  void RepaintAll() override { ++repaints; }
  void RedrawAll() override { ++redraws; }
  void CursorChanged(widgets::Cursor) override {}
  void FocusChanged(const Control&) override {}
  void ProcessPendingMessages() override {}
  std::vector<std::string> changed;
  int repaints = 0;
  int redraws = 0;
};

TEST(FormMainTest, RunOperationsRepaintAtOnce) {
  Machine m;
  auto f = m.Start();
  RecordingView view;
  f->SetView(&view);
  f->SetProgressPercent(10);
  EXPECT_EQ(view.changed, std::vector<std::string>{"GrProgressBar1"});
  EXPECT_EQ(view.repaints, 1);
  f->SetActivity(install::Activity::kChecking, true);
  EXPECT_EQ(view.changed.back(), "GrPanel1");
  EXPECT_EQ(view.repaints, 2);
  // After the run's own box, what the box covered is painted too, not only what changed.
  f->Repaint();
  EXPECT_EQ(view.redraws, 1);
  EXPECT_EQ(view.repaints, 2);
  f->SetView(nullptr);
}

}  // namespace
}  // namespace tarvo::app
