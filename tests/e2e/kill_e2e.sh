#!/usr/bin/env bash
# TarvoUpdate.exe killed from outside under Wine, part-way through a transfer run of the demo, then
# run again at once. For a few dozen kill points (by time, spread over the whole run, and on file
# events: the backup archive appears, the progress record says saved or installed, the database
# changes, a journal appears), the second run must either
#   finish (exit 0) with every users' record, detail row and classifier row of the old database in
#   the new one, every table passing the check, the first backup sound and holding the old
#   database byte for byte, and no journal, progress record or extraction temporary left;
#   or refuse (exit 4) with the unfinished-installation note, the users' records in the user data
#   tables of the update folder it names.
# The demo is laid out once; its C:\Tarvo\ and C:\Update\ are copied back before every point.
# usage: kill_e2e.sh <mingw build dir> <out dir> [points by time]
set -euo pipefail
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh"
e2e_begin "$1" "$2"
time_points=${3:-30}
records=300 users=30
base="$product/Base"
pristine="$out/pristine"
e2e_table_tools "$native" "$mingw"
# The file of a table in a folder, whatever the case of its extension.
table_file() { find "$1" -maxdepth 1 -iname "$2.db" | head -1; }
# The users' rows of a table, sorted, without the detail tables' own counter (column 1, "N"):
# a restored detail row is the same row under a new number.
users_rows() {
  local f
  f=$(table_file "$1" "$2")
  [ -n "$f" ] || return 0
  case "$2" in
    *Base8491) table dump --tsv "$(tp "$f")" | awk -F'\t' 'NR > 1 && $1 ~ /^U/' ;;
    *Link8491 | *Link_mex | *W_list)
      table dump --tsv "$(tp "$f")" | awk -F'\t' 'NR > 1 && $2 ~ /^U/' | cut -f2- ;;
    # The restored classifier rows go to a group of their own: code, name and year are theirs.
    *Kl_spr) table dump --tsv "$(tp "$f")" | awk -F'\t' 'NR > 1 && $1 ~ /^USR/' | cut -f1-3 ;;
  esac | LC_ALL=C sort
}
# users_dump FOLDER PREFIX TABLE...
users_dump() {
  local folder=$1 prefix=$2 t
  shift 2
  for t in "$@"; do
    echo "== $t"
    users_rows "$folder" "$prefix$t"
  done
}
user_tables=(Base8491 Link8491 Link_mex W_list)
# A Windows path of the log as a path here.
unix_path() { printf '%s' "$1" | sed -e 's#^[Cc]:\\#'"$drive_c"'/#' -e 's#\\#/#g'; }
# Every file of the product and update folders with its checksum, but the logs and the copies of
# the component archives a killed run leaves in the product folder (any later run removes them).
fingerprint() {
  (cd "$drive_c" && find Tarvo Update -type f ! -name '*.log' ! -path Tarvo/Base.zip \
    ! -path Tarvo/Prog.zip -print0 | sort -z | xargs -0 md5sum)
}
tarvo_pid() { cat "$out/pid" 2>/dev/null; }

# The demo once; then its old state, the expected users' rows and the old database's checksums.
e2e_layout "$records" "$users"
rm -rf "$pristine"
mkdir -p "$pristine"
cp -a "$product" "$update" "$pristine/"
users_dump "$base" "" "${user_tables[@]}" Kl_spr > "$out/users.expected"
users_dump "$base" "" "${user_tables[@]}" > "$out/users_saved.expected"
(cd "$base" && find . -type f -print0 | sort -z | xargs -0 md5sum) > "$out/old_base.md5"
[ "$(users_rows "$base" Base8491 | wc -l)" -eq "$users" ] ||
  fail "the demo lacks the users' records"
grep -q '^USR' "$out/users.expected" || fail "the demo lacks the users' classifier rows"

restore_demo() {
  rm -rf "$product" "$update"
  cp -a "$pristine/Tarvo" "$pristine/Update" "$drive_c/"
}

# Starts the run in the background; its Linux process is the Windows process itself.
start_run() {
  "$WINE" 'C:\Update\TarvoUpdate.exe' /VERYSILENT /SUPPRESSMSGBOXES /MODE=transfer \
    "/LOG=C:\\Update\\$1" > /dev/null 2>&1 &
  echo $! > "$out/pid"
}
# SIGKILL to the process of the run: no handler, no flush, as when it is ended in Task Manager.
kill_run() {
  local pid
  pid=$(tarvo_pid)
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
finished() { ! kill -0 "$(tarvo_pid)" 2>/dev/null; }

# Uninterrupted runs, started as the killed ones are: they must pass the same checks, and the
# second (the Wine server already up, as for every later point) gives the length of the run: up
# to its last log line, for the process's own ending after it changes nothing.
for _ in 1 2; do
  restore_demo
  rm -f "$update/whole.log"
  t0=$(date +%s%N)
  start_run whole.log
  until grep -qF "Exit code" "$update/whole.log" 2>/dev/null || finished; do sleep 0.01; done
  length_ms=$((($(date +%s%N) - t0) / 1000000))
  code=0
  wait "$(tarvo_pid)" || code=$?
done
cp "$update/whole.log" "$out/whole.log" 2>/dev/null || true
echo "the uninterrupted run took ${length_ms} ms"

# What the run after a killed one must leave. Prints the outcome.
check_point() {
  local name=$1 dead_log=$2 rerun_log=$3 code=$4 problems=0 why
  bad() { echo "FAIL: $name: $*"; problems=$((problems + 1)); }
  # A refusal fails the run (exit 4) and says why, to the administrator and in the message.
  local note="An earlier installation is unfinished|is damaged; the users' data may be"
  if [ "$code" -eq 4 ] && grep -qE "$note" "$rerun_log"; then
    grep -qF "Предыдущая установка обновления не была завершена" "$rerun_log" ||
      bad "refused without the unfinished-installation message"
    # The folder the note names, or the update folder when the record was unreadable.
    local saved
    saved=$(sed -n "s/^.*the user data tables of \([^ ]*\).*$/\1/p" "$rerun_log" | head -1) || true
    saved=${saved%;}
    saved=$(unix_path "${saved:-C:\\Update\\}")
    users_dump "$saved" U_ "${user_tables[@]}" > "$out/$name.users"
    cmp -s "$out/$name.users" "$out/users_saved.expected" ||
      bad "the users' rows are not in the user data tables of $saved, which the refusal names"
    echo "refused"
    return "$problems"
  fi
  if [ "$code" -ne 0 ]; then
    bad "the run after the kill: exit code $code (log $rerun_log)"
    echo "failed"
    return "$problems"
  fi
  users_dump "$base" "" "${user_tables[@]}" Kl_spr > "$out/$name.users"
  if ! cmp -s "$out/$name.users" "$out/users.expected"; then
    bad "users' rows lost or changed (diff in $out/$name.users.diff)"
    diff "$out/users.expected" "$out/$name.users" > "$out/$name.users.diff" || true
  fi
  local f
  while IFS= read -r -d '' f; do
    table check "$(tp "$f")" > /dev/null 2>&1 || bad "$(basename "$f") fails the table check"
  done < <(find "$base" "$update" -maxdepth 1 -iname '*.db' -print0)
  while IFS= read -r -d '' f; do
    bad "left behind: ${f#"$drive_c"/}"
  done < <(find "$product" "$update" \( -iname '*.tjl' -o -iname '*.tjs' -o -iname 'FC*.tmp' \
    -o -name 'TarvoUpdate.progress*' \) -print0)
  if [ -e "$product/Base.zip" ] || [ -e "$product/Prog.zip" ]; then
    bad "archive copies left behind"
  fi
  # The first backup made whole: the dead run's when it was written and tested, else the rerun's.
  local first=""
  if grep -qF 'written and tested' "$dead_log" 2>/dev/null; then
    first=$(sed -n 's/^.*Backup archive //p' "$dead_log" | head -1 | tr -d '\r')
  else
    first=$(sed -n -e 's/^.*Backup archive //p' -e 's/^.*Backup made by the interrupted run: //p' \
      "$rerun_log" | head -1 | tr -d '\r')
  fi
  first=$(unix_path "$first")
  if [ -z "$first" ] || [ ! -f "$first" ]; then
    bad "no first backup archive named in the logs"
  elif ! unzip -tq "$first" > /dev/null 2>&1; then
    bad "the first backup $(basename "$first") fails unzip -t"
  else
    rm -rf "$out/unpacked"
    mkdir -p "$out/unpacked"
    unzip -qo "$first" -d "$out/unpacked" > /dev/null 2>&1 || bad "the first backup does not unpack"
    why=$(cd "$out/unpacked"/* 2>/dev/null &&
      md5sum --quiet -c "$out/old_base.md5" 2>&1 | head -3) ||
      bad "the first backup does not hold the old database: $why"
  fi
  # A numbered backup (the dead run's archive took the dated name) is still one /RESTORE offers.
  case "$first" in
    *" ("[0-9]*")"*)
      timeout 120 "$WINE" 'C:\Update\TarvoUpdate.exe' /RESTORE=list 2>/dev/null | tr -d '\r' \
        > "$out/$name.list" || true
      grep -qF "$(basename "$first")" "$out/$name.list" ||
        bad "/RESTORE=list does not offer the first backup $(basename "$first")"
      ;;
  esac
  echo "finished"
  return "$problems"
}

result=$(check_point whole /dev/null "$out/whole.log" "$code") || fail "the uninterrupted run"
echo "$result" | grep '^FAIL' || true

declare -A outcomes=()
points=0 first_mode=""
# kill_point NAME time MS, or kill_point NAME event TEST [MS]: TEST succeeds once the event
# happened; the kill comes MS later (none by default).
kill_point() {
  local name=$1 how=$2 arg=$3 later=${4:-0} state
  restore_demo
  rm -f "$update/$name.dead.log" "$update/$name.log"
  start_run "$name.dead.log"
  if [ "$how" = time ]; then
    sleep "$(awk -v ms="$arg" 'BEGIN { printf "%.3f", ms / 1000 }')"
  else
    local deadline=$(($(date +%s) + 120))
    until $arg || finished || [ "$(date +%s)" -gt "$deadline" ]; do sleep 0.01; done
    [ "$later" -eq 0 ] || sleep "$(awk -v ms="$later" 'BEGIN { printf "%.3f", ms / 1000 }')"
  fi
  if finished; then
    state="over before the kill"
  else
    state="killed"
  fi
  kill_run
  # Where the dead run got to, for the summary: its progress record and its last log line.
  local step reached
  step=$(sed -n 's/^Step=//p' "$product/TarvoUpdate.progress" 2>/dev/null | head -1) || true
  reached=$(tail -1 "$update/$name.dead.log" 2>/dev/null | sed -E 's/^.{21}(.{0,40}).*/\1/') || true
  # What the dead run left in the backup folder: no later run may change it.
  (cd "$product" && find Backup -type f -print0 2>/dev/null | xargs -0r md5sum) \
    > "$out/$name.backups" || true
  local code=0
  if [ -n "$first_mode" ]; then
    # A run in another mode first: it must refuse, change nothing and leave the saved data
    # where it says.
    fingerprint > "$out/$name.before.md5"
    timeout 120 "$WINE" 'C:\Update\TarvoUpdate.exe' /VERYSILENT /SUPPRESSMSGBOXES \
      "/MODE=$first_mode" "/LOG=C:\\Update\\$name.$first_mode.log" > /dev/null 2>&1 || code=$?
    cp "$update/$name.$first_mode.log" "$out/" 2>/dev/null || true
    local verdict
    verdict=$(check_point "$name" "$out/$name.dead.log" "$out/$name.$first_mode.log" "$code") ||
      true
    echo "$verdict" | grep '^FAIL' || true
    if [ "$(echo "$verdict" | tail -1)" != refused ] || echo "$verdict" | grep -q '^FAIL'; then
      echo "FAIL: $name: /MODE=$first_mode (exit code $code) did not refuse as it should"
      failures=$((failures + 1))
    fi
    fingerprint > "$out/$name.after.md5"
    diff "$out/$name.before.md5" "$out/$name.after.md5" > "$out/$name.changed" || {
      echo "FAIL: $name: the refused /MODE=$first_mode run changed files ($out/$name.changed)"
      failures=$((failures + 1))
    }
    code=0
  fi
  timeout 120 "$WINE" 'C:\Update\TarvoUpdate.exe' /VERYSILENT /SUPPRESSMSGBOXES /MODE=transfer \
    "/LOG=C:\\Update\\$name.log" > /dev/null 2>&1 || code=$?
  cp "$update/$name.dead.log" "$out/" 2>/dev/null || true
  cp "$update/$name.log" "$out/" 2>/dev/null || true
  local result
  result=$(
    problems=0
    [ ! -s "$out/$name.backups" ] ||
      (cd "$product" && md5sum --quiet -c "$out/$name.backups" > /dev/null 2>&1) || {
      echo "FAIL: $name: a backup the killed run left was changed or removed"
      problems=1
    }
    check_point "$name" "$out/$name.dead.log" "$out/$name.log" "$code" || problems=1
    exit "$problems"
  ) || {
    failures=$((failures + 1))
    result="$result, with faults"
  }
  echo "$result" | grep '^FAIL' || true
  result=$(echo "$result" | grep -v '^FAIL' | tail -1)
  [ -z "$first_mode" ] || result="refused in $first_mode mode, then $result"
  points=$((points + 1))
  outcomes["$state, $result"]=$((${outcomes["$state, $result"]:-0} + 1))
  printf '%-16s %-20s step %-1s rerun exit %s: %-20s (last: %s)\n' "$name" "$state" \
    "${step:--}" "$code" "$result" "${reached:-no log}"
}

# File events of the run, each the first sign of a step.
backup_appears() { [ -n "$(find "$product/Backup" -type f 2>/dev/null | head -1)" ]; }
record_saved() { grep -qx 'Step=2' "$product/TarvoUpdate.progress" 2>/dev/null; }
record_installed() { grep -qx 'Step=3' "$product/TarvoUpdate.progress" 2>/dev/null; }
base_changes() { ! cmp -s "$base/Base8491.db" "$pristine/Tarvo/Base/Base8491.db"; }
set_journal() { [ -n "$(find "$base" "$update" -maxdepth 1 -iname '*.tjs' | head -1)" ]; }
family_journal() { [ -n "$(find "$base" "$update" -maxdepth 1 -iname '*.tjl' | head -1)" ]; }
logged() { grep -qF "$1" "$update/$name.dead.log" 2>/dev/null; }
stage2_starts() { logged "Stage started: 2."; }
stage3_starts() { logged "Stage started: 3."; }
stage4_starts() { logged "Stage started: 4."; }
extraction_temp() { [ -n "$(find "$product" -iname 'FC*.tmp' | head -1)" ]; }

for event in backup_appears stage2_starts set_journal family_journal record_saved stage3_starts \
  extraction_temp base_changes record_installed stage4_starts; do
  kill_point "$event" event "$event"
done
# Killed with the users' data saved, then run in replace mode: refused; then in transfer mode.
first_mode=replace
kill_point "saved+replace" event record_installed
first_mode=""
# Inside the stages, whatever the speed of the machine.
for later in 150 300; do kill_point "stage2+$later" event stage2_starts "$later"; done
kill_point "stage3+100" event stage3_starts 100
for later in 100 200; do kill_point "stage4+$later" event stage4_starts "$later"; done
for i in $(seq 1 "$time_points"); do
  kill_point "time-$i" time $((length_ms * i / (time_points + 1)))
done

{
  echo "== summary: $points kill points, the run $length_ms ms long"
  for k in "${!outcomes[@]}"; do printf '  %3d  %s\n' "${outcomes[$k]}" "$k"; done | sort -k2
} | tee "$out/summary.txt"
echo "logs: $out"
e2e_end "all kill points passed"
