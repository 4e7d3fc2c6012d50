#!/usr/bin/env bash
# Times calls at the automation boundary under Wine: a VBScript loop against
# Scripting.Dictionary in the same script, and a C++ program calling the same members through
# the vtable and through IDispatch. Builds the servers optimised, then works in a throwaway prefix
# where it registers them and makes a small installation. Takes about half a minute once built.
#
#   scripts/wine-bench.sh [mingw64|mingw32] [CALLS]
set -uo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)" || exit 2
cd "${source_dir}" || exit 2
source scripts/wine-env.sh
preset=${1:-mingw64}
calls=${2:-50000}
case "${preset}" in
  mingw64) bits=64 ;;
  mingw32)
    bits=32
    if ! win32_runs; then
      echo "wine-bench: mingw32 cannot run here: $(win32_why_not)" >&2
      exit 1
    fi
    ;;
  *)
    echo "wine-bench: unknown preset '${preset}' (expected mingw64 or mingw32)" >&2
    exit 2
    ;;
esac
# Every Wine program of the benchmark runs in its bitness.
wine() { wine_bits "${bits}" "$@"; }

# Optimised, as a DLL that ships would be, in a build tree of its own; the preset's own tree is
# the tests' debug build.
build="build/${preset}-bench"
cmake --preset "${preset}" -B "${build}" -DCMAKE_BUILD_TYPE=Release -DVELMO_BUILD_TESTS=OFF \
  >/dev/null || exit 1
cmake --build "${build}" --target VELMOSWGlobalLib MOLConfigLib MolGPP automation_calls \
  >/dev/null || exit 1
bin="${source_dir}/${build}/bin"

export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/velmo-bench.XXXXXX")" || exit 2
export WINEPREFIX
trap 'wineserver -k 2>/dev/null; wineserver -w 2>/dev/null; rm -rf -- "${WINEPREFIX}"' EXIT
WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -i >/dev/null 2>&1 && wineserver -w || exit 1

for dll in MOLConfigLib.dll MolGPP.dll VELMOSWGlobalLib.dll; do
  wine regsvr32 /s "$(wine64 winepath -w "${bin}/${dll}")" || exit 1
done
work="${WINEPREFIX}/install"
mkdir -p "${work}/app/Dat" "${work}/app/dat" "${work}/user/dat"
printf '[Poutre]\nHauteur = 200\n' >"${work}/app/Dat/Geometrie.dat"
printf '[General]\nNom = application\n' >"${work}/app/dat/velmo.cfg"
printf '[General]\nNom = utilisateur\n' >"${work}/user/dat/velmo.cfg"
release_key='SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2'
wine reg add "HKLM\\${release_key}" /v PATH /t REG_SZ /d "$(wine64 winepath -w "${work}/app")" \
  /f /reg:32 >/dev/null || exit 1
wine reg add "HKCU\\${release_key}" /v USER /t REG_SZ /d "$(wine64 winepath -w "${work}/user")" \
  /f >/dev/null || exit 1

echo "== ${preset}: VBScript (cscript), ${calls} calls a round, best of 5"
wine cscript //nologo "$(wine64 winepath -w bench/automation/automation_calls.vbs)" "${calls}" |
  tr -d '\r'
echo "== ${preset}: C++ (automation_calls.exe), ${calls} calls a round, best of 7"
wine "${build}/bench/automation/automation_calls.exe" "${calls}" | tr -d '\r'
