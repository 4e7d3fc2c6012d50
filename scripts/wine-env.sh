# Sourced by every script that starts Wine: the one place that decides how a Windows program is
# started.
#
#   wine64 PROGRAM [ARG]...    a 64-bit program, or one of Wine's own (reg, regsvr32, regedit,
#                              cscript, msiexec, winepath, wineboot): through the 64-bit loader
#   wine32 PROGRAM [ARG]...    a 32-bit program: through the 32-bit loader; only where win32_runs
#   wine_bits 64|32 PROGRAM [ARG]...
#   win32_runs                 status 0 when this machine runs 32-bit programs
#   win32_why_not              why it does not, one line
#   wine_reg 64|32 ARG...      reg of that bitness, output and errors together
#   wine_reg_says_absent OUT   whether reg's output OUT says a key or value is not there
#   wine_make_prefix           makes WINEPREFIX a prefix the tests can run in
#
# Nothing goes through /usr/bin/wine and its links (wineboot, regsvr32, ...): that is Debian's
# wine-stable script, which takes the 32-bit loader whenever it is installed, and so fails for
# 64-bit programs too where the kernel cannot run 32-bit ones. Whether it can is found by running
# that loader, once a test run: the answer is exported for the scripts this one starts. Setting
# VELMO_NO_WIN32=1 takes the no-32-bit path on any machine.

velmo_wine64_loader=/usr/lib/wine/wine64
velmo_wine32_loader=/usr/lib/wine/wine

if [[ "${VELMO_NO_WIN32:-}" == 1 ]]; then
  VELMO_WIN32_RUNS=no VELMO_WIN32_WHY="VELMO_NO_WIN32=1 turns 32-bit programs off"
  export VELMO_WIN32_RUNS VELMO_WIN32_WHY
elif [[ -z "${VELMO_WIN32_RUNS:-}" ]]; then
  if [[ ! -x "${velmo_wine32_loader}" ]]; then
    VELMO_WIN32_RUNS=no VELMO_WIN32_WHY="Wine's 32-bit loader (wine32:i386) is not installed"
  elif velmo_wine32_error=$("${velmo_wine32_loader}" --version 2>&1 >/dev/null); then
    VELMO_WIN32_RUNS=yes VELMO_WIN32_WHY=""
  else
    # "Exec format error" where the kernel has no 32-bit support: the packages install anyway.
    VELMO_WIN32_RUNS=no
    VELMO_WIN32_WHY="this machine cannot run 32-bit programs (${velmo_wine32_loader}: ${velmo_wine32_error##*: })"
  fi
  export VELMO_WIN32_RUNS VELMO_WIN32_WHY
fi

win32_runs() { [[ "${VELMO_WIN32_RUNS}" == yes ]]; }
win32_why_not() { echo "${VELMO_WIN32_WHY}"; }

wine64() { WINELOADER="${velmo_wine64_loader}" "${velmo_wine64_loader}" "$@"; }

wine32() {
  if ! win32_runs; then
    echo "wine32: cannot start $1: ${VELMO_WIN32_WHY}" >&2
    return 126
  fi
  # As wine-stable started it where 32-bit programs run.
  env -u WINELOADER "${velmo_wine32_loader}" "$@"
}

# Whether reg's output says the key or value is not there: Wine's reg prints that on standard
# output, in English whatever the locale, and any other failure must not pass for it.
wine_reg_says_absent() { grep -qE 'Unable to find the [a-z]+ registry key' <<<"$1"; }

# reg, with its output and errors together. Under load Wine now and then fails to start it at all
# ("Application could not be started"): that is tried again, so that only reg's own answer counts.
wine_reg() {  # 64|32, reg's arguments
  local bits=$1 out status try
  shift
  for try in 1 2 3; do
    out=$(wine_bits "${bits}" reg "$@" 2>&1)
    status=$?
    grep -q 'Application could not be started' <<<"${out}" || break
  done
  printf '%s\n' "${out}"
  return "${status}"
}

# Without Mono and Gecko, which Wine would otherwise offer to install; with X11 windows unmanaged,
# as under Xvfb without a window manager every modal box would otherwise cost about 2 s.
wine_make_prefix() {
  WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -i && wineserver -w &&
    wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null &&
    wineserver -w
}

wine_bits() {
  case "$1" in
    64) shift && wine64 "$@" ;;
    32) shift && wine32 "$@" ;;
    *)
      echo "wine_bits: bitness must be 64 or 32, not '$1'" >&2
      return 2
      ;;
  esac
}
