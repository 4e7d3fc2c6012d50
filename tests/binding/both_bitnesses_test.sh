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
status=0

registration() {  # mode, bits, build dir, result name
  bash "${here}/registration_test.sh" "$1" "$2" "$3/bin" "${results}/$4.xml" || status=1
}
# What a host of that bitness does once the other is gone; the test program writes its own XML.
still_works() {  # bits, build dir
  local wine=wine
  [[ $1 == 64 ]] && wine=/usr/lib/wine/wine64
  if ! "${wine}" "$2/tests/binding/com_client_test.exe" \
    --gtest_filter='Creation.ProgIdsNameTheClasses:Apartments.*' \
    "--gtest_output=xml:$(winepath -w "${results}")\\both_bitnesses_$1.xml" >/dev/null; then
    echo "both_bitnesses_test: the ${1}-bit server failed once the other bitness was gone" >&2
    status=1
  fi
  # A program that died wrote nothing: that counts as one failed test.
  if [[ ! -f "${results}/both_bitnesses_$1.xml" ]]; then
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuites tests="1" failures="1" disabled="0" errors="0" name="both_bitnesses"></testsuites>\n' \
      >"${results}/both_bitnesses_$1.xml"
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
