#!/usr/bin/env bash
# Builds every preset that has tests and runs them: the Linux debug build under AddressSanitizer
# and UndefinedBehaviorSanitizer, the store's fuzz target for a minute from its corpus, then the
# 64-bit and 32-bit Windows builds under Wine. Every C++ file must be as clang-format lays it out.
#
# Ends with every skip and its reason, every failure, and one line that adds up every test case of
# every build: "tests: N passed, M failed, K skipped". A build, a format check or a fuzz run counts
# as a test case too, and so does a test that wrote no results or ended otherwise than its results
# say (scripts/test-results.pl). The exit status is 0 exactly when that line says 0 failed.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 2

scripts/install-deps.sh || exit 2
source tests/support/test_report.sh

# The steps that are not test programs write their outcome here, as test cases.
steps=build/test-all/test-results
rm -rf -- "${steps}"
step() {  # name, status, message when it failed
  if [[ "$2" == 0 ]]; then report_pass "$1" steps; else report_fail "$1" "$3" steps; fi
}

echo "== format"
find src include tests tools bench examples \( -name '*.cc' -o -name '*.h' \) -print0 |
  xargs -0 -r clang-format --dry-run -Werror
step clang-format $? "files above differ from clang-format's layout"

echo "== linux-debug"
rm -rf build/linux-debug/test-results
mkdir -p build/linux-debug/test-results
log=$(mktemp)
if cmake --preset linux-debug >/dev/null && cmake --build --preset linux-debug; then
  step build-linux-debug 0
  rm -f build/linux-debug/ctest-junit.xml
  ctest --preset linux-debug --output-junit "${PWD}/build/linux-debug/ctest-junit.xml" 2>&1 |
    tee "${log}"
  perl scripts/test-results.pl ctest build/linux-debug/ctest-junit.xml \
    build/linux-debug/test-results "${log}"
else
  step build-linux-debug 1 "the linux-debug build failed"
fi

# The Debian packages that package_test made, installed and removed again, when this may.
if [[ $(id -u) -eq 0 ]] && ls build/linux-package/*.deb >/dev/null 2>&1; then
  echo "== Debian packages (installed, listed and purged)"
  timeout -k 10 600 scripts/check-packages.sh build/linux-package --install
  step debian-packages $? "installing, listing or purging the packages failed: see above"
fi

echo "== fuzz (the portable store ${VELMO_FUZZ_SECONDS:-60} s, the documents' parsers 30 s)"
fuzz_dir=$(mktemp -d)
if cmake --preset linux-fuzz >/dev/null && cmake --build --preset linux-fuzz; then
  # New inputs go to the scratch directory; the corpora in the repository are only read.
  timeout -k 10 $((${VELMO_FUZZ_SECONDS:-60} + 300)) build/linux-fuzz/tests/fuzz/registry_fuzz \
    -max_total_time="${VELMO_FUZZ_SECONDS:-60}" -max_len=256 -artifact_prefix=build/linux-fuzz/ \
    -print_final_stats=1 "${fuzz_dir}" tests/fuzz/corpus 2>&1 | tail -n 12
  step fuzz-registry "${PIPESTATUS[0]}" "the store and its model differ, or the target crashed"
  mkdir -p "${fuzz_dir}/documents"
  timeout -k 10 330 build/linux-fuzz/tests/fuzz/document_fuzz -max_total_time=30 \
    -max_len=4096 -artifact_prefix=build/linux-fuzz/ -print_final_stats=1 \
    "${fuzz_dir}/documents" tests/fuzz/documents 2>&1 | tail -n 6
  step fuzz-documents "${PIPESTATUS[0]}" "a document parser crashed or read what does not hold together"
else
  step build-linux-fuzz 1 "the linux-fuzz build failed"
fi
rm -rf "${fuzz_dir}"

# wine-tests.sh accounts for every test it starts; what it cannot run here it records as skipped.
for preset in mingw64 mingw32 both-bitnesses; do
  echo "== ${preset} (under Wine)"
  scripts/wine-tests.sh "${preset}"
  perl scripts/test-results.pl process "wine-tests-${preset}" $? "build/${preset}/test-results"
done
rm -f "${log}"

report_write "${steps}/steps.xml" test-all
echo "== results"
perl scripts/test-results.pl tally "${steps}" \
  build/{linux-debug,mingw64,mingw32,both-bitnesses}/test-results
