#!/usr/bin/env bash
# Unattended installation of TarvoUpdate.exe under Wine, on the demo, checked from outside:
#   /VERYSILENT /MODE=transfer /LOG=...  installs, exit 0, a complete log;
#   the same with the product running    exit 7, nothing changed;
#   a corrupt component archive          exit 4, the users' records restored all the same;
#   a folder past MAX_PATH               exit 0; a cut-off component archive exit 4, nothing of it;
#   /SILENT                              the window shows the run (screenshots) and closes.
# usage: unattended_e2e.sh <mingw build dir> <silent_watch.exe> <hold_mapping.exe> <out dir>
set -euo pipefail
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh"
e2e_on_display "$@"
e2e_begin "$1" "$4"
watch=$2 holder_exe=$3
mkdir -p "$out/shots"
records=800 users=80
e2e_table_tools "$native" "$mingw"
users_in() { table dump --tsv "$(tp "$1")" | awk -F'\t' 'NR > 1 && $1 ~ /^U/' | wc -l; }
# Every file of the product folder with its checksum: "nothing changed" is this unchanged.
fingerprint() { (cd "$product" && find . -type f -print0 | sort -z | xargs -0 md5sum); }
layout() { e2e_layout "$records" "$users"; }
installer() { timeout 300 "$WINE" 'C:\Update\TarvoUpdate.exe' "$@"; }

begin() { echo "== $1"; }

# 1. The whole unattended run.
begin "/VERYSILENT /MODE=transfer /LOG"
layout
[ "$(users_in "$product/Base/Base8491.db")" -eq "$users" ] || fail "the demo lacks the users' records"
code=0
installer /VERYSILENT /MODE=transfer '/LOG=C:\Update\run.log' || code=$?
[ "$code" -eq 0 ] || fail "exit code $code, 0 expected"
log="$update/run.log"
cp "$log" "$out/verysilent.log" 2>/dev/null || fail "no log"
for line in "Start-up verdict: ready" "Mode: transfer" "Table verdict: ready" \
  "Components to install: 1 (Base.zip), 2 (Prog.zip)" \
  "Stage ended: 1. Резервное копирование текущей БД, took" \
  "Stage ended: 2. Сохранение пользовательских данных, took" \
  "Component 1 (Base.zip) installed" "Component 2 (Prog.zip) installed" \
  "Stage ended: 3. Установка новой БД, took" \
  "Stage ended: 4. Восстановление пользовательских данных, took" \
  "Result code 0: Обновление успешно установлено на Ваш компьютер." \
  "Exit code 0: the update is installed"; do
  grep -qF "$line" "$log" || fail "the log lacks: $line"
done
# The information box before stage 4 was answered without a person (no /SUPPRESSMSGBOXES needed).
grep -qF -- "-> OK (automatic)" "$log" || fail "the notice before stage 4 was not answered"
[ "$(users_in "$product/Base/Base8491.db")" -eq "$users" ] || fail "users' records not restored"
for t in Base8491 Link8491 Link_mex W_list Kl_spr Kl_Group; do
  table check "$(tp "$product/Base/$t.db")" > /dev/null || fail "$t.db fails the table check"
done
backup=$(find "$product/Backup" -name 'Архив от *' | head -1)
[ -n "$backup" ] || fail "no backup archive"
[ -z "$backup" ] || unzip -tq "$backup" > /dev/null || fail "the backup archive fails unzip -t"
[ ! -e "$product/Base.zip" ] && [ ! -e "$product/Prog.zip" ] || fail "archive copies left behind"

# 2. The product running: refused, nothing touched.
begin "/VERYSILENT with the product running"
layout
before=$(fingerprint)
rm -f "$out/ready" "$out/stop"
"$WINE" "$holder_exe" "$(w "$out")\\ready" "$(w "$out")\\stop" &
holder=$!
for _ in $(seq 1 300); do [ -f "$out/ready" ] && break; sleep 0.1; done
[ -f "$out/ready" ] || fail "the stand-in of the running product did not start"
code=0
installer /VERYSILENT /MODE=transfer '/LOG=C:\Update\running.log' || code=$?
touch "$out/stop"
wait "$holder" || true
[ "$code" -eq 7 ] || fail "exit code $code, 7 expected"
[ "$(fingerprint)" = "$before" ] || fail "the product folder changed"
grep -qF "Check: product not running: no" "$update/running.log" || fail "the log lacks the verdict"
cp "$update/running.log" "$out/running.log" 2>/dev/null || true

# 3. A corrupt component archive: the run fails, the users' records are restored regardless.
begin "/VERYSILENT with a corrupt component archive"
layout
head -c 3000 /dev/urandom > "$update/Prog.zip"
code=0
installer /VERYSILENT /MODE=transfer /SUPPRESSMSGBOXES '/LOG=C:\Update\corrupt.log' || code=$?
[ "$code" -eq 4 ] || fail "exit code $code, 4 expected"
[ "$(users_in "$product/Base/Base8491.db")" -eq "$users" ] || fail "users' records not restored"
grep -qF "Component 2 (Prog.zip) could not be installed" "$update/corrupt.log" ||
  fail "the log lacks the failed component"
grep -qF "Stage ended: 4." "$update/corrupt.log" || fail "stage 4 did not run"
cp "$update/corrupt.log" "$out/corrupt.log" 2>/dev/null || true

# 3b. Component archives from anyone: a folder name longer than MAX_PATH installs; an archive cut
# off before its directory fails its component before anything of it is extracted.
begin "/VERYSILENT with a folder past MAX_PATH, then with a cut-off archive"
layout
long="Doc/$(printf 'Long folder name/%.0s' {1..16})$(printf 'x%.0s' {1..60})"
scratch=$(mktemp -d)
mkdir -p "$scratch/$long"
echo "far" > "$scratch/$long/readme.txt"
rm -f "$update/Prog.zip"
(cd "$scratch" && zip -qr "$update/Prog.zip" Doc)
rm -rf "$scratch"
code=0
installer /VERYSILENT /MODE=transfer /SUPPRESSMSGBOXES '/LOG=C:\Update\long.log' || code=$?
[ "$code" -eq 0 ] || fail "long folder: exit code $code, 0 expected"
[ "$(cat "$product/$long/readme.txt" 2>/dev/null)" = "far" ] || fail "the file past MAX_PATH is missing"
cp "$update/long.log" "$out/long.log" 2>/dev/null || true
layout
before_prog=$(md5sum < "$product/Tarvo7.exe")
size=$(stat -c %s "$update/Prog.zip")
head -c $((size / 2)) "$update/Prog.zip" > "$out/cut.zip" && mv "$out/cut.zip" "$update/Prog.zip"
code=0
installer /VERYSILENT /MODE=transfer /SUPPRESSMSGBOXES '/LOG=C:\Update\cut.log' || code=$?
[ "$code" -eq 4 ] || fail "cut-off archive: exit code $code, 4 expected"
[ "$(md5sum < "$product/Tarvo7.exe")" = "$before_prog" ] || fail "the cut-off archive was extracted"
[ "$(users_in "$product/Base/Base8491.db")" -eq "$users" ] || fail "users' records not restored"
grep -qF "is damaged: its directory is missing or unreadable" "$update/cut.log" ||
  fail "the log does not say why the cut-off archive failed"
cp "$update/cut.log" "$out/cut.log" 2>/dev/null || true

# 4. /SILENT: the window shows the run and closes by itself.
begin "/SILENT /MODE=transfer"
layout
"$WINE" "$watch" "$(w "$out/shots")" 'C:\Update\TarvoUpdate.exe' /SILENT /MODE=transfer \
  '/LOG=C:\Update\silent.log' | tr -d '\r' > "$out/silent.txt" || fail "the window did not close by itself"
cat "$out/silent.txt"
grep -qx "window_seen=1" "$out/silent.txt" || fail "no window was seen"
grep -qx "exit=0" "$out/silent.txt" || fail "exit code not 0"
[ "$(users_in "$product/Base/Base8491.db")" -eq "$users" ] || fail "users' records not restored"
cp "$update/silent.log" "$out/silent.log" 2>/dev/null || true
e2e_png "$out/shots"

echo "logs and screenshots: $out"
e2e_end "all unattended checks passed"
