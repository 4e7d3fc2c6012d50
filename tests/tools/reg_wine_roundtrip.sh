#!/usr/bin/env bash
# .reg files between Wine's registry editor and velmoctl: a key holding every value type, exported
# by regedit, imported and exported again by velmoctl, imported by regedit into a fresh prefix,
# must come back byte for byte.
#   reg_wine_roundtrip.sh VELMOCTL [RESULTS.xml]
set -u
velmoctl=$1
results=${2:-}
skip=77
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_report.sh"
result() {  # name, ok (0) or not, message
  if [[ $2 -eq 0 ]]; then report_pass "$1"; else report_fail "$1" "$3"; fi
}

if [[ ! -x ${velmo_wine64_loader} ]]; then
  echo "reg_wine_roundtrip: SKIPPED: Wine is not installed (scripts/install-deps.sh installs it)"
  report_skip roundtrip "Wine is not installed"
  report_write "${results}" reg_wine_roundtrip
  exit ${skip}
fi

work=$(mktemp -d)
first="${work}/first"
fresh="${work}/fresh"
unset DISPLAY
export WINEDEBUG=-all LANG=C.UTF-8 MOLTRA_REGISTRY_DIR="${work}/store"
cleanup() {
  for prefix in "${first}" "${fresh}"; do
    [[ -d ${prefix} ]] && WINEPREFIX=${prefix} wineserver -k 2>/dev/null
  done
  rm -rf "${work}"
}
trap cleanup EXIT

# One start of Wine; the second prefix is a copy of the first taken while it is still fresh.
WINEPREFIX=${first} WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -i >/dev/null 2>&1
WINEPREFIX=${first} wineserver -w
cp -a "${first}" "${fresh}"

export WINEPREFIX=${first}
key='HKCU\Software\VelmoRoundTrip'
long=$(for ((i = 0; i < 300; i++)); do printf '%02x' $((i * 7 % 256)); done)
# A value reg refuses would be missing from both exports alike: each one is a check of its own.
add() {  # key, reg add's arguments
  wine64 reg add "$@" /f >/dev/null 2>&1
  result "reg-add $*" $? "reg add $* failed"
}
add "${key}" /ve /t REG_SZ /d 'défaut'
add "${key}" /v 'Nämé 設計' /t REG_SZ /d 'C:\dir "q" Łódź'
add "${key}" /v empty /t REG_SZ /d ''
add "${key}" /v expand /t REG_EXPAND_SZ /d '%SystemRoot%\système'
add "${key}" /v multi /t REG_MULTI_SZ /d 'one\0twö\0'
add "${key}" /v dword /t REG_DWORD /d 0x8000002a
add "${key}" /v qword /t REG_QWORD /d 0x1122334455667788
add "${key}" /v long /t REG_BINARY /d "${long}"
add "${key}" /v none /t REG_NONE /d ''
add "${key}\Sub Ü" /v x /t REG_SZ /d y
wine64 regedit /e 'C:\first.reg' 'HKEY_CURRENT_USER\Software\VelmoRoundTrip'
result regedit-exported $? "regedit /e failed"

"${velmoctl}" reg import "${first}/drive_c/first.reg" >/dev/null
result velmoctl-import $? "velmoctl reg import failed"
"${velmoctl}" reg export "${fresh}/drive_c/velmoctl.reg" HKCU 'Software\VelmoRoundTrip'
result velmoctl-export $? "velmoctl reg export failed"
cmp -s "${first}/drive_c/first.reg" "${fresh}/drive_c/velmoctl.reg"
result velmoctl-writes-as-regedit $? "velmoctl's export differs from regedit's"

export WINEPREFIX=${fresh}
wine64 regedit /s 'C:\velmoctl.reg' &&
  wine64 regedit /e 'C:\back.reg' 'HKEY_CURRENT_USER\Software\VelmoRoundTrip'
result regedit-reimported $? "regedit could not import velmoctl's file"
cmp "${first}/drive_c/first.reg" "${fresh}/drive_c/back.reg"
result same-values $? "the key came back different"

echo "reg_wine_roundtrip: $((report_tests - report_failures)) of ${report_tests} checks passed"
report_write "${results}" reg_wine_roundtrip
((report_failures == 0))
