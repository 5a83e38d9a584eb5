#!/usr/bin/env bash
# Runs the window driver against TarvoUpdate.exe in the build's Wine prefix, on an Xvfb display
# when there is none, and turns the screenshots into PNG files.
# usage: run_window_e2e.sh TarvoUpdate.exe fake_product.exe window_driver.exe run_preview.exe out
set -euo pipefail
program=$1 stand_in=$2 driver=$3 preview=$4 out=$5
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh"
e2e_on_display "$@"
e2e_wine
# Windows' Tahoma is not part of Debian; a narrow face with Cyrillic stands in for it, so the
# layout is seen with metrics close to the real ones.
"$WINE" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Tahoma /t REG_SZ \
  /d 'DejaVu Sans Condensed' /f >/dev/null 2>&1 || true
rm -rf "$out"
mkdir -p "$out/work" "$out/shots"
set_dpi() {
  "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  # Wine takes the value when its server starts again.
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w 2>/dev/null || true
}
status=0
for dpi in 96 120; do
  set_dpi $dpi
  "$WINE" "$driver" "$(w "$program")" "$(w "$stand_in")" "$(w "$out/work")" "$(w "$out/shots")" \
    $dpi || status=$?
done
set_dpi 96
# The run's states on the real window: the "ready" machine the driver prepared, run scripted.
ready="$out/work/ready/Update"
key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{3F1B7C20-8D4E-4A6B-9C35-0E2A7D19B648}_is1'
tarvo_wine_reg_add "$key" InstallLocation "$(w "$out/work/ready/Tarvo")\\"
for code in 0 3 close; do
  timeout 120 "$WINE" "$preview" "$(w "$ready")\\" "$(w "$out/shots")" $code || status=$?
done
tarvo_wine_reg_delete "$key"
for state in run_progress run_success run_failure; do
  [ -f "$out/shots/$state.bmp" ] || { echo "missing screenshot $state"; status=1; }
done
e2e_png "$out/shots"
echo "screenshots: $out/shots"
exit $status
