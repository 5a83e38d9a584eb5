#!/usr/bin/env bash
# The demo's update folder, made by tarvo-pack, checked and installed under Wine, then the
# database put back from its backup with /RESTORE from another folder, checked from outside:
#   tarvo-pack verify and /check          exit 0;
#   /VERYSILENT /MODE=transfer             installs, exit 0, the database changed;
#   /RESTORE /VERYSILENT /LOG (elsewhere)  exit 0, the database byte-identical to the one before;
#   /RESTORE=list                          the safety backup first, every archive sound;
#   /RESTORE again                         the installed database back, byte for byte.
# usage: restore_e2e.sh <mingw build dir> <out dir>
set -euo pipefail
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh"
e2e_begin "$1" "$2"
elsewhere="$drive_c/Elsewhere"
# Every file of the database folder with its checksum.
database() { (cd "$product/Base" && find . -type f -print0 | sort -z | xargs -0 md5sum); }
run() { timeout 300 "$WINE" "$@" | tr -d '\r'; }

echo "== the demo's update folder, made by tarvo-pack"
e2e_layout 400 40
code=0
run "$mingw/tools/tarvo-pack.exe" verify 'C:\Update' > "$out/verify.txt" || code=$?
[ "$code" -eq 0 ] || fail "tarvo-pack verify: exit code $code"
grep -qF "Archive[1]=" "$out/verify.txt" && grep -qF "BackupFolder[1]=Base" "$out/verify.txt" ||
  fail "tarvo-pack verify did not print the fields"
code=0
run 'C:\Update\TarvoUpdate.exe' /check > "$out/check.txt" || code=$?
[ "$code" -eq 0 ] || fail "/check: exit code $code"

echo "== /VERYSILENT /MODE=transfer"
before=$(database)
code=0
run 'C:\Update\TarvoUpdate.exe' /VERYSILENT /MODE=transfer > /dev/null || code=$?
[ "$code" -eq 0 ] || fail "the installation: exit code $code"
installed=$(database)
[ "$installed" != "$before" ] || fail "the installation left the database as it was"

echo "== /RESTORE /VERYSILENT from another folder"
mkdir -p "$elsewhere"
cp "$update/TarvoUpdate.exe" "$elsewhere/"
code=0
run 'C:\Elsewhere\TarvoUpdate.exe' /RESTORE /VERYSILENT '/LOG=C:\Elsewhere\restore.log' \
  > "$out/restore.txt" || code=$?
cp "$elsewhere/restore.log" "$out/" 2>/dev/null || fail "no restore log"
[ "$code" -eq 0 ] || fail "/RESTORE: exit code $code"
[ "$(database)" = "$before" ] || fail "the restored database differs from the one before the update"
grep -qF "The database was restored from" "$elsewhere/restore.log" || fail "the log lacks the restore"
ls "$product" | grep -q '^~TarvoRestore' && fail "the restore's work folder is left"

echo "== /RESTORE=list, then /RESTORE again"
run 'C:\Elsewhere\TarvoUpdate.exe' /RESTORE=list > "$out/list.txt" || fail "/RESTORE=list failed"
first=$(grep -m1 ' bytes ' "$out/list.txt" || true)
case "$first" in *"до восстановления.zip") ;; *) fail "the safety backup is not listed first: $first" ;; esac
grep -q ' bytes  DAMAGED' "$out/list.txt" && fail "an archive does not test sound"
code=0
run 'C:\Elsewhere\TarvoUpdate.exe' /RESTORE /VERYSILENT /SUPPRESSMSGBOXES > /dev/null || code=$?
[ "$code" -eq 0 ] || fail "the second /RESTORE: exit code $code"
[ "$(database)" = "$installed" ] || fail "the second /RESTORE did not put the installed database back"

e2e_end "restore_e2e: all passed"
