#include "app/form_main.h"

#include <utility>

#include "widgets/control.h"

namespace tarvo::app {

using widgets::Align;
using widgets::Control;
using widgets::ControlKind;
using widgets::Picture;
using widgets::Rect;
using widgets::TextAlign;

namespace {

constexpr int kClientWidth = 503;
constexpr int kClientHeight = 560;
constexpr int kDesignPixelsPerInch = 96;

}  // namespace

TForm_Main::TForm_Main(platform::Services& services, std::string installer_folder,
                       ScreenInfo screen, install::InstallationRun* run)
    : widgets::Form("Form_Main", kClientWidth, kClientHeight),
      services_(services),
      installer_folder_(std::move(installer_folder)),
      screen_(screen),
      run_(run) {
  if (screen_.pixels_per_inch <= 0) screen_.pixels_per_inch = kDesignPixelsPerInch;
  BuildLayout();
  ScaleBy(screen_.pixels_per_inch, kDesignPixelsPerInch);
  FormCreate();
  // Centred on the screen until a front end reports where the window really is.
  SetClientOrigin(
      {(screen_.width - root().bounds.width) / 2, (screen_.height - root().bounds.height) / 2});
}

// The controls as designed at 96 pixels per inch.
void TForm_Main::BuildLayout() {
  Control& form = root();
  form.font = {"Tahoma", 11, false, widgets::kColorWindowText};
  form.color = kClBtnFace;

  auto add = [this](Control& parent, const char* name, ControlKind kind, Rect r) -> Control& {
    return Add(parent, name, kind, r);
  };
  auto label = [&](Control& parent, const char* name, Rect r, const char* text) -> Control& {
    Control& c = add(parent, name, ControlKind::kLabel, r);
    c.text = text;
    c.transparent = true;
    return c;
  };
  auto image = [&](Control& parent, const char* name, Rect r, Picture p) -> Control& {
    Control& c = add(parent, name, ControlKind::kImage, r);
    c.picture = p;
    c.transparent = true;
    return c;
  };
  auto bevel = [&](Control& parent, const char* name, Rect r, bool vertical) -> Control& {
    Control& c = add(parent, name, ControlKind::kBevel, r);
    c.vertical = vertical;
    return c;
  };

  // Header band.
  Shape1_ = &add(form, "Shape1", ControlKind::kShape, {0, 0, kClientWidth, 65});
  Shape1_->align = Align::kTop;
  Shape1_->color = kClMoneyGreen;
  Shape1_->pen_color = kClMoneyGreen;
  image(form, "Image1", {0, 0, 64, 64}, Picture::kHeader);
  Label1_ = &label(form, "Label1", {71, 4, 424, 57}, "");
  Label1_->text_align = TextAlign::kRight;
  Label1_->word_wrap = true;
  Label1_->vertical_center = true;

  StatusBar1_ = &add(form, "StatusBar1", ControlKind::kStatusBar, {0, 541, kClientWidth, 19});
  StatusBar1_->align = Align::kBottom;
  StatusBar1_->sections = {{"", 464, TextAlign::kLeft}, {kVersionLabel, 50, TextAlign::kCenter}};
  set_status_bar(StatusBar1_);

  Panel1_ = &add(form, "Panel1", ControlKind::kPanel, {0, 65, kClientWidth, 476});
  Panel1_->align = Align::kClient;
  Panel1_->border = true;

  Control& header =
      add(*Panel1_, "HeaderControl1", ControlKind::kHeaderControl, {0, 0, kClientWidth, 24});
  header.align = Align::kTop;
  header.sections = {{"Проверка", 440, TextAlign::kCenter}, {"Статус", 60, TextAlign::kCenter}};

  // Separators first: a long row text is drawn over the column line.
  bevel(*Panel1_, "Bevel_2", {46, 65, 393, 2}, false);
  Bevel_3_ = &bevel(*Panel1_, "Bevel_3", {46, 103, 393, 2}, false);
  Bevel_4_ = &bevel(*Panel1_, "Bevel_4", {46, 141, 393, 2}, false);
  bevel(*Panel1_, "Bevel1", {434, 23, 2, 161}, true);

  // Row 1: path.
  Image_path_ = &image(*Panel1_, "Image_path", {8, 30, 32, 32}, Picture::kPath);
  Label_1_ = &label(*Panel1_, "Label_1", {48, 40, 88, 14}, "Путь доступа:");
  Label_1_->font.bold = true;
  Label_1_->hint = "Путь доступа к Tarvo";
  StaticText1_ = &add(*Panel1_, "StaticText1", ControlKind::kStaticText, {139, 40, 295, 14});
  StaticText1_->ellipsis_middle = true;
  StaticText1_->transparent = true;
  StaticText1_->hint = "Путь доступа к Tarvo";
  Image_1_ = &image(*Panel1_, "Image_1", {456, 30, 32, 32}, Picture::kNone);

  // Row 2: program state.
  Image_state_ = &image(*Panel1_, "Image_state", {8, 68, 32, 32}, Picture::kProgramState);
  Label_2_ = &label(*Panel1_, "Label_2", {48, 78, 404, 14}, "Состояние программы");
  Label_2_->font.bold = true;
  Label_2_->hint = "Проверка на присутствие Tarvo в памяти компьютера (в данный момент)";
  Image_2_ = &image(*Panel1_, "Image_2", {456, 68, 32, 32}, Picture::kNone);

  // Row 3: open estimates.
  Image_open_ = &image(*Panel1_, "Image_open", {8, 106, 32, 32}, Picture::kOpenEstimates);
  Label_3_ = &label(*Panel1_, "Label_3", {48, 116, 404, 14}, "Открытые сметы");
  Label_3_->font.bold = true;
  Label_3_->hint = "Проверка на наличие открытых смет";
  Image_3_ = &image(*Panel1_, "Image_3", {456, 106, 32, 32}, Picture::kNone);

  // Row 4: version.
  Image_version_ = &image(*Panel1_, "Image_version", {8, 144, 32, 32}, Picture::kVersion);
  Label_4_ = &label(*Panel1_, "Label_4", {48, 154, 154, 14}, "Требуемая версия Tarvo:");
  Label_4_->font.bold = true;
  Label_4_->hint = "Проверка текущей и требуемой версии Tarvo Estimate";
  Label_Version_ = &label(*Panel1_, "Label_Version", {205, 154, 223, 14}, "");
  Label_Version_->ellipsis_middle = true;
  Label_Version_->hint = "Проверка текущей и требуемой версии Tarvo Estimate";
  Image_4_ = &image(*Panel1_, "Image_4", {456, 144, 32, 32}, Picture::kNone);

  // Pictures the rows copy; never shown themselves.
  const std::pair<const char*, Picture> sources[] = {
      {"Image_OK", Picture::kStatusOk},
      {"Image_Stop", Picture::kStatusStop},
      {"Image_Dis2", Picture::kStatusDisabled},
      {"Image_Dis1", Picture::kOpenEstimatesDisabled},
      {"Image_path_dis", Picture::kPathDisabled},
      {"Image_state_dis", Picture::kProgramStateDisabled},
      {"Image_comp_dis", Picture::kComponentsDisabled},
      {"Image_version_dis", Picture::kVersionDisabled},
      {"Image_clock", Picture::kClock},
      {"Image_info_source", Picture::kInfo},
  };
  for (const auto& [name, picture] : sources) {
    image(*Panel1_, name, {0, 0, 32, 32}, picture).visible = false;
  }

  // Lower part: verdict, components, mode choice, buttons.
  Panel2_ = &add(*Panel1_, "Panel2", ControlKind::kPanel, {0, 191, kClientWidth, 285});
  Panel2_->align = Align::kBottom;
  Control& shape2 = add(*Panel2_, "Shape2", ControlKind::kShape, {0, 0, kClientWidth, 3});
  shape2.align = Align::kTop;
  shape2.color = kClBtnShadow;
  shape2.pen_color = kClWhite;
  Image_info_ = &image(*Panel2_, "Image_info", {8, 8, 32, 32}, Picture::kInfo);
  Memo1_ = &add(*Panel2_, "Memo1", ControlKind::kMemo, {48, 8, 443, 57});
  Memo1_->color = widgets::kColorWindow;
  Memo1_->hint = "Информация о установке";
  Memo1_->tab_order = 0;
  Panel_info_ = &add(*Panel2_, "Panel_info", ControlKind::kPanel, {48, 8, 400, 57});
  Panel_info_->visible = false;
  Panel_info_->color = kClCream;
  Label2_ = &label(*Panel_info_, "Label2", {0, 0, 400, 57},
                   "Пожалуйста, подождите, обновление устанавливается...");
  Label2_->align = Align::kClient;
  Label2_->font.bold = true;
  Label2_->font.height = 12;
  Label2_->text_align = TextAlign::kCenter;
  Label2_->vertical_center = true;
  Label2_->word_wrap = true;
  Label2_->transparent = false;
  Label2_->color = kClCream;
  Control& shape3 = add(*Panel2_, "Shape3", ControlKind::kShape, {0, 74, kClientWidth, 3});
  shape3.color = kClBtnShadow;
  shape3.pen_color = kClWhite;

  Control& panel3 = add(*Panel2_, "Panel3", ControlKind::kPanel, {0, 79, kClientWidth, 206});
  panel3.align = Align::kBottom;
  Image_comp_ = &image(panel3, "Image_comp", {8, 8, 32, 32}, Picture::kComponents);
  CheckListBox1_ = &add(panel3, "CheckListBox1", ControlKind::kCheckListBox, {48, 8, 443, 49});
  CheckListBox1_->item_height = 18;
  CheckListBox1_->color = widgets::kColorWindow;
  CheckListBox1_->header_color = kClSkyBlue;
  CheckListBox1_->header_font_color = widgets::kColorBlack;
  CheckListBox1_->hint = "Список устанавливаемых компонентов обновления";
  CheckListBox1_->tab_order = 1;

  RadioButton1_ = &add(panel3, "RadioButton1", ControlKind::kRadioButton, {46, 63, 445, 17});
  RadioButton1_->text = "Перенести данные пользователя из старой базы в новую";
  RadioButton1_->font.bold = true;
  RadioButton1_->tab_order = 6;
  Label_for_Radio1_ = &label(
      panel3, "Label_for_Radio1", {65, 80, 426, 31},
      "Рекомендуется использовать данную возможность, если программный комплекс уже был ранее "
      "установлен и пользователи вносили свои изменения в БД.");
  Label_for_Radio1_->word_wrap = true;
  RadioButton2_ = &add(panel3, "RadioButton2", ControlKind::kRadioButton, {46, 111, 445, 17});
  RadioButton2_->text = "Заменить старую базу данных на новую";
  RadioButton2_->font.bold = true;
  RadioButton2_->tab_order = 7;
  Label_for_Radio2_ = &label(
      panel3, "Label_for_Radio2", {65, 128, 426, 31},
      "Рекомендуется использовать, если программный комплекс был только что установлен или если "
      "ранее пользователи не вносили свои изменения в БД.");
  Label_for_Radio2_->word_wrap = true;
  bevel(panel3, "Bevel2", {8, 160, 483, 2}, false);

  auto button = [&](const char* name, int left, int width, const char* text, const char* hint,
                    int tab) -> Control& {
    Control& b = add(panel3, name, ControlKind::kButton, {left, 170, width, 25});
    b.text = text;
    b.hint = hint;
    b.tab_order = tab;
    return b;
  };
  Btn_All_ON_ =
      &button("Btn_All_ON", 48, 85, "Включить все", "Включить все устанавливаемые компоненты", 2);
  Btn_All_OFF_ = &button("Btn_All_OFF", 139, 94, "Выключить все",
                         "Выключить все устанавливаемые компоненты", 3);
  Btn_install_ = &button("Btn_install", 322, 112, "Начать установку",
                         "Начать установку обновления на Ваш компьютер", 4);
  Btn_install_->enabled = false;
  Btn_exit_ = &button("Btn_exit", 440, 51, "Выход", "Завершить работу с программой обновления", 5);

  // Progress panel, over the check area.
  GrPanel1_ = &add(form, "GrPanel1", ControlKind::kGradientPanel, {96, 95, 317, 161});
  GrPanel1_->visible = false;
  GrPanel1_->gradient_from = kClWhite;
  GrPanel1_->gradient_to = kClSkyBlue;
  const char* stages[] = {"1. Резервное копирование текущей БД",
                          "2. Сохранение пользовательских данных", "3. Установка новой БД",
                          "4. Восстановление пользовательских данных"};
  for (int i = 0; i < 4; ++i) {
    int y = 8 + 27 * i;
    std::string n = std::to_string(i + 1);
    label(*GrPanel1_, ("GrLabel_Level" + n).c_str(), {8, y, 268, 16}, stages[i]);
    bevel(*GrPanel1_, ("GrBevel_Level" + n).c_str(), {8, y + 20, 301, 2}, false);
    image(*GrPanel1_, ("Image1_" + n).c_str(), {290, y, 18, 18}, Picture::kTick).visible = false;
  }
  bevel(*GrPanel1_, "GrBevel_Column", {280, 4, 2, 104}, true);
  auto activity = [&](const char* name, Rect r, const char* text, TextAlign a) -> Control& {
    Control& c = label(*GrPanel1_, name, r, text);
    c.font.height = 9;
    c.font.color = kClGreen;
    c.enabled = false;
    c.text_align = a;
    return c;
  };
  GrLabel_info_save_ =
      &activity("GrLabel_info_save", {8, 115, 96, 12}, "Сохранение ...", TextAlign::kLeft);
  GrLabel_info_data_ = &activity("GrLabel_info_data", {104, 115, 109, 12},
                                 "... Обработка данных ...", TextAlign::kCenter);
  GrLabel_info_check_ =
      &activity("GrLabel_info_check", {213, 115, 96, 12}, "... Проверка", TextAlign::kRight);
  GrProgressBar1_ =
      &add(*GrPanel1_, "GrProgressBar1", ControlKind::kProgressBar, {8, 132, 301, 21});
  GrProgressBar1_->gradient_from = 0xC08000;
  GrProgressBar1_->gradient_to = 0x804000;
  GrProgressBar1_->font.color = 0xC08000;

  ChoiceHint_ = &add(form, "ChoiceHint", ControlKind::kBalloon, {0, 0, 0, 0});
  ChoiceHint_->visible = false;
  ChoiceHint_->title = kChoiceHintTitle;
  ChoiceHint_->text = kChoiceHintText;
  Timer1_ = &add(form, "Timer1", ControlKind::kTimer, {});
  Timer1_->interval_ms = kChoiceHintMs;
  Timer1_->enabled = false;

  Realign(form);
}

void TForm_Main::FormCreate() {
  run_finished_ = false;
  DescriptionReadResult read =
      ReadUpdateDescription(*services_.fs, services_.dialogs.get(), installer_folder_);
  description_ = std::move(read.description);
  component_file_missing_ = read.ComponentFileMissing;
  SetText(root(), description_.Caption);
  transfer_mode_ = true;
  SetText(*Label1_, description_.BeginText);
  std::vector<widgets::CheckItem> items;
  items.push_back({kComponentsHeader, false, true, true, kComponentsHeader});
  for (const ComponentEntry& e : description_.Components) {
    items.push_back({e.Name, e.Check, e.Enabled, false, e.File});
  }
  CheckListBox1_->items = std::move(items);
  Changed(*CheckListBox1_);

  scale_ = static_cast<double>(screen_.pixels_per_inch) / kDesignPixelsPerInch;
  if (!description_.CheckOpenedSm) RemoveOpenEstimatesRow();
  if (description_.ComponentCount == 1) {
    SetVisible(*Btn_All_ON_, false);
    SetVisible(*Btn_All_OFF_, false);
  }

  checks_ = std::make_unique<ProductChecks>(services_, installer_folder_, description_);
  const StartupVerdict& verdict = checks_->EvaluateStartup();
  ShowReadinessRows(verdict);
  ShowMemo(verdict.memo);
  if (verdict.Ready()) {
    SetEnabled(*Btn_install_, true);
    if (verdict.ForceReplaceMode) {
      SetEnabled(*RadioButton1_, false);
      SetChecked(*RadioButton1_, false);
      SetChecked(*RadioButton2_, true);
      ModeChoice();
    }
  } else {
    DisableChoosing();
  }
}

void TForm_Main::RemoveOpenEstimatesRow() {
  SetVisible(*Image_open_, false);
  SetVisible(*Label_3_, false);
  SetVisible(*Image_3_, false);
  SetVisible(*Bevel_3_, false);
  auto move_to = [this](Control& c, const Control& place) {
    SetBounds(c, {c.bounds.left, place.bounds.top, c.bounds.width, c.bounds.height});
  };
  move_to(*Image_version_, *Image_open_);
  move_to(*Label_4_, *Label_3_);
  move_to(*Label_Version_, *Label_3_);
  move_to(*Image_4_, *Image_3_);
  move_to(*Bevel_4_, *Bevel_3_);
  int shrink = Image_open_->bounds.height + widgets::RoundHalfEven(8 * scale_);
  SetClientSize(root().bounds.width, root().bounds.height - shrink);
}

void TForm_Main::ShowReadinessRows(const StartupVerdict& v) {
  auto picture_of = [this](const char* source) { return Get(source).picture; };
  if (v.ProductFound) {
    SetPicture(*Image_1_, picture_of("Image_OK"));
    SetText(*StaticText1_, v.ProductFolder);
    SetFontColor(*Label_1_, kColorPassed);
  } else {
    SetPicture(*Image_1_, picture_of("Image_Stop"));
    SetText(*StaticText1_, "Программный комплекс Tarvo Estimate не найден.");
    SetFontColor(*Label_1_, kColorFailed);
    SetPicture(*Image_open_, picture_of("Image_Dis1"));
    SetText(*Label_3_, "Открытые сметы: Программный комплекс Tarvo Estimate не найден.");
    SetEnabled(*Label_3_, false);
  }
  if (v.ProductIdle) {
    SetPicture(*Image_2_, picture_of("Image_OK"));
    SetText(*Label_2_, "Программный комплекс в данный момент не работает");
    SetFontColor(*Label_2_, kColorPassed);
  } else {
    SetPicture(*Image_2_, picture_of("Image_Stop"));
    SetText(*Label_2_, "Программный комплекс в данный момент работает");
    SetFontColor(*Label_2_, kColorFailed);
  }
  if (v.ProductFound && description_.CheckOpenedSm) {
    if (v.NoOpenEstimates) {
      SetPicture(*Image_3_, picture_of("Image_OK"));
      SetText(*Label_3_, "Нет открытых смет");
      SetFontColor(*Label_3_, kColorPassed);
    } else {
      SetPicture(*Image_3_, picture_of("Image_Stop"));
      SetText(*Label_3_, "Есть открытые сметы");
      SetFontColor(*Label_3_, kColorFailed);
    }
  }
  SetText(*Label_Version_, v.VersionRowText);
  uint32_t version_color = v.VersionSufficient ? kColorPassed : kColorFailed;
  SetPicture(*Image_4_, picture_of(v.VersionSufficient ? "Image_OK" : "Image_Stop"));
  SetFontColor(*Label_4_, version_color);
  SetFontColor(*Label_Version_, version_color);
}

void TForm_Main::ShowMemo(const MemoText& memo) {
  SetFontColor(*Memo1_, memo.color);
  SetLines(*Memo1_, memo.lines);
}

// The verdict paths that stop an installation leave only the exit button usable.
void TForm_Main::DisableChoosing() {
  for (Control* c : {Btn_install_, CheckListBox1_, Btn_All_ON_, Btn_All_OFF_, RadioButton1_,
                     RadioButton2_, Label_for_Radio1_, Label_for_Radio2_}) {
    SetEnabled(*c, false);
  }
}

void TForm_Main::ModeChoice() {
  HideChoiceHint();
  if (RadioButton1_->checked) {
    transfer_mode_ = true;
  } else if (RadioButton2_->checked) {
    transfer_mode_ = false;
  }
  const TableVerdict& verdict = checks_->CheckTables(transfer_mode_);
  ShowMemo(verdict.memo);
  if (verdict.Ready()) {
    SetEnabled(*Btn_install_, true);
  } else {
    DisableChoosing();
  }
  SetText(*Label1_, verdict.header_text);
  SetFontColor(*Label1_, verdict.header_font_color);
  Shape1_->pen_color = verdict.header_band_color;
  SetColor(*Shape1_, verdict.header_band_color);
}

void TForm_Main::ApplyInstallButtonRule() {
  const auto& items = CheckListBox1_->items;
  bool any = false;
  for (size_t i = 1; i < items.size(); ++i) any = any || items[i].checked;
  SetEnabled(*Btn_install_, items.size() > 1 && any);
}

void TForm_Main::SetAllChecks(bool checked) {
  for (size_t i = 0; i < CheckListBox1_->items.size(); ++i) {
    SetItemChecked(*CheckListBox1_, static_cast<int>(i), checked);
  }
  ApplyInstallButtonRule();
}

void TForm_Main::OnActivate() {
  if (activated_) return;
  activated_ = true;
  SetFocus(Btn_install_->enabled ? *Btn_install_ : *Btn_exit_);
  if (component_file_missing_) SetEnabled(*Btn_install_, false);
  ShowChoiceHint();
}

void TForm_Main::OnClick(Control& c) {
  if (&c == Btn_All_ON_) {
    SetAllChecks(true);
  } else if (&c == Btn_All_OFF_) {
    SetAllChecks(false);
  } else if (&c == RadioButton1_ || &c == RadioButton2_) {
    ModeChoice();
  } else if (&c == Btn_install_) {
    Btn_installClick();
  } else if (&c == Btn_exit_) {
    Close();
  }
}

void TForm_Main::OnItemCheckChanged(Control& list, int index) {
  if (&list == CheckListBox1_) ApplyInstallButtonRule();
}

void TForm_Main::OnTimer(Control& timer) {
  if (&timer != Timer1_) return;
  SetEnabled(*Timer1_, false);
  SetVisible(*ChoiceHint_, false);
}

void TForm_Main::OnClose() { FormClose(); }

void TForm_Main::FormClose() {
  HideChoiceHint();
  if (!run_finished_) return;
  const std::string& product_folder = checks_->startup().ProductFolder;
  for (size_t i = 1; i < CheckListBox1_->items.size(); ++i) {
    std::string path = product_folder + CheckListBox1_->items[i].data;
    // Failures are of no interest to anyone: the window is going away.
    try {
      if (services_.fs->FileExists(path)) (void)services_.fs->DeleteFileAt(path);
    } catch (const std::exception&) {
    }
  }
}

void TForm_Main::Btn_installClick() {
  if (!run_ || running_ || run_finished_) return;
  running_ = true;
  try {
    run_->Run(*this);
  } catch (...) {
    running_ = false;
    throw;
  }
  running_ = false;
}

void TForm_Main::ShowChoiceHint() {
  widgets::Point p = ScreenPosition(*Label_for_Radio1_);
  int x = p.x + Label_for_Radio1_->bounds.width / 8;
  int y = p.y + Label_for_Radio1_->bounds.height - widgets::RoundHalfEven(6 * scale_);
  ChoiceHint_->max_width = screen_.width;
  SetBounds(*ChoiceHint_, {x, y, ChoiceHint_->bounds.width, ChoiceHint_->bounds.height});
  SetVisible(*ChoiceHint_, true);
  SetEnabled(*Timer1_, true);
}

void TForm_Main::HideChoiceHint() {
  SetEnabled(*Timer1_, false);
  SetVisible(*ChoiceHint_, false);
}

void TForm_Main::LockForRun() {
  for (Control* c : {Btn_install_, CheckListBox1_, Btn_All_ON_, Btn_All_OFF_, Btn_exit_, Label_1_,
                     StaticText1_, Label_2_, Label_3_, Label_4_, Label_Version_, RadioButton1_,
                     RadioButton2_, Label_for_Radio1_, Label_for_Radio2_}) {
    SetEnabled(*c, false);
  }
  SetBounds(*Panel_info_, Memo1_->bounds);
  SetVisible(*Panel_info_, true);
  SetVisible(*Memo1_, false);
  Picture run_status = Get("Image_Dis2").picture;
  for (Control* c : {Image_1_, Image_2_, Image_3_, Image_4_}) SetPicture(*c, run_status);
  SetPicture(*Image_path_, Get("Image_path_dis").picture);
  SetPicture(*Image_state_, Get("Image_state_dis").picture);
  SetPicture(*Image_open_, Get("Image_Dis1").picture);
  SetPicture(*Image_comp_, Get("Image_comp_dis").picture);
  SetPicture(*Image_version_, Get("Image_version_dis").picture);
  SetPicture(*Image_info_, Get("Image_clock").picture);
  widgets::Form::Repaint();
  SetCursor(widgets::Cursor::kHourGlass);
}

void TForm_Main::ShowProgressPanel() {
  SetVisible(*GrPanel1_, true);
  SetBold(StageLabel(1), true);
  widgets::Form::Repaint();
}

Control& TForm_Main::StageLabel(int stage) {
  if (stage < 1 || stage > 4)
    throw widgets::FormError("no installation stage " + std::to_string(stage));
  return Get("GrLabel_Level" + std::to_string(stage));
}

void TForm_Main::SetStageActive(int stage, bool on) {
  SetBold(StageLabel(stage), on);
  widgets::Form::Repaint();
}

void TForm_Main::ShowStageTick(int stage) {
  StageLabel(stage);  // validates the number
  SetVisible(Get("Image1_" + std::to_string(stage)), true);
  widgets::Form::Repaint();
}

void TForm_Main::SetActivity(install::Activity kind, bool on) {
  Control* c = kind == install::Activity::kSaving ? GrLabel_info_save_
               : kind == install::Activity::kData ? GrLabel_info_data_
                                                  : GrLabel_info_check_;
  SetEnabled(*c, on);
  Changed(*GrPanel1_);
  widgets::Form::Repaint();
}

void TForm_Main::SetProgressPercent(int percent) {
  SetPercent(*GrProgressBar1_, percent);
  widgets::Form::Repaint();
}

int TForm_Main::ProgressPercent() const { return GrProgressBar1_->percent; }

void TForm_Main::ShowResult(int code) {
  SetPicture(*Image_info_, Get("Image_info_source").picture);
  if (code == 0) {
    SetText(*Label2_, kResultSuccess);
    SetFontColor(*Label2_, kColorPassed);
    SetColor(*Label2_, kClWhite);
  } else {
    SetText(*Label2_, kResultFailure);
    SetFontColor(*Label2_, kClRed);
    SetColor(*Label2_, kClMaroon);
  }
  SetEnabled(*Btn_exit_, true);
  SetFocus(*Btn_exit_);
  SetCursor(widgets::Cursor::kDefault);
  run_finished_ = true;
  SetVisible(*GrPanel1_, false);
  widgets::Form::Repaint();
}

bool TForm_Main::TransferChoiceChecked() const { return RadioButton1_->checked; }
bool TForm_Main::ReplaceChoiceChecked() const { return RadioButton2_->checked; }
bool TForm_Main::TransferChoiceEnabled() const { return RadioButton1_->enabled; }

int TForm_Main::ComponentRowCount() const { return static_cast<int>(CheckListBox1_->items.size()); }

bool TForm_Main::ComponentChecked(int row) const {
  if (row < 0 || row >= ComponentRowCount()) return false;
  return CheckListBox1_->items[row].checked;
}

std::string TForm_Main::ComponentFile(int row) const {
  if (row < 0 || row >= ComponentRowCount()) return {};
  return CheckListBox1_->items[row].data;
}

}  // namespace tarvo::app
