#include "app/switches.h"

#include <cstddef>
#include <utility>

#include "text/codepage.h"

namespace tarvo::app {
namespace {

// Splits "/Name=value" into the lower-case name and the value; false when the text is no switch.
bool SplitSwitch(const std::string& arg, std::string& name, std::optional<std::string>& value) {
  if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) return false;
  const size_t eq = arg.find('=');
  name = text::ToLowerUtf8(arg.substr(1, eq == std::string::npos ? std::string::npos : eq - 1));
  value.reset();
  if (eq != std::string::npos) value = arg.substr(eq + 1);
  return !name.empty();
}

// A value may arrive with its quotes when the caller did not split the command line itself.
std::string Unquote(std::string v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return v;
}

std::string Trim(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

// "1,3" -> {1, 3}; empty optional when any item is not a position from 1.
std::optional<std::vector<int>> ParsePositions(const std::string& list) {
  std::vector<int> out;
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(',', start);
    const std::string item =
        Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (item.empty() || item.size() > 4) return std::nullopt;
    int n = 0;
    for (char c : item) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + (c - '0');
    }
    if (n < 1) return std::nullopt;
    out.push_back(n);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

// The parse so far: the result and which switches have been seen. A part of the parse that
// finds the command line bad sets the error through Fail and returns false.
struct ParseState {
  SwitchParse result;
  bool seen_mode = false, seen_log = false, seen_suppress = false, seen_silent = false,
       seen_verysilent = false;

  Switches& s() { return result.switches; }
  bool Fail(std::string message, std::string box) {
    result.error = std::move(message);
    result.error_box = std::move(box);
    return false;
  }
};

// Whether the switch was seen before; it is seen from now on.
bool Twice(bool& seen) {
  const bool again = seen;
  seen = true;
  return again;
}

// One switch as given ("/MODE=transfer") and its value (none without "=").
struct SwitchArg {
  const std::string& arg;
  const std::optional<std::string>& value;
};

bool ParseSilent(ParseState& p, const SwitchArg&) {
  if (Twice(p.seen_silent))
    return p.Fail("/SILENT is given twice", "Параметр /SILENT указан дважды");
  // /VERYSILENT wins over /SILENT, as installers have it.
  if (p.s().display != Display::kVerySilent) p.s().display = Display::kSilent;
  return true;
}

bool ParseVerySilent(ParseState& p, const SwitchArg&) {
  if (Twice(p.seen_verysilent))
    return p.Fail("/VERYSILENT is given twice", "Параметр /VERYSILENT указан дважды");
  p.s().display = Display::kVerySilent;
  return true;
}

bool ParseSuppressMsgBoxes(ParseState& p, const SwitchArg&) {
  if (Twice(p.seen_suppress))
    return p.Fail("/SUPPRESSMSGBOXES is given twice", "Параметр /SUPPRESSMSGBOXES указан дважды");
  p.s().suppress_message_boxes = true;
  return true;
}

bool ParseMode(ParseState& p, const SwitchArg& a) {
  if (Twice(p.seen_mode)) return p.Fail("/MODE is given twice", "Параметр /MODE указан дважды");
  const std::string v = text::ToLowerUtf8(Unquote(a.value.value_or("")));
  if (v == "transfer") {
    p.s().mode = ModeSwitch::kTransfer;
  } else if (v == "replace") {
    p.s().mode = ModeSwitch::kReplace;
  } else {
    return p.Fail("/MODE takes transfer or replace: \"" + a.arg + "\"",
                  "Параметр /MODE принимает значение transfer или replace: \"" + a.arg + "\"");
  }
  return true;
}

bool ParseComponents(ParseState& p, const SwitchArg& a) {
  if (p.s().components)
    return p.Fail("/COMPONENTS is given twice", "Параметр /COMPONENTS указан дважды");
  auto positions = ParsePositions(Unquote(a.value.value_or("")));
  if (!positions) {
    return p.Fail(
        "/COMPONENTS takes list positions from 1, such as /COMPONENTS=1,3: \"" + a.arg + "\"",
        "Параметр /COMPONENTS принимает номера компонентов в списке, начиная с 1, "
        "например /COMPONENTS=1,3: \"" +
            a.arg + "\"");
  }
  p.s().components = std::move(positions);
  return true;
}

bool ParseLog(ParseState& p, const SwitchArg& a) {
  Switches& s = p.s();
  if (Twice(p.seen_log)) return p.Fail("/LOG is given twice", "Параметр /LOG указан дважды");
  if (!a.value) {
    s.log = LogSwitch::kTempFolder;
  } else {
    s.log_file = Unquote(*a.value);
    if (s.log_file.empty()) {
      return p.Fail("/LOG= needs a file name: /LOG=\"file\"",
                    "Параметру /LOG= нужно имя файла: /LOG=\"файл\"");
    }
    s.log = LogSwitch::kFile;
  }
  return true;
}

bool ParseHelp(ParseState& p, const SwitchArg&) {
  p.s().help = true;
  return true;
}

bool ParseCheck(ParseState& p, const SwitchArg& a) {
  Switches& s = p.s();
  if (s.check) return p.Fail("/check is given twice", "Параметр /check указан дважды");
  const std::string v = text::ToLowerUtf8(a.value.value_or("transfer"));
  if (v != "transfer" && v != "replace") {
    return p.Fail("/check takes =transfer or =replace: \"" + a.arg + "\"",
                  "Параметр /check принимает значение =transfer или =replace: \"" + a.arg + "\"");
  }
  s.check = true;
  s.check_replace = v == "replace";
  return true;
}

bool ParseRestore(ParseState& p, const SwitchArg& a) {
  Switches& s = p.s();
  if (s.restore != RestoreSwitch::kNone)
    return p.Fail("/RESTORE is given twice", "Параметр /RESTORE указан дважды");
  if (!a.value) {
    s.restore = RestoreSwitch::kNewest;
  } else if (text::ToLowerUtf8(Unquote(*a.value)) == "list") {
    s.restore = RestoreSwitch::kList;
  } else {
    s.restore_archive = Unquote(*a.value);
    if (s.restore_archive.empty())
      return p.Fail("/RESTORE= needs an archive: /RESTORE=\"archive\"",
                    "Параметру /RESTORE= нужен архив: /RESTORE=\"архив\"");
    s.restore = RestoreSwitch::kArchive;
  }
  return true;
}

struct SwitchRule {
  const char* name;  // lower case, without the "/"
  bool takes_value;  // false: "/NAME=..." is refused
  bool (*parse)(ParseState& p, const SwitchArg& a);
};

constexpr SwitchRule kSwitchRules[] = {
    {"silent", false, ParseSilent},
    {"verysilent", false, ParseVerySilent},
    {"suppressmsgboxes", false, ParseSuppressMsgBoxes},
    {"mode", true, ParseMode},
    {"components", true, ParseComponents},
    {"log", true, ParseLog},
    {"?", false, ParseHelp},
    {"help", false, ParseHelp},
    {"check", true, ParseCheck},
    {"restore", true, ParseRestore},
};

// One word of the command line.
bool ParseArgument(ParseState& p, const std::string& arg) {
  if (!arg.empty() && arg[0] != '/' && arg[0] != '-') {
    p.s().ignored.push_back(arg);
    return true;
  }
  std::string name;
  std::optional<std::string> value;
  if (!SplitSwitch(arg, name, value)) {
    return p.Fail("Unknown argument \"" + arg + "\"", "Неизвестный параметр \"" + arg + "\"");
  }
  for (const SwitchRule& rule : kSwitchRules) {
    if (name != rule.name) continue;
    if (value && !rule.takes_value) {
      return p.Fail(
          "/" + text::ToUpperUtf8(name) + " takes no value: \"" + arg + "\"",
          "Параметр /" + text::ToUpperUtf8(name) + " указывается без значения: \"" + arg + "\"");
    }
    return rule.parse(p, {arg, value});
  }
  return p.Fail("Unknown switch \"" + arg + "\"", "Неизвестный параметр \"" + arg + "\"");
}

// The rules on switches given together, once every word is read.
bool CheckCombination(ParseState& p) {
  const Switches& s = p.s();
  if (s.check && !s.help) {
    Switches only_check;
    only_check.check = true;
    only_check.check_replace = s.check_replace;
    if (s.display != only_check.display || s.mode != only_check.mode || s.components ||
        s.suppress_message_boxes || s.log != LogSwitch::kNone) {
      return p.Fail("/check is used on its own",
                    "Параметр /check указывается без других параметров");
    }
  }
  // Outside the window a stray word is more likely a mistake in a script than a file name.
  if (!s.ignored.empty() && (s.Unattended() || s.check)) {
    const std::string& word = s.ignored.front();
    return p.Fail("Unknown argument \"" + word + "\"", "Неизвестный параметр \"" + word + "\"");
  }
  if (s.restore != RestoreSwitch::kNone && !s.help &&
      (s.check || s.mode != ModeSwitch::kNone || s.components)) {
    return p.Fail("/RESTORE does not go with /check, /MODE or /COMPONENTS",
                  "Параметр /RESTORE не сочетается с /check, /MODE и /COMPONENTS");
  }
  return true;
}

}  // namespace

SwitchParse ParseSwitches(const std::vector<std::string>& args) {
  ParseState p;
  for (const std::string& arg : args) {
    if (!ParseArgument(p, arg)) return std::move(p.result);
  }
  CheckCombination(p);
  return std::move(p.result);
}

bool ArgumentsAskForQuiet(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    std::string name;
    std::optional<std::string> value;
    if (SplitSwitch(arg, name, value) &&
        (name == "silent" || name == "verysilent" || name == "suppressmsgboxes")) {
      return true;
    }
  }
  return false;
}

std::string UsageText() {
  return "TarvoUpdate.exe [switches]\n"
         "Without switches the window asks for everything.\n"
         "\n"
         "/SILENT             no questions: the window shows the run and closes at the end\n"
         "/VERYSILENT         no window at all\n"
         "/MODE=transfer      carry the users' records over into the new database\n"
         "/MODE=replace       replace the database (answers the replacement warning Yes)\n"
         "                    (/MODE is required with /SILENT and /VERYSILENT)\n"
         "/COMPONENTS=1,3     install these list positions (default: the update's own marks;\n"
         "                    a position the update fixes keeps its mark)\n"
         "/SUPPRESSMSGBOXES   answer every message box with its default: OK; Abort for a file\n"
         "                    failure, which fails the step; No to overwriting; no password\n"
         "/LOG                write a log into the temporary folder (new dated name)\n"
         "/LOG=\"file\"         write the log into this file (overwritten)\n"
         "/check[=replace]    print the readiness verdicts, install nothing\n"
         "/RESTORE            put the database back from the newest backup archive\n"
         "/RESTORE=\"archive\" ... from that archive (a name in the backup folder, or a path)\n"
         "/RESTORE=list       list the backup archives, newest first, and test each\n"
         "/? or /HELP         this text\n"
         "\n"
         "Exit codes: 0 installed; 1 could not start (no update6.ini, bad switches, log not\n"
         "creatable); 2 not started (a switch missing, or nothing installed); 4 the installation\n"
         "failed; 5 an Abort answer ended the run; 7 the readiness checks refused (product "
         "missing\n"
         "or running, open estimates, version too old, update modules or database incomplete).\n";
}

std::string UsageBoxText() {
  return "TarvoUpdate.exe [параметры]\n"
         "Без параметров всё спрашивает окно программы.\n"
         "\n"
         "/SILENT - без вопросов: окно показывает установку и закрывается по её окончании\n"
         "/VERYSILENT - без окна\n"
         "/MODE=transfer - перенести записи пользователей в новую базу данных\n"
         "/MODE=replace - заменить базу данных (на предупреждение о замене отвечается \"Да\")\n"
         "(/MODE обязателен при /SILENT и /VERYSILENT)\n"
         "/COMPONENTS=1,3 - установить компоненты с этими номерами в списке (по умолчанию - "
         "отмеченные обновлением; компонент, закреплённый обновлением, сохраняет свою отметку)\n"
         "/SUPPRESSMSGBOXES - отвечать на все сообщения по умолчанию: OK; \"Прервать\" при "
         "ошибке файла, что завершает этап с ошибкой; \"Нет\" на замену файла; без пароля\n"
         "/LOG - журнал во временной папке (каждый раз новое имя с датой)\n"
         "/LOG=\"файл\" - журнал в этом файле (файл перезаписывается)\n"
         "/check[=replace] - вывести результаты проверок, ничего не устанавливая\n"
         "/? или /HELP - эта справка\n"
         "\n"
         "Коды завершения: 0 - обновление установлено; 1 - программа не смогла начать работу "
         "(нет update6.ini, неверные параметры, не создаётся журнал); 2 - установка не начата "
         "(не хватает параметра или ничего не установлено); 4 - установка завершилась с ошибкой; "
         "5 - установка прервана ответом \"Прервать\"; 7 - проверки не допускают установку "
         "(продукт не найден или запущен, открыты сметы, версия слишком старая, неполны модули "
         "обновления или база данных).\n";
}

}  // namespace tarvo::app
