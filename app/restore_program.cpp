#include "app/restore_program.h"

#include <algorithm>
#include <cstdio>

#include "app/installer_program.h"
#include "app/product.h"
#include "app/readiness.h"
#include "app/update_description.h"
#include "install/backup.h"
#include "install/restore.h"
#include "platform/path.h"

namespace tarvo::app {
namespace {

using install::RestoreOutcome;
using platform::DialogResult;

std::string TwoDigits(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }

std::string DateText(const platform::LocalTime& t) {
  return TwoDigits(t.day) + "." + TwoDigits(t.month) + "." + std::to_string(t.year) + " " +
         TwoDigits(t.hour) + ":" + TwoDigits(t.minute);
}

class Restorer {
 public:
  Restorer(platform::Services& services, std::string folder, const Switches& switches,
           install::RunLog& log, ProgramFrontEnd& front_end)
      : services_(services),
        folder_(std::move(folder)),
        switches_(switches),
        log_(log),
        front_end_(front_end) {}

  int Run();

 private:
  int List(const std::string& backup_folder);
  // The message to the log and the console, and to a box when someone may be watching.
  int Say(int exit, const std::string& message, const std::string& box_text, bool error);

  platform::Services& services_;
  std::string folder_;
  const Switches& switches_;
  install::RunLog& log_;
  ProgramFrontEnd& front_end_;
};

int Restorer::Say(int exit, const std::string& message, const std::string& box_text, bool error) {
  log_.Note(message);
  front_end_.Print("Tarvo Update: " + message + "\n");
  // As with installing: /SILENT and /VERYSILENT close the boxes that only inform, and
  // /SUPPRESSMSGBOXES every box; an error box in /VERYSILENT would wait for nobody.
  const bool box =
      !switches_.suppress_message_boxes &&
      (error ? switches_.display != Display::kVerySilent : switches_.display == Display::kWindow);
  if (box && !box_text.empty()) {
    services_.dialogs->ShowMessage(
        box_text, kApplicationTitle, {DialogResult::kOk},
        error ? platform::MessageIcon::kError : platform::MessageIcon::kInformation);
  }
  return exit;
}

int Restorer::List(const std::string& backup_folder) {
  const auto archives = install::FindBackupArchives(*services_.fs, backup_folder);
  if (archives.empty()) {
    return Say(kRestoreNothing, "No backup archive in " + backup_folder, "", false);
  }
  std::string text = "Backup archives in " + backup_folder + ", newest first:\n";
  for (const install::BackupArchive& a : archives) {
    const install::BackupArchiveTest test = install::TestBackupArchive(*services_.fs, a.path);
    char size[32];
    std::snprintf(size, sizeof size, "%12llu", static_cast<unsigned long long>(a.size));
    const std::string line = DateText(a.made) + "  " + size + " bytes  " +
                             (test.sound() ? "sound  " : "DAMAGED (" + test.problem + ")  ") +
                             a.name;
    log_.Note(line);
    text += line + "\n";
  }
  front_end_.Print(text);
  return kRestoreDone;
}

int Restorer::Run() {
  // The checks that apply to the database: the product is there, not running, no estimate open.
  // The checks object keeps the running marker until the restore has ended.
  UpdateDescription description;
  ProductChecks checks(services_, folder_, description);
  const StartupVerdict& v = checks.EvaluateStartup();
  log_.Note("Check: product found: " + std::string(v.ProductFound ? "yes" : "no") +
            (v.ProductFolder.empty() ? "" : " (" + v.ProductFolder + ")"));
  if (!v.ProductFound) {
    return Say(kRestoreRefused, "The product is not installed: nothing to restore",
               "Программный комплекс Tarvo Estimate не найден на Вашем компьютере.", true);
  }
  const std::string backup_folder =
      install::BackupFolderFor(*services_.fs, v.ProductFolder, folder_);
  if (switches_.restore == RestoreSwitch::kList) return List(backup_folder);

  log_.Note("Check: product not running: " + std::string(v.ProductIdle ? "yes" : "no"));
  log_.Note("Check: no open estimates: " + std::string(v.NoOpenEstimates ? "yes" : "no"));
  if (!v.ProductIdle || !v.NoOpenEstimates) {
    return Say(kRestoreRefused,
               std::string(!v.ProductIdle ? "The product is running" : "An estimate is open") +
                   ": the database is not restored",
               !v.ProductIdle ? "Программный комплекс Tarvo Estimate работает. Закройте его и "
                                "повторите восстановление базы данных."
                              : "Есть открытые сметы. Закройте их и повторите восстановление "
                                "базы данных.",
               true);
  }

  std::string archive;
  if (switches_.restore == RestoreSwitch::kArchive) {
    const std::string& given = switches_.restore_archive;
    const bool bare = given.find_first_of("\\/:") == std::string::npos;
    archive = bare ? backup_folder + given : services_.fs->FullPath(given);
  } else {
    const auto archives = install::FindBackupArchives(*services_.fs, backup_folder);
    if (archives.empty()) {
      return Say(kRestoreNothing, "No backup archive in " + backup_folder + ": nothing restored",
                 "В папке " + backup_folder + " нет архивов базы данных.", true);
    }
    archive = archives.front().path;
  }
  log_.Note("Restoring the database from " + archive);
  const RestoreOutcome r = install::RestoreDatabase(*services_.fs, *services_.clock,
                                                    v.ProductFolder, backup_folder, archive, log_);
  const std::string name = platform::ExtractFileName(archive);
  switch (r.state) {
    case RestoreOutcome::State::kRestored:
      return Say(kRestoreDone, r.message,
                 "База данных восстановлена из архива «" + name + "»." +
                     (r.safety_archive.empty()
                          ? std::string()
                          : " Прежняя база данных сохранена в архиве «" +
                                platform::ExtractFileName(r.safety_archive) +
                                "»; вернуть её можно командой TarvoUpdate.exe /RESTORE."),
                 false);
    case RestoreOutcome::State::kRefused:
      return Say(kRestoreRefused, r.message,
                 "Архив «" + name +
                     "» повреждён или не является архивом базы данных. База "
                     "данных не изменена.\n\n" +
                     r.message,
                 true);
    case RestoreOutcome::State::kFailed:
      return Say(
          kRestoreFailed, r.message,
          "Восстановить базу данных не удалось. База данных осталась прежней.\n\n" + r.message,
          true);
    case RestoreOutcome::State::kBroken:
      break;
  }
  return Say(kRestoreFailed, r.message,
             "Восстановить базу данных не удалось, и прежнее состояние вернуть не удалось.\n\n" +
                 r.message,
             true);
}

}  // namespace

void BackupHint::BeforeRun(platform::FileSystem& fs, const std::string& product_folder,
                           const std::string& installer_folder) {
  folder_ = install::BackupFolderFor(fs, product_folder, installer_folder);
  before_.clear();
  for (const install::BackupArchive& a : install::FindBackupArchives(fs, folder_)) {
    before_.emplace_back(a.name, a.size);
  }
}

std::string BackupHint::AfterFailure(platform::FileSystem& fs, int code) const {
  if (folder_.empty()) return {};
  // The backup stage changes nothing but its archive; when it failed, the run ended there.
  if (code == install::kCodeBackupFolder || code == install::kCodeBackupArchive) {
    return "База данных не изменена.";
  }
  const auto archives = install::FindBackupArchives(fs, folder_);
  for (size_t i = 0; i < archives.size(); ++i) {
    const install::BackupArchive& a = archives[i];
    if (std::find(before_.begin(), before_.end(), std::make_pair(a.name, a.size)) !=
        before_.end()) {
      continue;  // there before the run, as it was
    }
    return "Прежняя база данных сохранена в архиве «" + a.name +
           "»; вернуть её можно командой TarvoUpdate.exe /RESTORE" +
           (i == 0 ? std::string() : "=\"" + a.name + "\"") + ".";
  }
  return {};
}

std::string RestoreExitMeaning(int code) {
  switch (code) {
    case kRestoreDone:
      return "done";
    case kRestoreNothing:
      return "no backup archive to restore from";
    case kRestoreFailed:
      return "the restore failed";
    case kRestoreRefused:
      return "the restore was refused; nothing changed";
    case kExitCannotStart:
      return "the program could not start";
  }
  return "";
}

int RunRestore(platform::Services& services, const std::string& installer_folder,
               const Switches& switches, install::RunLog& log, ProgramFrontEnd& front_end) {
  return Restorer(services, installer_folder, switches, log, front_end).Run();
}

}  // namespace tarvo::app
