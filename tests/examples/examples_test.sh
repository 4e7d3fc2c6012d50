#!/usr/bin/env bash
# Runs one example module of examples/modules as its developer would, on an installation made for
# it, and compares what it prints with the example's expected-output.txt, where @WORK@ stands for
# the installation's folder. The servers must be registered in the current WINEPREFIX.
#
#   examples_test.sh vbscript|jscript|cpp 64|32 RESULTS.xml [BUILD-DIR TOOLCHAIN-FILE]
#
# cpp first installs BUILD-DIR into a throwaway prefix and builds the example against the SDK
# there, as a module's developer builds it.
set -u
example=$1
bits=$2
results=$3
build=${4:-}
toolchain=${5:-}
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd) || exit 2
examples=${src}/examples

source "${src}/scripts/wine-env.sh"
source "${src}/tests/support/test_report.sh"
wine() { wine_bits "${bits}" "$@"; }
check() {  # name, status (0 passed), why
  if [[ "$2" == 0 ]]; then report_pass "$1" "${example}${bits}"; else
    report_fail "$1" "$3" "${example}${bits}"
  fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-example.XXXXXX") || exit 2
clear_keys() {
  wine reg delete 'HKCU\SOFTWARE\MOLTRA' /f >/dev/null 2>&1
  wine reg delete 'HKLM\SOFTWARE\MOLTRA' /f /reg:32 >/dev/null 2>&1
  wine reg delete 'HKLM\SOFTWARE\MOLTRA' /f /reg:64 >/dev/null 2>&1
}
trap 'clear_keys; rm -rf -- "${work}"' EXIT

# The installation: the application directory, the user chosen last, another user with a
# configuration of their own, one without, and the parameter files.
cp -r "${examples}/app" "${examples}/user" "${examples}/params" "${work}/" || exit 2
mkdir -p "${work}/other/dat" "${work}/guest" || exit 2
printf '[Units]\nLength = m\n' >"${work}/other/dat/velmo.cfg"
win_work=$(wine64 winepath -w "${work}") || exit 2
clear_keys
wine_reg "${bits}" add 'HKLM\SOFTWARE\MOLTRA\USERS' /v PathVELMO_SW2 /t REG_SZ \
  /d "${win_work}\\app" /f /reg:32 >/dev/null &&
  wine_reg "${bits}" add 'HKCU\Software\MOLTRA\Users' /v UserVELMO_SW2 /t REG_SZ \
    /d "${win_work}\\user" /f >/dev/null
check installation $? "reg add failed"

run=()
case "${example}" in
  vbscript | jscript)
    script=${examples}/modules/${example}/module.vbs
    [[ ${example} == jscript ]] && script=${examples}/modules/${example}/module.js
    run=(wine cscript //nologo "$(wine64 winepath -w "${script}")" "${win_work}\\params\\beam.pp")
    ;;
  cpp)
    prefix=${work}/prefix
    cmake --install "${build}" --prefix "${prefix}" >"${work}/log" 2>&1
    check sdk-installed $? "cmake --install ${build} failed: $(tail -5 "${work}/log")"
    cmake -S "${examples}/modules/cpp" -B "${work}/build" -G Ninja --toolchain "${toolchain}" \
      -DVELMO_SDK="${prefix}/SDK" "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror" \
      >"${work}/log" 2>&1 && cmake --build "${work}/build" -j2 >>"${work}/log" 2>&1
    check built-against-the-sdk $? "$(tail -20 "${work}/log")"
    run=(wine "${work}/build/user_guard.exe" "${win_work}\\guest" "${win_work}\\other")
    ;;
  *)
    echo "examples_test: no example '${example}'" >&2
    exit 2
    ;;
esac

output=$("${run[@]}" 2>"${work}/stderr")
status=$?
output=$(tr -d '\r' <<<"${output}")
printf '%s\n' "${output}"
check exit-status "${status}" "exited with ${status}: $(cat "${work}/stderr")"
expected=$(<"${examples}/modules/${example}/expected-output.txt")
expected=${expected//@WORK@/${win_work}}
difference=$(diff <(printf '%s\n' "${expected}") <(printf '%s\n' "${output}"))
check output $? "differs from expected-output.txt: ${difference}"

if [[ "${example}" == cpp ]]; then
  # What the switches left in the registry, where the program cannot look past the library.
  stored=$(wine_reg "${bits}" query 'HKCU\SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2' /v USER |
    tr -d '\r' | sed -n 's/^ *USER *REG_SZ *//p')
  [[ "${stored}" == "${win_work}\\other\\" ]]
  check accepted-user-stored $? "USER is '${stored}'"
fi

report_write "${results}" "${example}_example" "${example}${bits}"
((report_failures == 0))
