#!/usr/bin/env bash
# Runs a VBScript suite against the registered VELMOSWGlobalLib.dll with cscript of the given
# bitness, on an installation made for it: application and user directories with their files,
# and the registry values an installer leaves. Each "ok"/"not ok" line of the script is one test
# case; the registry the script leaves is checked too.
#
#   vbscript_test.sh 64|32 SCRIPT.vbs RESULTS.xml
set -u
bits=$1
script=$2
results=$3

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
# Every Wine program of this test runs in its bitness.
wine() { wine_bits "${bits}" "$@"; }
case "${bits}" in
  64 | 32) ;;
  *)
    echo "vbscript_test: bitness must be 64 or 32, not '${bits}'" >&2
    exit 2
    ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-vbs.XXXXXX") || exit 2
release_key='SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2'

clear_keys() {
  wine reg delete 'HKCU\SOFTWARE\MOLTRA' /f >/dev/null 2>&1
  wine reg delete 'HKLM\SOFTWARE\MOLTRA' /f /reg:32 >/dev/null 2>&1
  wine reg delete 'HKLM\SOFTWARE\MOLTRA' /f /reg:64 >/dev/null 2>&1
}
trap 'clear_keys; rm -rf -- "${work}"' EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_report.sh"
pass() { report_pass "$1" "vbscript${bits}"; }
fail() { report_fail "$1" "$2" "vbscript${bits}"; }  # name, why

# The installation. Directories are given as the installer stores them: no trailing separator.
mkdir -p "${work}/app/Dat" "${work}/app/dat" "${work}/app/params" "${work}/user/dat" \
  "${work}/other/dat" || exit 2
printf '[Poutre]\nHauteur = 200\n' >"${work}/app/Dat/Geometrie.dat"
printf '[General]\nNom = application\nUnites = mm\n' >"${work}/app/dat/velmo.cfg"
printf 'Largeur = 100\nHauteur = 200\n' >"${work}/app/params/beam.pp"
printf '[General]\nNom = utilisateur\n' >"${work}/user/dat/velmo.cfg"
app=$(wine64 winepath -w "${work}/app") || exit 2
user=$(wine64 winepath -w "${work}/user") || exit 2
other=$(wine64 winepath -w "${work}/other") || exit 2

clear_keys
if ! wine reg add "HKLM\\${release_key}" /v PATH /t REG_SZ /d "${app}" /f /reg:32 \
  >/dev/null || ! wine reg add "HKCU\\${release_key}" /v USER /t REG_SZ /d "${user}" /f \
  >/dev/null; then
  fail seed-registry "reg add failed"
fi

output=$(wine cscript //nologo "$(wine64 winepath -w "${script}")" "${app}" "${user}" "${other}" \
  2>"${work}/stderr")
status=$?
output=$(tr -d '\r' <<<"${output}")
printf '%s\n' "${output}"

passed_in_script=0
failed_in_script=0
while IFS= read -r line; do
  case "${line}" in
    "ok "*)
      pass "${line#ok }"
      passed_in_script=$((passed_in_script + 1))
      ;;
    "not ok "*)
      line=${line#not ok }
      fail "${line%%: *}" "${line#*: }"
      failed_in_script=$((failed_in_script + 1))
      ;;
  esac
done <<<"${output}"

# The script ends with its number of failures; anything else means it stopped on the way.
if ! grep -q '^done ' <<<"${output}"; then
  fail script-completed "the script stopped early (status ${status}): $(cat "${work}/stderr")"
elif ((status != failed_in_script)); then
  fail script-status "cscript exited with ${status} for ${failed_in_script} failed checks"
else
  pass script-completed
fi
if ((passed_in_script > 0)); then pass script-ran; else fail script-ran "no check passed"; fi

# What the script left in the registry, where a script cannot look: the machine hive's 32-bit
# view holds the security value it wrote through the library.
settings=$(wine reg query "HKLM\\${release_key}\\Settings" /v Niveau /reg:32 2>/dev/null |
  tr -d '\r' | sed -n 's/^    Niveau    REG_SZ    //p')
if [[ "${settings}" == 3 ]]; then
  pass security-value-in-machine-hive
else
  fail security-value-in-machine-hive "HKLM (32-bit view) Settings\\Niveau is '${settings}'"
fi

echo "vbscript_test (${bits}-bit): $((report_tests - report_failures)) of ${report_tests} checks passed"
report_write "${results}" vbscript_test "vbscript${bits}"
((report_failures == 0))
