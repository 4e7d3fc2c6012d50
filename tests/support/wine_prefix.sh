#!/usr/bin/env bash
# CTest's first step under Wine: makes WINEPREFIX ready for the Windows tests, or finds it made
# (scripts/wine-tests.sh makes its prefix while the build runs). WINEPREFIX must name a prefix of
# the run's own, such as an empty directory from mktemp -d: the tests register servers and clear
# the library's keys, which nobody's own ~/.wine should see.
#
#   wine_prefix.sh RESULTS.xml
set -u
results=$1
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "${here}/../../scripts/wine-env.sh"
source "${here}/test_report.sh"

if [[ -z "${WINEPREFIX:-}" ]]; then
  report_fail prefix_given "WINEPREFIX is not set: run WINEPREFIX=\$(mktemp -d) ctest --preset ..., or scripts/wine-tests.sh" wine
elif [[ -f "${WINEPREFIX}/system.reg" ]]; then
  report_pass prefix_given wine
else
  export WINEDEBUG=${WINEDEBUG:--all}
  if log=$(wine_make_prefix 2>&1); then
    report_pass prefix_given wine
  else
    report_fail prefix_given "making the Wine prefix ${WINEPREFIX} failed: ${log}" wine
  fi
fi
report_write "${results}" wine_prefix
((report_failures == 0))
