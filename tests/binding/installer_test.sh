#!/usr/bin/env bash
# The Windows Installer package of one bitness in the current WINEPREFIX, where nothing of the
# add-in is registered: msiexec /i installs it; a module's script then starts up from what it
# installed; msiexec /x takes away every file and key of the package and leaves what start-up and
# the user wrote; a package installed twice, or repaired, changes nothing.
#
#   installer_test.sh 64|32 PACKAGE.msi RESULTS.xml
set -u
bits=$1
package=$2
results=$3

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
# Every Wine program of this test runs in its bitness.
wine() { wine_bits "${bits}" "$@"; }
case "${bits}" in
  64) view=/reg:64 folder='C:\Program Files\MOLTRA\VELMO_SW2\' ;;
  32) view=/reg:32 folder='C:\Program Files (x86)\MOLTRA\VELMO_SW2\' ;;
  *)
    echo "installer_test: bitness must be 64 or 32, not '${bits}'" >&2
    exit 2
    ;;
esac
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-msi.XXXXXX") || exit 2
trap 'rm -rf -- "${work}"' EXIT
msi=$(wine64 winepath -w "${package}") || exit 2
release_key='HKLM\SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2'

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_report.sh"
check() {  # name, passed (0/1 status of the test command), why
  if [[ "$2" == 0 ]]; then report_pass "$1" "installer${bits}"; else
    report_fail "$1" "$3" "installer${bits}"
  fi
}
# The machine's classes and the key the package writes its one value to, in both views, as text
# to compare; Windows Installer's own records of what it installed are not the package's.
# A query that fails, other than for a key not there, fails the snapshot: two empty ones would
# compare equal.
snapshot() {  # name
  local view_flag key out
  : >"${work}/$1.raw"
  for view_flag in /reg:64 /reg:32; do
    for key in 'HKLM\Software\Classes' 'HKLM\Software\MOLTRA\USERS'; do
      if out=$(wine_reg 64 query "${key}" /s "${view_flag}"); then
        printf '%s\n' "${out}" >>"${work}/$1.raw"
      elif ! wine_reg_says_absent "${out}"; then
        check "snapshot-$1" 1 "reg query ${key} ${view_flag} failed: ${out:0:200}"
        return
      fi
    done
  done
  tr -d '\r' <"${work}/$1.raw" |
    awk '/^HKEY_/ { skip = index($0, "\\Classes\\Installer") > 0 } !skip' >"${work}/$1"
  grep -q '^HKEY_LOCAL_MACHINE\\Software\\Classes\\' "${work}/$1"
  check "snapshot-$1" $? "the snapshot holds none of the machine's classes"
}
host_folder=$(wine64 winepath -u "${folder}")

# The Script Host registers its own interfaces on its first run: let it, before the first
# snapshot.
echo 'WScript.Quit 0' >"${work}/nothing.vbs"
wine cscript //nologo "$(wine64 winepath -w "${work}/nothing.vbs")" >/dev/null 2>&1
snapshot before
wine msiexec /i "${msi}" /qn
status=$?
check install "$((status != 0))" "msiexec /i exited with ${status}"
for file in VELMOSWGlobalLib.dll MOLConfigLib.dll MolGPP.dll velmoctl.exe Dat/velmo.cfg \
  Dat/Geometrie.dat; do
  [[ -f "${host_folder}/${file}" ]]
  check "installed-${file//\//-}" $? "${folder}${file} is missing"
done
# The SDK, every file the build listed for it, as built.
sdk_list="$(dirname "${package}")/sdk-files.txt"
sdk_missing=""
[[ -s "${sdk_list}" ]] || sdk_missing=" the list ${sdk_list}"
while IFS='|' read -r sdk_folder sdk_file; do
  cmp -s "${sdk_file}" "${host_folder}/${sdk_folder}/${sdk_file##*/}" ||
    sdk_missing+=" ${sdk_folder}/${sdk_file##*/}"
done <"${sdk_list}"
check installed-sdk "$([[ -z "${sdk_missing}" ]]; echo $?)" "missing or different:${sdk_missing}"
wine reg query 'HKLM\SOFTWARE\MOLTRA\USERS' /v PathVELMO_SW2 "${view}" >/dev/null 2>&1
check path-for-first-start-up $? "PathVELMO_SW2 is not in the ${bits}-bit view"

# An add-in module's first start-up.
cat >"${work}/module.vbs" <<'VBS'
On Error Resume Next
Set g = CreateObject("VELMOSWGlobalLib.MOLTRAGlobalClass")
If Err.Number <> 0 Then WScript.Echo "create failed " & Hex(Err.Number) : WScript.Quit 1
r = g.MOLTRAG_Init("2010")
WScript.Echo "app=" & g.AppPath
Set geo = g.GeometrieDat
If geo Is Nothing Then WScript.Echo "geometry=none" Else WScript.Echo "geometry=" & geo.Value("HEA100", "h")
WScript.Echo "written=" & g.RegWriteInterfaceValue("Installe", "oui")
VBS
output=$(wine cscript //nologo "$(wine64 winepath -w "${work}/module.vbs")" 2>&1 | tr -d '\r')
grep -qxF "app=${folder}" <<<"${output}"
check start-up-finds-the-program-folder $? "${output//$'\n'/ }"
grep -qx 'geometry=96' <<<"${output}"
check geometry-from-the-program-folder $? "${output//$'\n'/ }"
grep -qx 'written=True' <<<"${output}"
check module-writes-its-value $? "${output//$'\n'/ }"

# The installed velmoctl.exe finds the servers the package registered through its own entries.
wine "${host_folder}/velmoctl.exe" doctor --json --no-start-up 2>/dev/null | tr -d '\r' \
  >"${work}/doctor.json"
for class in MOLTRAGlobalClass classPP ConfigDocument PPDocument; do
  verdict=$(perl "$(dirname "${BASH_SOURCE[0]}")/../support/doctor_verdict.pl" "${work}/doctor.json" \
    "${class} server (${bits}-bit)" 2>&1)
  check "doctor-finds-${class}" "$([[ ${verdict} == ok ]]; echo $?)" "${verdict}"
done

# Installed again, and repaired: nothing changes.
snapshot installed
wine msiexec /i "${msi}" /qn
wine msiexec /fa "${msi}" /qn
snapshot again
diff -q "${work}/installed" "${work}/again" >/dev/null
check second-install-and-repair-change-nothing $? "the registry differs after a second install"

wine msiexec /x "${msi}" /qn
status=$?
check uninstall "$((status != 0))" "msiexec /x exited with ${status}"
[[ ! -e "${host_folder}" ]]
check files-removed $? "${folder} is still there"
snapshot after
diff "${work}/before" "${work}/after" >"${work}/diff"
check registry-as-before $? "$(head -c 300 "${work}/diff" | tr '\n' ' ')"
wine reg query "${release_key}" /v PATH /reg:32 >/dev/null 2>&1 ||
  wine reg query "${release_key}" /v PATH "${view}" >/dev/null 2>&1
check start-up-path-kept $? "the PATH start-up wrote is gone"
wine reg query 'HKCU\SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2\Interface' /v Installe >/dev/null 2>&1
check users-value-kept $? "the interface value the module wrote is gone"
wine reg delete 'HKCU\SOFTWARE\MOLTRA' /f >/dev/null 2>&1
for v in /reg:32 /reg:64; do wine reg delete 'HKLM\SOFTWARE\MOLTRA' /f "${v}" >/dev/null 2>&1; done

echo "installer_test (${bits}-bit): $((report_tests - report_failures)) of ${report_tests} checks passed"
report_write "${results}" installer_test "installer${bits}"
((report_failures == 0))
