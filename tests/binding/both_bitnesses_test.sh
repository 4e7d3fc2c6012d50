#!/usr/bin/env bash
# Both bitnesses registered machine-wide in the current WINEPREFIX, then one taken away: the
# other still creates its objects and marshals a call from a second apartment, through the keys
# both share. Then the same the other way round, and at last nothing is left.
#
#   both_bitnesses_test.sh BUILD_DIR_64 BUILD_DIR_32 RESULTS_DIR
set -u
build64=$1
build32=$2
results=$3
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "${here}/../../scripts/wine-env.sh"
source "${here}/../support/test_report.sh"
status=0

accounted() {  # name, status, results xml: a step that ended otherwise than its results say fails
  perl "${here}/../../scripts/test-results.pl" process "$1" "$2" "$3"
  (($2 == 0)) || status=1
}
registration() {  # mode, bits, build dir, result name
  bash "${here}/registration_test.sh" "$1" "$2" "$3/bin" "${results}/$4.xml"
  accounted "$4" $? "${results}/$4.xml"
}
# What a host of that bitness does once the other is gone; the test program writes its own XML.
still_works() {  # bits, build dir
  local xml="${results}/both_bitnesses_$1.xml"
  wine_bits "$1" "$2/tests/binding/com_client_test.exe" \
    --gtest_filter='Creation.ProgIdsNameTheClasses:Apartments.*' \
    "--gtest_output=xml:$(wine64 winepath -w "${results}")\\both_bitnesses_$1.xml" >/dev/null
  local ran=$?
  ((ran == 0)) || echo "both_bitnesses_test: the ${1}-bit server failed once the other bitness was gone" >&2
  accounted "both_bitnesses_$1" "${ran}" "${xml}"
  # The filter picks tests by name: one renamed away must not leave the check empty.
  if [[ -f "${xml}" ]] && ! { grep -q '<testcase name="ProgIdsNameTheClasses"' "${xml}" &&
    grep -q 'classname="Apartments"' "${xml}"; }; then
    report_fail "selected-tests-ran" "the filter ran no creation or no apartment test" "both$1"
    report_write "${results}/both_bitnesses_$1_selection.xml" "both_bitnesses_$1_selection"
    status=1
  fi
}

registration register 64 "${build64}" both_register64
registration register 32 "${build32}" both_register32
registration unregister 32 "${build32}" both_unregister32
still_works 64 "${build64}"
registration register 32 "${build32}" both_reregister32
registration unregister 64 "${build64}" both_unregister64
still_works 32 "${build32}"
registration unregister 32 "${build32}" both_unregister32_last
exit "${status}"
