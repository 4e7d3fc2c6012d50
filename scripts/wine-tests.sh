#!/usr/bin/env bash
# Builds the MinGW presets and runs their tests under Wine in a throwaway prefix, so a run never
# depends on, or leaves anything in, ~/.wine.
#
#   scripts/wine-tests.sh [mingw64|mingw32|both-bitnesses]...   (mingw64 mingw32 when none is named)
#
# both-bitnesses takes the two presets as built and checks that each keeps working when the other
# is unregistered; its results go to build/both-bitnesses/test-results.
#
# Where this machine cannot run 32-bit programs (or VELMO_NO_WIN32=1), mingw32 is still built,
# and its tests and both-bitnesses are recorded as skipped, with the reason.
set -uo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)" || exit 2
cd "${source_dir}" || exit 2
source scripts/wine-env.sh
source tests/support/test_report.sh

presets=("$@")
if ((${#presets[@]} == 0)); then presets=(mingw64 mingw32); fi
for preset in "${presets[@]}"; do
  case "${preset}" in
    mingw64 | mingw32 | both-bitnesses) ;;
    *)
      echo "wine-tests: unknown preset '${preset}' (expected mingw64 or mingw32)" >&2
      exit 2
      ;;
  esac
done

export WINEDEBUG=-all
# With no display a message box returns at once; a test that wants a real one starts its own
# Xvfb (tests/binding/on_xvfb.sh). A box shown on the desktop of whoever runs this would wait.
unset DISPLAY WAYLAND_DISPLAY
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/velmo-wine.XXXXXX")" || exit 2
export WINEPREFIX
boot_pid=""

cleanup() {
  local status=$?
  if [[ -n "${boot_pid}" ]]; then
    kill -TERM -- "-${boot_pid}" 2>/dev/null
    wait "${boot_pid}" 2>/dev/null
  fi
  # Only this prefix's server and the programs it runs.
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  rm -rf -- "${WINEPREFIX}"
  exit "${status}"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

now() { echo "${EPOCHREALTIME}"; }
elapsed() { awk -v from="$1" -v to="${EPOCHREALTIME}" 'BEGIN { printf "%.1f s", to - from }'; }

# The prefix is made while the first preset builds; the build is what takes the time.
started="$(now)"
# In a process group of its own, so that stopping early can stop all of it.
setsid timeout -k 10 600 bash -c "source scripts/wine-env.sh; wine_make_prefix" \
  >"${WINEPREFIX}/boot.log" 2>&1 &
boot_pid=$!
prefix_ready=""

failed=()
wait_for_prefix() {
  [[ "${prefix_ready}" != failed ]] || return 1
  [[ -z "${prefix_ready}" ]] || return 0
  local step
  step="$(now)"
  wait "${boot_pid}"
  local boot_status=$?
  boot_pid=""
  if ((boot_status != 0)); then
    echo "wine-tests: making the Wine prefix failed:" >&2
    cat "${WINEPREFIX}/boot.log" >&2
    prefix_ready=failed
    return 1
  fi
  rm -f -- "${WINEPREFIX}/boot.log"
  prefix_ready=yes
  echo "wine-tests: prefix ready after $(elapsed "${step}") more"
}

# Every test this starts is accounted for in the preset's results: one that cannot run here as
# skipped, with the reason; one that wrote no results, or ended otherwise than they say, as failed
# (scripts/test-results.pl); a step that stops the rest (configure, build, prefix) as a failed case.
preset_failed=""
steps_begin() {
  report_reset
  preset_failed=""
}
step_failed() {  # name, message
  report_fail "$1" "$2" wine-tests
  preset_failed=yes
}
# A test script outside CTest, with a time limit of its own.
run_script() {  # name, its results (a file, or a directory of them), script and arguments...
  local name=$1 results=$2
  shift 2
  timeout -k 10 900 bash "$@"
  local status=$?
  ((status == 0)) || preset_failed=yes
  ((status != 124)) || echo "wine-tests: ${name} did not end in time" >&2
  perl scripts/test-results.pl process "${name}" "${status}" "${results}"
}
prefix_or_fail() {
  wait_for_prefix && return 0
  step_failed wine-prefix "making the Wine prefix failed"
  return 1
}

test_both_bitnesses() {  # results directory
  if ! win32_runs; then
    report_skip both_bitnesses_test "$(win32_why_not)"
    echo "wine-tests: both-bitnesses: SKIPPED: $(win32_why_not)"
    return
  fi
  prefix_or_fail || return
  TZ=Asia/Kolkata run_script both_bitnesses_test "$1" tests/binding/both_bitnesses_test.sh \
    build/mingw64 build/mingw32 "$1"
}

test_preset() {  # preset, results directory
  local preset=$1 results=$2 bits=${1#mingw} step
  step="$(now)"
  if ! cmake --preset "${preset}" >/dev/null; then
    step_failed configure "cmake --preset ${preset} failed"
    return
  fi
  echo "wine-tests: ${preset}: configured in $(elapsed "${step}")"
  step="$(now)"
  if ! cmake --build --preset "${preset}"; then
    step_failed build "cmake --build --preset ${preset} failed"
    return
  fi
  echo "wine-tests: ${preset}: built in $(elapsed "${step}")"

  if [[ ${bits} == 32 ]] && ! win32_runs; then
    # Built all the same, as cross-compiling needs no 32-bit kernel; each test is named skipped.
    local name
    while read -r name; do
      report_skip "${name}" "$(win32_why_not)" >/dev/null
    done < <(ctest --preset "${preset}" -N | sed -n 's/^ *Test *#[0-9]*: //p'
      printf '%s\n' installer_test)
    echo "wine-tests: ${preset}: SKIPPED ${report_skipped} tests: $(win32_why_not)"
    return
  fi
  prefix_or_fail || return

  step="$(now)"
  # CTest's fixtures make the prefix ready and register the servers in it around the tests that
  # create them, companions first; registering and unregistering are tests of their own. Each
  # test has a time limit of its own, in the build's CMake files.
  rm -f "build/${preset}/ctest-junit.xml"
  ctest --preset "${preset}" --output-junit "${PWD}/build/${preset}/ctest-junit.xml" 2>&1 |
    tee "build/${preset}/ctest.log"
  ((PIPESTATUS[0] == 0)) || preset_failed=yes
  perl scripts/test-results.pl ctest "build/${preset}/ctest-junit.xml" "${results}" \
    "build/${preset}/ctest.log"
  # The installer, with nothing of the add-in registered (the fixture's last step took the servers
  # away): it registers through its own entries.
  local version
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/${preset}/CMakeCache.txt")
  run_script installer_test "${results}/installer_test.xml" tests/binding/installer_test.sh "${bits}" \
    "build/${preset}/VELMOSWGlobalLib-${version}-${bits}bit.msi" "${results}/installer_test.xml"
  echo "wine-tests: ${preset}: tested in $(elapsed "${step}")"
}

for preset in "${presets[@]}"; do
  results="build/${preset}/test-results"
  # Results left by an earlier run must not stand in for a test that no longer writes any.
  rm -rf -- "${results}"
  mkdir -p "${results}"
  steps_begin
  if [[ "${preset}" == both-bitnesses ]]; then
    test_both_bitnesses "${results}"
  else
    test_preset "${preset}" "${results}"
  fi
  report_write "${results}/wine-tests.xml" "wine-tests-${preset}"
  [[ -z "${preset_failed}" ]] || failed+=("${preset}")
done

echo "wine-tests: finished in $(elapsed "${started}")"
if ((${#failed[@]} > 0)); then
  echo "wine-tests: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "wine-tests: nothing failed: ${presets[*]}"
