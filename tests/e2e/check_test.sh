#!/usr/bin/env bash
# Black-box cases of "TarvoUpdate.exe /check" under Wine: the real registry (32-bit view), the
# real named mapping held by a second process, and version resources read by the Windows API.
# usage: check_test.sh TarvoUpdate.exe FIXTURE_DIR WORK_DIR
set -u
exe=$1
fixtures=$2
work=$3
# shellcheck source=e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/e2e_common.sh"
e2e_wine

KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{3F1B7C20-8D4E-4A6B-9C35-0E2A7D19B648}_is1'
READY='Всё готово к началу инсталляции обновления на Ваш компьютер. Нажмите кнопку [Начать установку] для активации процесса установки.'
NOT_POSSIBLE='Установка обновления в данный момент невозможна.'
passed=0
failed=0
case_name=""
case_ok=1

ini() {  # writes update6.ini in Windows-1251 from UTF-8 text on standard input
  iconv -f UTF-8 -t CP1251 > "$work/update/update6.ini"
}

default_ini() {
  ini <<INI
[Info]
Caption=Обновление Tarvo Estimate
BeginText=Добро пожаловать
BackupText=Перенос данных
Text=Замена базы
ComponentCount=2
CheckOpenedSm=${1:-1}
[Component1]
Name1=База данных
Check1=1
Enabled1=0
File1=Base.zip
[Component2]
Name2=Программа
Check2=1
Enabled2=1
File2=Prog.zip
[Backup]
BackupCount=1
BackupFileName=Tarvo
Backup_Dir1=Base
INI
}

begin() {  # a fresh, ready installation: product 7.25b, idle, no open estimate, all tables
  case_name=$1
  case_ok=1
  rm -rf "$work"
  mkdir -p "$work/update" "$work/product/Edit/Smeta1" "$work/product/Base"
  cp "$exe" "$work/update/TarvoUpdate.exe"
  default_ini 1
  touch "$work/update/Base.zip" "$work/update/Prog.zip"
  for t in U_Base8491.db U_Link8491.db U_Link_mex.DB U_W_list.DB; do touch "$work/update/$t"; done
  for t in Base8491.db Link8491.db Link_mex.db W_list.db Kl_spr.db RES.bd; do
    touch "$work/product/Base/$t"
  done
  cp "$fixtures/fixture_v725b.exe" "$work/product/Tarvo7.exe"
  cp "$fixtures/fixture_noresource.exe" "$work/product/start7.exe"
  tarvo_wine_reg_delete "$KEY"
  tarvo_wine_reg_add "$KEY" InstallLocation "$(winpath "$work/product")\\"
}

run() {
  (cd "$work/update" && "$WINE" ./TarvoUpdate.exe "$@" > "$work/out.txt" 2> "$work/err.txt")
  code=$?
}

fail() {
  echo "  FAIL [$case_name]: $*"
  case_ok=0
}
has() { grep -qxF -- "$1" "$work/out.txt" || fail "no line '$1'"; }
lacks() { ! grep -qxF -- "$1" "$work/out.txt" || fail "unexpected line '$1'"; }
memo_is() {  # the exact memo lines, in order
  local want got
  want=$(printf 'Memo=%s\n' "$@")
  got=$(grep '^Memo=' "$work/out.txt")
  [ "$want" = "$got" ] || fail "memo was: $got"
}
exit_is() { [ "$code" = "$1" ] || fail "exit code $code, expected $1"; }
end() {
  if [ "$case_ok" = 1 ]; then
    passed=$((passed + 1))
    echo "ok   $case_name"
  else
    failed=$((failed + 1))
    echo "--- output of $case_name:"
    sed 's/^/    /' "$work/out.txt"
  fi
}

begin "ready installation"
run /check
exit_is 0
has "ProductFolder=$(winpath "$work/product")\\"
has "Caption=Обновление Tarvo Estimate"
has "Component[1]=1,0,Base.zip,База данных"
has "Component[2]=1,1,Prog.zip,Программа"
has "ComponentFileMissing=0"
has "BackupFolders[0]=Base"
has "BackupFolders[23]="
has "ProductFound=1"
has "ProductIdle=1"
has "NoOpenEstimates=1"
has "VersionSufficient=1"
has "InstalledVersion=7.25b"
has "VersionRow=7.25b (текущая версия: 7.25b)"
has "Mode=transfer"
has "UpdateModulesComplete=1"
has "DatabaseIntact=1"
has "DatabaseFolder=$(winpath "$work/product")\\Base\\"
has "Header=Перенос данных"
has "MemoColor=0x00004000"
memo_is "$READY"
end

begin "product not found"
tarvo_wine_reg_delete "$KEY"
run /check
exit_is 1
has "ProductFound=0"
has "ProductFolder="
has "InstalledVersion=ValueValue Not Available"
has "VersionSufficient=1"
has "NoOpenEstimates=0"
has "MemoColor=0x00000080"
memo_is "$NOT_POSSIBLE" "Программный комплекс Tarvo Estimate 6 не установлен на Вашем компьютере."
end

begin "start7.exe missing"
rm "$work/product/start7.exe"
run /check
exit_is 1
has "ProductFound=0"
has "ProductFolder=$(winpath "$work/product")\\"
has "InstalledVersion=ValueValue Not Available"
memo_is "$NOT_POSSIBLE" "Программный комплекс Tarvo Estimate 6 не установлен на Вашем компьютере."
end

begin "CheckOpenedSm 0 ignores an open estimate"
default_ini 0
touch "$work/product/Edit/Smeta1/a_base8491.DB"
run /check
exit_is 0
has "CheckOpenedSm=0"
has "NoOpenEstimates=1"
lacks "Memo=Есть открытые сметы."
end

for place in "Edit/Smeta1/a_base8491.DB" "Edit/Smeta1/A_BASE8491.db" "Edit/a_base8491.DB" "a_base8491.DB"; do
  begin "open estimate at $place"
  touch "$work/product/$place"
  run /check
  exit_is 1
  has "NoOpenEstimates=0"
  memo_is "$NOT_POSSIBLE" "Есть открытые сметы."
  end
done

begin "hidden estimate folder"
mkdir -p "$work/product/Edit/Hidden"
touch "$work/product/Edit/Hidden/a_base8491.DB"
"$WINE" attrib +h "$(winpath "$work/product/Edit/Hidden")" >/dev/null 2>&1
mkdir -p "$work/product/Edit/.dotted"
touch "$work/product/Edit/.dotted/a_base8491.DB"
run /check
has "NoOpenEstimates=1"
exit_is 0
end

begin "product folder without Edit"
rm -rf "$work/product/Edit"
run /check
exit_is 0
has "NoOpenEstimates=1"
end

begin "running product"
rm -f "$work/ready" "$work/stop"
"$WINE" "$fixtures/hold_mapping.exe" "$(winpath "$work/ready")" "$(winpath "$work/stop")" &
holder=$!
for _ in $(seq 1 300); do [ -f "$work/ready" ] && break; sleep 0.1; done
[ -f "$work/ready" ] || fail "the holder did not start"
run /check
touch "$work/stop"
wait "$holder"
exit_is 1
has "ProductIdle=0"
memo_is "$NOT_POSSIBLE" "Программный комплекс Tarvo Estimate 6 работает."
end

begin "RES.bd missing opens in replace mode"
rm "$work/product/Base/RES.bd"
rm "$work/update/U_W_list.DB"
run /check
exit_is 0
has "TransferModeAvailable=0"
has "Mode=replace"
has "Header=Замена базы"
memo_is "$READY"
end

begin "transfer mode with U_W_list.DB and Kl_spr.db missing"
rm "$work/update/U_W_list.DB" "$work/product/Base/Kl_spr.db"
run /check
exit_is 1
has "UpdateModulesComplete=0"
has "DatabaseIntact=0"
memo_is "$NOT_POSSIBLE" "Некорректный состав модулей обновления." "Повреждена обновляемая база данных."
end

begin "replace mode tests no table"
rm "$work/update/U_W_list.DB" "$work/product/Base/Kl_spr.db"
run /check=replace
exit_is 0
has "Mode=replace"
has "UpdateModulesComplete=1"
has "DatabaseIntact=1"
end

begin "missing component archive"
rm "$work/update/Prog.zip"
run /check
exit_is 1
has "ComponentFileMissing=1"
end

begin "no update6.ini"
rm "$work/update/update6.ini"
run /check
exit_is 2
end

# The version table, with resources read by the Windows API.
while IFS='|' read -r fixture installed verdict; do
  begin "version $installed"
  cp "$fixtures/$fixture.exe" "$work/product/Tarvo7.exe"
  run /check
  has "InstalledVersion=$installed"
  has "VersionSufficient=$verdict"
  if [ "$verdict" = 0 ]; then
    memo_is "$NOT_POSSIBLE" "Для установки данного обновления требуется версия 7.25b программного комплекса Tarvo Estimate 6."
  fi
  end
done <<'ROWS'
fixture_v725b|7.25b|1
fixture_v725c|7.25c|1
fixture_v724c|7.24c|0
fixture_v725|7.25|0
fixture_v730|7.30|1
fixture_v1000a|10.0.a|0
fixture_v72501b|7.25.b|0
fixture_noresource|ValueValue Not Available|1
ROWS

tarvo_wine_reg_delete "$KEY"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
