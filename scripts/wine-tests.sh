#!/usr/bin/env bash
# Builds the MinGW presets and runs their tests under Wine in a throwaway prefix, so a run never
# depends on, or leaves anything in, ~/.wine.
#
#   scripts/wine-tests.sh [mingw64|mingw32|both-bitnesses]...   (mingw64 mingw32 when none is named)
#
# both-bitnesses takes the two presets as built and checks that each keeps working when the other
# is unregistered; its results go to build/both-bitnesses/test-results.
set -uo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)" || exit 2
cd "${source_dir}" || exit 2

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

make_prefix() {
  # Without Mono and Gecko, which Wine would otherwise offer to install.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i && wineserver -w &&
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null &&
    wineserver -w
}

# The prefix is made while the first preset builds; the build is what takes the time.
started="$(now)"
# In a process group of its own, so that stopping early can stop all of it.
setsid bash -c "$(declare -f make_prefix); make_prefix" >"${WINEPREFIX}/boot.log" 2>&1 &
boot_pid=$!
prefix_ready=""

failed=()
project_version=$(sed -n 's/^project(VELMOSWGlobalLib VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
wait_for_prefix() {
  [[ -z "${prefix_ready}" ]] || return 0
  local step
  step="$(now)"
  wait "${boot_pid}"
  local boot_status=$?
  boot_pid=""
  if ((boot_status != 0)); then
    echo "wine-tests: making the Wine prefix failed:" >&2
    cat "${WINEPREFIX}/boot.log" >&2
    exit 1
  fi
  rm -f -- "${WINEPREFIX}/boot.log"
  prefix_ready=yes
  echo "wine-tests: prefix ready after $(elapsed "${step}") more"
}

for preset in "${presets[@]}"; do
  step="$(now)"
  if [[ "${preset}" == both-bitnesses ]]; then
    wait_for_prefix
    rm -rf -- "build/${preset}/test-results"
    mkdir -p "build/${preset}/test-results"
    if ! TZ=Asia/Kolkata bash tests/binding/both_bitnesses_test.sh build/mingw64 build/mingw32 \
      "build/${preset}/test-results"; then
      echo "wine-tests: one bitness broke the other" >&2
      failed+=("${preset}")
    fi
    echo "wine-tests: ${preset}: tested in $(elapsed "${step}")"
    continue
  fi
  if ! cmake --preset "${preset}" >/dev/null; then
    echo "wine-tests: ${preset}: configure failed" >&2
    failed+=("${preset}")
    continue
  fi
  echo "wine-tests: ${preset}: configured in $(elapsed "${step}")"

  step="$(now)"
  if ! cmake --build --preset "${preset}"; then
    echo "wine-tests: ${preset}: build failed" >&2
    failed+=("${preset}")
    continue
  fi
  echo "wine-tests: ${preset}: built in $(elapsed "${step}")"

  wait_for_prefix

  # Results left by an earlier run must not stand in for a test that no longer writes any.
  results="build/${preset}/test-results"
  rm -rf -- "${results}"
  step="$(now)"
  # The COM servers' tests create them by ProgID: they are registered in this prefix around them,
  # companions first, and what registering and unregistering leave is itself tested.
  bits=${preset#mingw}
  bin="build/${preset}/bin"
  tests_passed=yes
  # For the current user alone first, then taken away again.
  for mode in register-user unregister-user; do
    if ! bash tests/binding/registration_test.sh "${mode}" "${bits}" "${bin}" \
      "${results}/${mode/-/_}_test.xml"; then
      echo "wine-tests: ${preset}: ${mode} of the servers in ${bin} failed" >&2
      tests_passed=""
    fi
  done
  if ! bash tests/binding/registration_test.sh register "${bits}" "${bin}" \
    "${results}/registration_test.xml"; then
    echo "wine-tests: ${preset}: registering the servers in ${bin} failed" >&2
    tests_passed=""
  fi
  if ! ctest --preset "${preset}"; then
    echo "wine-tests: ${preset}: tests failed" >&2
    tests_passed=""
  fi
  if ! bash tests/binding/registration_test.sh unregister "${bits}" "${bin}" \
    "${results}/unregistration_test.xml"; then
    echo "wine-tests: ${preset}: unregistering the servers in ${bin} failed" >&2
    tests_passed=""
  fi
  # The installer, with nothing of the add-in registered: it registers through its own entries.
  if ! bash tests/binding/installer_test.sh "${bits}" \
    "build/${preset}/VELMOSWGlobalLib-${project_version}-${bits}bit.msi" \
    "${results}/installer_test.xml"; then
    echo "wine-tests: ${preset}: the installer failed" >&2
    tests_passed=""
  fi
  [[ -n "${tests_passed}" ]] || failed+=("${preset}")
  echo "wine-tests: ${preset}: tested in $(elapsed "${step}")"
done

echo "wine-tests: finished in $(elapsed "${started}")"
if ((${#failed[@]} > 0)); then
  echo "wine-tests: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "wine-tests: all passed: ${presets[*]}"
