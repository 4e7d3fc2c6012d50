#!/usr/bin/env bash
# Builds every preset that has tests and runs them: the Linux debug build under AddressSanitizer
# and UndefinedBehaviorSanitizer, the store's fuzz target for a minute from its corpus, then the
# 64-bit and 32-bit Windows builds under Wine. Ends with
# one line that adds up every test case of every build. Every C++ file must be as clang-format
# lays it out.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 2

scripts/install-deps.sh || exit 2

crashed=0
status=0

echo "== format"
if ! find src include tests tools bench examples \( -name '*.cc' -o -name '*.h' \) -print0 |
  xargs -0 -r clang-format --dry-run -Werror; then
  echo "format: files above differ from clang-format's layout"
  status=1
fi

# The test binaries write their results as XML; a binary that died before writing counts as one
# failed test.
count_crashes() {  # ctest log, results directory
  local name
  while read -r name; do
    [[ -f "$2/${name}.xml" ]] || crashed=$((crashed + 1))
  done < <(sed -n '/The following tests FAILED:/,$p' "$1" | sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p')
}

echo "== linux-debug"
rm -rf build/linux-debug/test-results
log=$(mktemp)
if cmake --preset linux-debug >/dev/null && cmake --build --preset linux-debug; then
  ctest --preset linux-debug 2>&1 | tee "${log}"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
  count_crashes "${log}" build/linux-debug/test-results
else
  echo "linux-debug: build failed"
  status=1
  crashed=$((crashed + 1))
fi

# The Debian packages that package_test made, installed and removed again, when this may.
if [[ $(id -u) -eq 0 ]] && ls build/linux-package/*.deb >/dev/null 2>&1; then
  echo "== Debian packages (installed, listed and purged)"
  if ! scripts/check-packages.sh build/linux-package --install; then
    echo "Debian packages: see above"
    status=1
  fi
fi

echo "== fuzz (the portable store ${VELMO_FUZZ_SECONDS:-60} s, the documents' parsers 30 s)"
fuzz_dir=$(mktemp -d)
if cmake --preset linux-fuzz >/dev/null && cmake --build --preset linux-fuzz; then
  # New inputs go to the scratch directory; the corpora in the repository are only read.
  if ! build/linux-fuzz/tests/fuzz/registry_fuzz -max_total_time="${VELMO_FUZZ_SECONDS:-60}" \
    -max_len=256 -artifact_prefix=build/linux-fuzz/ -print_final_stats=1 "${fuzz_dir}" \
    tests/fuzz/corpus 2>&1 | tail -n 12; then
    echo "fuzz: the store and its model differ, or the target crashed"
    status=1
    crashed=$((crashed + 1))
  fi
  mkdir -p "${fuzz_dir}/documents"
  if ! build/linux-fuzz/tests/fuzz/document_fuzz -max_total_time=30 -max_len=4096 \
    -artifact_prefix=build/linux-fuzz/ -print_final_stats=1 "${fuzz_dir}/documents" \
    tests/fuzz/documents 2>&1 | tail -n 6; then
    echo "fuzz: a document parser crashed or read what does not hold together"
    status=1
    crashed=$((crashed + 1))
  fi
else
  echo "fuzz: build failed"
  status=1
  crashed=$((crashed + 1))
fi
rm -rf "${fuzz_dir}"

for preset in mingw64 mingw32 both-bitnesses; do
  echo "== ${preset} (under Wine)"
  rm -rf "build/${preset}/test-results"
  if ! scripts/wine-tests.sh "${preset}" 2>&1 | tee "${log}"; then status=1; fi
  [[ ${PIPESTATUS[0]} -eq 0 ]] || status=1
  if [[ -d "build/${preset}/test-results" ]] || grep -q 'The following tests FAILED' "${log}"; then
    count_crashes "${log}" "build/${preset}/test-results"
  else
    crashed=$((crashed + 1))  # it never got as far as its tests
  fi
done
rm -f "${log}"

total=0
failures=0
for xml in build/{linux-debug,mingw64,mingw32,both-bitnesses}/test-results/*.xml; do
  [[ -f "${xml}" ]] || continue
  head=$(grep -m1 '<testsuites' "${xml}")
  t=$(sed -n 's/.* tests="\([0-9]*\)".*/\1/p' <<<"${head}")
  f=$(sed -n 's/.* failures="\([0-9]*\)".*/\1/p' <<<"${head}")
  e=$(sed -n 's/.* errors="\([0-9]*\)".*/\1/p' <<<"${head}")
  d=$(sed -n 's/.* disabled="\([0-9]*\)".*/\1/p' <<<"${head}")
  total=$((total + ${t:-0} - ${d:-0}))
  failures=$((failures + ${f:-0} + ${e:-0}))
done
failed=$((failures + crashed))
passed=$((total - failures))
((failed == 0)) || status=1
echo "tests: ${passed} passed, ${failed} failed"
exit "${status}"
