# Sourced by the black-box scripts that run TarvoUpdate.exe under Wine: the display, the Wine
# prefix, the fresh output folder, the demo's folders and the small helpers every script uses.
# shellcheck shell=bash disable=SC2034,SC2317  # names and functions for the scripts that source it
e2e_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# e2e_on_display "$@" (first thing in a script): runs the script again on an Xvfb display when
# there is none, so that its windows can be shown and photographed.
e2e_on_display() {
  if [ -z "${DISPLAY:-}" ] && [ -z "${TARVO_E2E_IN_XVFB:-}" ]; then
    export TARVO_E2E_IN_XVFB=1
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
  fi
}

# e2e_wine: the build's Wine prefix (tools/wine-env), made on first use.
e2e_wine() {
  # shellcheck source=../../tools/wine-env
  source "$e2e_dir/../../tools/wine-env"
  tarvo_wine_init
}

# e2e_begin MINGW_DIR OUT: the Wine prefix of the build, OUT made afresh, and the names the
# scripts share: mingw and out (absolute), top (the source tree), native (a native build whose
# tools are used when present), drive_c, product and update (the demo's C:\Tarvo and C:\Update)
# and failures (counted by fail).
e2e_begin() {
  mingw=$(cd "$1" && pwd)
  out=$2
  top="${TARVO_SOURCE_DIR:?}"
  export TARVO_BINARY_DIR="${TARVO_BINARY_DIR:-$mingw}"
  e2e_wine
  rm -rf "$out"
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
  export TARVO_MINGW_DIR="$mingw"
  native="${TARVO_NATIVE_DIR:-$top/build/native}"
  failures=0
  drive_c="$WINEPREFIX/drive_c"
  product="$drive_c/Tarvo" update="$drive_c/Update"
}

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# e2e_end PASSED_TEXT: the verdict of the failures counted; exits 1 when there were any.
e2e_end() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "$1"
}

# w PATH: the path as Wine's programs spell it (asks Wine).
w() { "$WINE" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
# winpath PATH: the same through drive Z:, without starting Wine.
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's#/#\\#g')"; }

# e2e_table_tools NATIVE_DIR MINGW_DIR [PATH_FUNCTION]: defines `table` (tarvo-table) and `tp`
# (a path as that tool takes it): the native tool when NATIVE_DIR has one, else the Windows one
# under Wine, with paths spelled by PATH_FUNCTION (w by default).
e2e_table_tools() {
  e2e_native_table="$1/tools/tarvo-table"
  e2e_windows_table="$2/tools/tarvo-table.exe"
  e2e_table_path="${3:-w}"
  if [ -x "$e2e_native_table" ]; then
    table() { "$e2e_native_table" "$@"; }
    tp() { printf '%s' "$1"; }
  else
    table() { "$WINE" "$e2e_windows_table" "$@" | tr -d '\r'; }
    tp() { "$e2e_table_path" "$1"; }
  fi
}

# e2e_layout RECORDS USERS: the demo laid out in the prefix (C:\Tarvo, C:\Update, the registry
# entry); what demo-layout printed goes to OUT/layout.txt.
e2e_layout() { "$top/tools/demo-layout" "$WINEPREFIX" "$1" "$2" > "$out/layout.txt"; }

# e2e_png DIR: the screenshots in DIR as PNG files.
e2e_png() {
  local bmp
  for bmp in "$1"/*.bmp; do
    [ -f "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" 2>/dev/null && rm -f "$bmp" || true
  done
}
