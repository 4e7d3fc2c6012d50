#!/usr/bin/env bash
# velmoctl.exe in the current WINEPREFIX, where the servers of its bitness are registered: its reg
# commands against Wine's reg (both views) and regedit (its own bitness's view), then doctor on a
# healthy install and on each fault it must name, read back through its JSON with a JSON parser.
#   velmoctl_wine_test.sh 64|32 BIN_DIR EXAMPLES_DIR RESULTS.xml
set -u
bits=$1
bin=$2
examples=$3
results=$4
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "${here}/../../scripts/wine-env.sh"
source "${here}/../support/test_report.sh"
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT

velmoctl() {  # its output without the CRs, and its exit status
  wine_bits "${bits}" "${bin}/velmoctl.exe" "$@" 2>"${work}/err" | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
winpath() { wine64 winepath -w "$1" 2>/dev/null | tr -d '\r'; }

check() {  # name, wanted output, got output
  if [[ "$3" == "$2" ]]; then
    report_pass "$1"
  else
    report_fail "$1" "wanted '$2', got '$3' $(cat "${work}/err")"
  fi
}
reg_has() {  # name, text wanted in reg's answer, reg arguments...
  local name=$1 want=$2 out
  shift 2
  out=$(wine_reg 64 "$@")
  if grep -qF -- "${want}" <<<"${out}"; then report_pass "${name}"; else report_fail "${name}" "${out}"; fi
}

# reg.exe and velmoctl.exe see the same value in each view, and the two views stay apart.
test_key='HKLM\Software\VelmoCtlWine'
velmoctl reg set --32 "${test_key}" Text 'trente-deux' >/dev/null
reg_has set-32-read-by-reg 'trente-deux' query "${test_key}" /v Text /reg:32
out=$(wine_reg 64 query "${test_key}" /v Text /reg:64)
if wine_reg_says_absent "${out}"; then report_pass views-apart; else report_fail views-apart "${out}"; fi
wine_reg 64 add "${test_key}" /v Count /t REG_DWORD /d 42 /reg:64 /f >/dev/null
check reg-add-64-read-by-velmoctl 42 "$(velmoctl reg get --64 "${test_key}" Count)"
check one-word-key-long-root 42 "$(velmoctl reg get --64 "HKEY_LOCAL_MACHINE\\Software\\VelmoCtlWine" Count)"

# Through regedit, in this bitness's own view, both ways.
velmoctl reg set HKCU 'Software\VelmoCtlWine' Lines $'one\ntwo' --type multi_sz >/dev/null
velmoctl reg set HKCU 'Software\VelmoCtlWine' Raw 00ff7f --type binary >/dev/null
velmoctl reg set HKCU 'Software\VelmoCtlWine' Name 'Łukasz 設計' >/dev/null
velmoctl reg export "$(winpath "${work}")\\out.reg" 'HKCU\Software\VelmoCtlWine' >/dev/null
wine_reg 64 delete 'HKCU\Software\VelmoCtlWine' /f >/dev/null
wine_bits "${bits}" regedit /s "$(winpath "${work}/out.reg")" 2>/dev/null
check velmoctl-export-regedit-import $'one\ntwo' "$(velmoctl reg get HKCU 'Software\VelmoCtlWine' Lines)"
check velmoctl-export-regedit-import-text 'Łukasz 設計' "$(velmoctl reg get HKCU 'Software\VelmoCtlWine' Name)"
wine_bits "${bits}" regedit /e "$(winpath "${work}/back.reg")" 'HKEY_CURRENT_USER\Software\VelmoCtlWine' 2>/dev/null
velmoctl reg delete 'HKCU\Software\VelmoCtlWine' --key >/dev/null
velmoctl reg import "$(winpath "${work}/back.reg")" >/dev/null
check regedit-export-velmoctl-import 00ff7f "$(velmoctl reg get HKCU 'Software\VelmoCtlWine' Raw)"

# doctor, on the example install in C:\velmo.
install=$(wine64 winepath -u 'C:\velmo' 2>/dev/null | tr -d '\r')
rm -rf "${install}"
mkdir -p "${install}"
cp -r "${examples}/app" "${examples}/user" "${install}/"
key='HKLM\SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2'
user_key='HKCU\Software\MOLTRA\VELMO_SW2\VELMO_SW2 2'
velmoctl reg set --32 "${key}" PATH 'C:\velmo\app\' >/dev/null
velmoctl reg set "${user_key}" USER 'C:\velmo\user\' >/dev/null

expect() {  # name, wanted "VERDICT EXIT", check, doctor options...
  local name=$1 want=$2 check=$3 rc got
  shift 3
  velmoctl doctor --json "$@" >"${work}/out.json"
  rc=$?
  got="$(perl "${here}/../support/doctor_verdict.pl" "${work}/out.json" "${check}" 2>&1) ${rc}"
  check "${name}" "${want}" "${got}"
  [[ "${got}" == "${want}" ]] || cat "${work}/out.json"
}

out=$(velmoctl doctor)
if [[ -n "${out}" ]] && ! grep -qv '^ok ' <<<"${out}"; then
  report_pass healthy-all-ok
else
  report_fail healthy-all-ok "${out}"
fi
expect healthy-start-up "ok 0" start-up

# The library's commands, each after a start-up through the registered companions.
out=$(velmoctl status --host-version 2010)
grep -qE '^GeometrieDat +loaded$' <<<"${out}"
check status-through-the-companions 0 "$?"
cp -r "${examples}/params" "${install}/"
check pp-through-the-cache 'C:\velmo\params\beam.pp: status 0, slot 0, accesses 1' \
  "$(velmoctl pp 'C:\velmo\params\beam.pp')"
mkdir -p "${install}/other"
check user-switch-events 'UserChanging NewUser="C:\velmo\other" Cancel=false
UserChanged OldUser="C:\velmo\user\" NewUser="C:\velmo\other\"
result 0' "$(velmoctl user switch 'C:\velmo\other')"
velmoctl reg set "${user_key}" USER 'C:\velmo\user\' >/dev/null

velmoctl reg set "${user_key}" USER 'C:\velmo\gone\' >/dev/null
expect user-names-missing-directory "fault 1" "user directory" --no-start-up
velmoctl reg set "${user_key}" USER 'C:\velmo\user\' >/dev/null

mv "${install}/app/Dat/Geometrie.dat" "${work}/"
expect missing-geometry "fault 1" "geometry configuration" --no-start-up
mv "${work}/Geometrie.dat" "${install}/app/Dat/"

velmoctl reg delete --32 "${key}" PATH >/dev/null
velmoctl reg set --64 "${key}" PATH 'C:\velmo\app\' >/dev/null
expect path-only-in-64-bit-view "fault 1" "application directory" --no-start-up
velmoctl reg delete --64 "${key}" PATH >/dev/null
velmoctl reg set --32 "${key}" PATH 'C:\velmo\app\' >/dev/null

platform=win${bits}
library='HKCR\TypeLib\{94111C8C-8F9F-461D-ABCA-894E24C47031}\1.9\0\'${platform}
saved=$(wine_reg "${bits}" query "${library}" /ve | sed -n 's/.*REG_SZ *//p' | tr -d '\r')
wine_reg "${bits}" add "${library}" /ve /d 'C:\velmo\gone.tlb' /f >/dev/null
expect type-library-missing "fault 1" "MOLTRAGlobalClass server (${bits}-bit)" --no-start-up
wine_reg "${bits}" add "${library}" /ve /d "${saved}" /f >/dev/null

pp_dll=$(winpath "${bin}/MolGPP.dll")
wine_bits "${bits}" regsvr32 /s /u "${pp_dll}"
expect server-unregistered "fault 1" "PPDocument server (${bits}-bit)" --no-start-up
wine_bits "${bits}" regsvr32 /s "${pp_dll}"
expect registered-again "ok 0" "PPDocument server (${bits}-bit)" --no-start-up

wine_reg 64 delete "${test_key}" /reg:32 /f >/dev/null
wine_reg 64 delete "${test_key}" /reg:64 /f >/dev/null
rm -rf "${install}"
echo "velmoctl_wine_test: $((report_tests - report_failures - report_skipped)) of ${report_tests} checks passed"
report_write "${results}" "velmoctl_wine_test_${bits}" velmoctl
((report_failures == 0))
