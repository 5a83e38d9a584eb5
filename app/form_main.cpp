#include "app/form_main.h"

#include <optional>
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

// What a layout row sets on its control besides name, kind, parent and bounds. What a row leaves
// out stays as Form::Add made it: the parent's font (and, for labels, static texts, images and
// radio buttons, the parent's colour), everything else as a new Control has it.
struct ControlProps {
  const char* text = nullptr;
  const char* hint = nullptr;
  std::optional<Picture> picture = std::nullopt;
  std::optional<Align> align = std::nullopt;
  std::optional<widgets::Color> color = std::nullopt;
  std::optional<widgets::Color> pen_color = std::nullopt;
  // Unset: labels and images are transparent, other controls are not.
  std::optional<bool> transparent = std::nullopt;
  bool border = false;
  bool bold = false;
  int font_height = 0;
  std::optional<widgets::Color> font_color = std::nullopt;
  std::optional<TextAlign> text_align = std::nullopt;
  bool vertical_center = false;
  bool word_wrap = false;
  bool ellipsis_middle = false;
  bool vertical = false;  // bevels
  bool hidden = false;
  bool disabled = false;
  std::optional<int> tab_order = std::nullopt;
  int item_height = 0;
  std::optional<widgets::Color> header_color = std::nullopt;
  std::optional<widgets::Color> header_font_color = std::nullopt;
  std::optional<widgets::Color> gradient_from = std::nullopt;
  std::optional<widgets::Color> gradient_to = std::nullopt;
  const char* title = nullptr;
  int interval_ms = 0;
};

void ApplyProps(Control& c, const ControlProps& p) {
  if (p.text) c.text = p.text;
  if (p.hint) c.hint = p.hint;
  if (p.picture) c.picture = *p.picture;
  if (p.align) c.align = *p.align;
  if (p.color) c.color = *p.color;
  if (p.pen_color) c.pen_color = *p.pen_color;
  c.transparent =
      p.transparent.value_or(c.kind == ControlKind::kLabel || c.kind == ControlKind::kImage);
  if (p.border) c.border = true;
  if (p.bold) c.font.bold = true;
  if (p.font_height) c.font.height = p.font_height;
  if (p.font_color) c.font.color = *p.font_color;
  if (p.text_align) c.text_align = *p.text_align;
  if (p.vertical_center) c.vertical_center = true;
  if (p.word_wrap) c.word_wrap = true;
  if (p.ellipsis_middle) c.ellipsis_middle = true;
  if (p.vertical) c.vertical = true;
  if (p.hidden) c.visible = false;
  if (p.disabled) c.enabled = false;
  if (p.tab_order) c.tab_order = *p.tab_order;
  if (p.item_height) c.item_height = p.item_height;
  if (p.header_color) c.header_color = *p.header_color;
  if (p.header_font_color) c.header_font_color = *p.header_font_color;
  if (p.gradient_from) c.gradient_from = *p.gradient_from;
  if (p.gradient_to) c.gradient_to = *p.gradient_to;
  if (p.title) c.title = p.title;
  if (p.interval_ms) c.interval_ms = p.interval_ms;
}

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

// One control of the window as designed at 96 pixels per inch.
struct TForm_Main::LayoutRow {
  const char* name;
  ControlKind kind;
  const char* parent;  // null: the form itself
  Rect bounds;
  Control* TForm_Main::*slot;  // the member that keeps the control, or null
  ControlProps props;
};

// In creation order, which is the drawing order: a parent comes before its children.
// clang-format off
const TForm_Main::LayoutRow TForm_Main::kLayout[] = {
    // Header band.
    {"Shape1", ControlKind::kShape, nullptr, {0, 0, kClientWidth, 65}, &TForm_Main::Shape1_,
     {.align = Align::kTop, .color = kClMoneyGreen, .pen_color = kClMoneyGreen}},
    {"Image1", ControlKind::kImage, nullptr, {0, 0, 64, 64}, nullptr,
     {.picture = Picture::kHeader}},
    {"Label1", ControlKind::kLabel, nullptr, {71, 4, 424, 57}, &TForm_Main::Label1_,
     {.text_align = TextAlign::kRight, .vertical_center = true, .word_wrap = true}},

    {"StatusBar1", ControlKind::kStatusBar, nullptr, {0, 541, kClientWidth, 19},
     &TForm_Main::StatusBar1_, {.align = Align::kBottom}},

    {"Panel1", ControlKind::kPanel, nullptr, {0, 65, kClientWidth, 476}, &TForm_Main::Panel1_,
     {.align = Align::kClient, .border = true}},

    {"HeaderControl1", ControlKind::kHeaderControl, "Panel1", {0, 0, kClientWidth, 24}, nullptr,
     {.align = Align::kTop}},

    // Separators first: a long row text is drawn over the column line.
    {"Bevel_2", ControlKind::kBevel, "Panel1", {46, 65, 393, 2}, nullptr, {}},
    {"Bevel_3", ControlKind::kBevel, "Panel1", {46, 103, 393, 2}, &TForm_Main::Bevel_3_, {}},
    {"Bevel_4", ControlKind::kBevel, "Panel1", {46, 141, 393, 2}, &TForm_Main::Bevel_4_, {}},
    {"Bevel1", ControlKind::kBevel, "Panel1", {434, 23, 2, 161}, nullptr, {.vertical = true}},

    // Row 1: path.
    {"Image_path", ControlKind::kImage, "Panel1", {8, 30, 32, 32}, &TForm_Main::Image_path_,
     {.picture = Picture::kPath}},
    {"Label_1", ControlKind::kLabel, "Panel1", {48, 40, 88, 14}, &TForm_Main::Label_1_,
     {.text = "Путь доступа:", .hint = "Путь доступа к Tarvo", .bold = true}},
    {"StaticText1", ControlKind::kStaticText, "Panel1", {139, 40, 295, 14},
     &TForm_Main::StaticText1_,
     {.hint = "Путь доступа к Tarvo", .transparent = true, .ellipsis_middle = true}},
    {"Image_1", ControlKind::kImage, "Panel1", {456, 30, 32, 32}, &TForm_Main::Image_1_,
     {.picture = Picture::kNone}},

    // Row 2: program state.
    {"Image_state", ControlKind::kImage, "Panel1", {8, 68, 32, 32}, &TForm_Main::Image_state_,
     {.picture = Picture::kProgramState}},
    {"Label_2", ControlKind::kLabel, "Panel1", {48, 78, 404, 14}, &TForm_Main::Label_2_,
     {.text = "Состояние программы",
      .hint = "Проверка на присутствие Tarvo в памяти компьютера (в данный момент)",
      .bold = true}},
    {"Image_2", ControlKind::kImage, "Panel1", {456, 68, 32, 32}, &TForm_Main::Image_2_,
     {.picture = Picture::kNone}},

    // Row 3: open estimates.
    {"Image_open", ControlKind::kImage, "Panel1", {8, 106, 32, 32}, &TForm_Main::Image_open_,
     {.picture = Picture::kOpenEstimates}},
    {"Label_3", ControlKind::kLabel, "Panel1", {48, 116, 404, 14}, &TForm_Main::Label_3_,
     {.text = "Открытые сметы", .hint = "Проверка на наличие открытых смет", .bold = true}},
    {"Image_3", ControlKind::kImage, "Panel1", {456, 106, 32, 32}, &TForm_Main::Image_3_,
     {.picture = Picture::kNone}},

    // Row 4: version.
    {"Image_version", ControlKind::kImage, "Panel1", {8, 144, 32, 32},
     &TForm_Main::Image_version_, {.picture = Picture::kVersion}},
    {"Label_4", ControlKind::kLabel, "Panel1", {48, 154, 154, 14}, &TForm_Main::Label_4_,
     {.text = "Требуемая версия Tarvo:",
      .hint = "Проверка текущей и требуемой версии Tarvo Estimate",
      .bold = true}},
    {"Label_Version", ControlKind::kLabel, "Panel1", {205, 154, 223, 14},
     &TForm_Main::Label_Version_,
     {.hint = "Проверка текущей и требуемой версии Tarvo Estimate", .ellipsis_middle = true}},
    {"Image_4", ControlKind::kImage, "Panel1", {456, 144, 32, 32}, &TForm_Main::Image_4_,
     {.picture = Picture::kNone}},

    // Pictures the rows copy; never shown themselves.
    {"Image_OK", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kStatusOk, .hidden = true}},
    {"Image_Stop", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kStatusStop, .hidden = true}},
    {"Image_Dis2", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kStatusDisabled, .hidden = true}},
    {"Image_Dis1", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kOpenEstimatesDisabled, .hidden = true}},
    {"Image_path_dis", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kPathDisabled, .hidden = true}},
    {"Image_state_dis", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kProgramStateDisabled, .hidden = true}},
    {"Image_comp_dis", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kComponentsDisabled, .hidden = true}},
    {"Image_version_dis", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kVersionDisabled, .hidden = true}},
    {"Image_clock", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kClock, .hidden = true}},
    {"Image_info_source", ControlKind::kImage, "Panel1", {0, 0, 32, 32}, nullptr,
     {.picture = Picture::kInfo, .hidden = true}},

    // Lower part: verdict, components, mode choice, buttons.
    {"Panel2", ControlKind::kPanel, "Panel1", {0, 191, kClientWidth, 285}, &TForm_Main::Panel2_,
     {.align = Align::kBottom}},
    {"Shape2", ControlKind::kShape, "Panel2", {0, 0, kClientWidth, 3}, nullptr,
     {.align = Align::kTop, .color = kClBtnShadow, .pen_color = kClWhite}},
    {"Image_info", ControlKind::kImage, "Panel2", {8, 8, 32, 32}, &TForm_Main::Image_info_,
     {.picture = Picture::kInfo}},
    {"Memo1", ControlKind::kMemo, "Panel2", {48, 8, 443, 57}, &TForm_Main::Memo1_,
     {.hint = "Информация о установке", .color = widgets::kColorWindow, .tab_order = 0}},
    {"Panel_info", ControlKind::kPanel, "Panel2", {48, 8, 400, 57}, &TForm_Main::Panel_info_,
     {.color = kClCream, .hidden = true}},
    {"Label2", ControlKind::kLabel, "Panel_info", {0, 0, 400, 57}, &TForm_Main::Label2_,
     {.text = "Пожалуйста, подождите, обновление устанавливается...",
      .align = Align::kClient,
      .color = kClCream,
      .transparent = false,
      .bold = true,
      .font_height = 12,
      .text_align = TextAlign::kCenter,
      .vertical_center = true,
      .word_wrap = true}},
    {"Shape3", ControlKind::kShape, "Panel2", {0, 74, kClientWidth, 3}, nullptr,
     {.color = kClBtnShadow, .pen_color = kClWhite}},

    {"Panel3", ControlKind::kPanel, "Panel2", {0, 79, kClientWidth, 206}, nullptr,
     {.align = Align::kBottom}},
    {"Image_comp", ControlKind::kImage, "Panel3", {8, 8, 32, 32}, &TForm_Main::Image_comp_,
     {.picture = Picture::kComponents}},
    {"CheckListBox1", ControlKind::kCheckListBox, "Panel3", {48, 8, 443, 49},
     &TForm_Main::CheckListBox1_,
     {.hint = "Список устанавливаемых компонентов обновления",
      .color = widgets::kColorWindow,
      .tab_order = 1,
      .item_height = 18,
      .header_color = kClSkyBlue,
      .header_font_color = widgets::kColorBlack}},

    {"RadioButton1", ControlKind::kRadioButton, "Panel3", {46, 63, 445, 17},
     &TForm_Main::RadioButton1_,
     {.text = "Перенести данные пользователя из старой базы в новую",
      .bold = true,
      .tab_order = 6}},
    {"Label_for_Radio1", ControlKind::kLabel, "Panel3", {65, 80, 426, 31},
     &TForm_Main::Label_for_Radio1_,
     {.text = "Рекомендуется использовать данную возможность, если программный комплекс уже был "
              "ранее установлен и пользователи вносили свои изменения в БД.",
      .word_wrap = true}},
    {"RadioButton2", ControlKind::kRadioButton, "Panel3", {46, 111, 445, 17},
     &TForm_Main::RadioButton2_,
     {.text = "Заменить старую базу данных на новую", .bold = true, .tab_order = 7}},
    {"Label_for_Radio2", ControlKind::kLabel, "Panel3", {65, 128, 426, 31},
     &TForm_Main::Label_for_Radio2_,
     {.text = "Рекомендуется использовать, если программный комплекс был только что установлен "
              "или если ранее пользователи не вносили свои изменения в БД.",
      .word_wrap = true}},
    {"Bevel2", ControlKind::kBevel, "Panel3", {8, 160, 483, 2}, nullptr, {}},

    {"Btn_All_ON", ControlKind::kButton, "Panel3", {48, 170, 85, 25}, &TForm_Main::Btn_All_ON_,
     {.text = "Включить все", .hint = "Включить все устанавливаемые компоненты", .tab_order = 2}},
    {"Btn_All_OFF", ControlKind::kButton, "Panel3", {139, 170, 94, 25},
     &TForm_Main::Btn_All_OFF_,
     {.text = "Выключить все",
      .hint = "Выключить все устанавливаемые компоненты",
      .tab_order = 3}},
    {"Btn_install", ControlKind::kButton, "Panel3", {322, 170, 112, 25},
     &TForm_Main::Btn_install_,
     {.text = "Начать установку",
      .hint = "Начать установку обновления на Ваш компьютер",
      .disabled = true,
      .tab_order = 4}},
    {"Btn_exit", ControlKind::kButton, "Panel3", {440, 170, 51, 25}, &TForm_Main::Btn_exit_,
     {.text = "Выход", .hint = "Завершить работу с программой обновления", .tab_order = 5}},

    // Progress panel, over the check area: a row per stage, a tick for each that is done.
    {"GrPanel1", ControlKind::kGradientPanel, nullptr, {96, 95, 317, 161}, &TForm_Main::GrPanel1_,
     {.hidden = true, .gradient_from = kClWhite, .gradient_to = kClSkyBlue}},
    {"GrLabel_Level1", ControlKind::kLabel, "GrPanel1", {8, 8, 268, 16}, nullptr,
     {.text = "1. Резервное копирование текущей БД"}},
    {"GrBevel_Level1", ControlKind::kBevel, "GrPanel1", {8, 28, 301, 2}, nullptr, {}},
    {"Image1_1", ControlKind::kImage, "GrPanel1", {290, 8, 18, 18}, nullptr,
     {.picture = Picture::kTick, .hidden = true}},
    {"GrLabel_Level2", ControlKind::kLabel, "GrPanel1", {8, 35, 268, 16}, nullptr,
     {.text = "2. Сохранение пользовательских данных"}},
    {"GrBevel_Level2", ControlKind::kBevel, "GrPanel1", {8, 55, 301, 2}, nullptr, {}},
    {"Image1_2", ControlKind::kImage, "GrPanel1", {290, 35, 18, 18}, nullptr,
     {.picture = Picture::kTick, .hidden = true}},
    {"GrLabel_Level3", ControlKind::kLabel, "GrPanel1", {8, 62, 268, 16}, nullptr,
     {.text = "3. Установка новой БД"}},
    {"GrBevel_Level3", ControlKind::kBevel, "GrPanel1", {8, 82, 301, 2}, nullptr, {}},
    {"Image1_3", ControlKind::kImage, "GrPanel1", {290, 62, 18, 18}, nullptr,
     {.picture = Picture::kTick, .hidden = true}},
    {"GrLabel_Level4", ControlKind::kLabel, "GrPanel1", {8, 89, 268, 16}, nullptr,
     {.text = "4. Восстановление пользовательских данных"}},
    {"GrBevel_Level4", ControlKind::kBevel, "GrPanel1", {8, 109, 301, 2}, nullptr, {}},
    {"Image1_4", ControlKind::kImage, "GrPanel1", {290, 89, 18, 18}, nullptr,
     {.picture = Picture::kTick, .hidden = true}},
    {"GrBevel_Column", ControlKind::kBevel, "GrPanel1", {280, 4, 2, 104}, nullptr,
     {.vertical = true}},
    {"GrLabel_info_save", ControlKind::kLabel, "GrPanel1", {8, 115, 96, 12},
     &TForm_Main::GrLabel_info_save_,
     {.text = "Сохранение ...",
      .font_height = 9,
      .font_color = kClGreen,
      .text_align = TextAlign::kLeft,
      .disabled = true}},
    {"GrLabel_info_data", ControlKind::kLabel, "GrPanel1", {104, 115, 109, 12},
     &TForm_Main::GrLabel_info_data_,
     {.text = "... Обработка данных ...",
      .font_height = 9,
      .font_color = kClGreen,
      .text_align = TextAlign::kCenter,
      .disabled = true}},
    {"GrLabel_info_check", ControlKind::kLabel, "GrPanel1", {213, 115, 96, 12},
     &TForm_Main::GrLabel_info_check_,
     {.text = "... Проверка",
      .font_height = 9,
      .font_color = kClGreen,
      .text_align = TextAlign::kRight,
      .disabled = true}},
    {"GrProgressBar1", ControlKind::kProgressBar, "GrPanel1", {8, 132, 301, 21},
     &TForm_Main::GrProgressBar1_,
     {.font_color = 0xC08000, .gradient_from = 0xC08000, .gradient_to = 0x804000}},

    {"ChoiceHint", ControlKind::kBalloon, nullptr, {0, 0, 0, 0}, &TForm_Main::ChoiceHint_,
     {.text = kChoiceHintText, .hidden = true, .title = kChoiceHintTitle}},
    {"Timer1", ControlKind::kTimer, nullptr, {}, &TForm_Main::Timer1_,
     {.disabled = true, .interval_ms = kChoiceHintMs}},
};
// clang-format on

// The rows of kLayout, then what a row does not hold: the sections of the status bar and of the
// header control.
void TForm_Main::BuildLayout() {
  Control& form = root();
  form.font = {"Tahoma", 11, false, widgets::kColorWindowText};
  form.color = kClBtnFace;
  for (const LayoutRow& row : kLayout) {
    Control& c = Add(row.parent ? Get(row.parent) : form, row.name, row.kind, row.bounds);
    ApplyProps(c, row.props);
    if (row.slot) this->*row.slot = &c;
  }

  StatusBar1_->sections = {{"", 464, TextAlign::kLeft}, {kVersionLabel, 50, TextAlign::kCenter}};
  set_status_bar(StatusBar1_);
  Get("HeaderControl1").sections = {{"Проверка", 440, TextAlign::kCenter},
                                    {"Статус", 60, TextAlign::kCenter}};
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
    if (verdict.force_replace_mode) {
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
