#!/usr/bin/env bash
# The library as another project gets it. The tree of the preset linux-package (release, no
# sanitizers, prefix /usr) is built, installed into a throwaway prefix and packaged; the consumer
# example is built against the installed tree both by its CMake package and by pkg-config, and
# run on a store of its own.
#   package_test.sh SOURCE-DIR [RESULTS.xml]
set -u
src=$(cd "$1" && pwd)
results=${2:-}
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
build=${src}/build/linux-package
prefix=${work}/prefix
export MOLTRA_REGISTRY_DIR=${work}/store

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_report.sh"
pass() { report_pass "$1"; }
fail() { report_fail "$1" "$2"; }  # name, why
step() {  # name, command...: passes when the command does; its output shows when it does not
  local name=$1
  shift
  if "$@" >"${work}/out" 2>&1; then pass "${name}"; else fail "${name}" "exit $?"; cat "${work}/out"; fi
}
same() {  # name, wanted, got
  if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1" "differs"; diff <(echo "$2") <(echo "$3"); fi
}

(cd "${src}" && cmake --preset linux-package >/dev/null) &&
  step build nice -n 10 cmake --build "${build}" -j2 &&
  step install cmake --install "${build}" --prefix "${prefix}"

# Only the public headers, each of which compiles with nothing but the installed tree.
same installed-headers "$(cd "${src}/include" && find . -type f | sort)" \
  "$(cd "${prefix}/include" 2>/dev/null && find . -type f | sort)"
standalone=0
for header in "${prefix}"/include/velmo/*.h; do
  echo "#include <velmo/${header##*/}>" >"${work}/one.cc"
  g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"${prefix}/include" "${work}/one.cc" ||
    standalone=1
done
((standalone == 0)) && pass headers-compile-alone || fail headers-compile-alone "see above"

# The shared library shows the public classes and functions and nothing else: no other name of
# ours, in any namespace or none, beside the weak instantiations of std:: templates that any C++
# library carries.
libdir=$(dirname "$(find "${prefix}" -name 'libvelmo.so.1' | head -1)")
public='velmo::(MOLTRAGlobalClass|classPP|ConfigDocument|PPDocument|DocumentFactory|UserEvents|FromUtf8|ToUtf8|NewBuiltInDocuments)'
if symbols=$(nm -D --defined-only "${libdir}/libvelmo.so.1") &&
  grep -q ' T _ZN5velmo17MOLTRAGlobalClass12MOLTRAG_Init' <<<"${symbols}"; then
  exported=$(c++filt <<<"${symbols}" | cut -d' ' -f2-)
  for_what='((typeinfo( name)?|vtable|VTT) for )?'
  same exports-only-public "" "$({
    grep -Ev "^[TDBRVW] ${for_what}${public}([^A-Za-z0-9_]|$)|^[WVu] ${for_what}std::" <<<"${exported}"
    grep -o 'velmo::[A-Za-z0-9_]*' <<<"${exported}" | sort -u | grep -Ev "^${public}$"
  })"
else
  fail exports-only-public "nm found no MOLTRAG_Init in ${libdir}/libvelmo.so.1"
fi
same soname "libvelmo.so.1" \
  "$(readelf -d "${libdir}/libvelmo.so.1" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')"

# The consumer, both ways, on a store seeded as an installer would.
examples=${src}/examples
"${prefix}/bin/velmoctl" reg set HKLM 'SOFTWARE\MOLTRA\USERS' PathVELMO_SW2 "${examples}/app" --32
"${prefix}/bin/velmoctl" reg set HKCU 'Software\MOLTRA\Users' UserVELMO_SW2 "${examples}/user"
step consumer-cmake-build bash -c "cmake -S '${examples}/consumer' -B '${work}/cmake' \
  -DCMAKE_PREFIX_PATH='${prefix}' && cmake --build '${work}/cmake'"
mkdir -p "${work}/pc"
step consumer-pkg-config-build env PKG_CONFIG_PATH="${libdir}/pkgconfig" \
  make -C "${examples}/consumer" BUILD="${work}/pc"
wanted="MOLTRAG_Init       0
Version            2010
AppPath            ${examples}/app\\
UserPath           ${examples}/user\\
Langue             1
interface Langue   \"1\"
VelmoCFG [units] length  \"cm\"
MOLTRAG_GetPP      0
${examples}/params/beam.pp profile  \"IPE200\""
args=(2010 units length "${examples}/params/beam.pp" profile)
same consumer-cmake-run "${wanted}" "$("${work}/cmake/velmo-consumer" "${args[@]}" 2>&1)"
same consumer-pkg-config-run "${wanted}" \
  "$(LD_LIBRARY_PATH="${libdir}" "${work}/pc/velmo-consumer" "${args[@]}" 2>&1)"

# A store that cannot be created: the library's fallback results, and no crash.
touch "${work}/not-a-directory"
out=$(MOLTRA_REGISTRY_DIR=${work}/not-a-directory/store "${work}/cmake/velmo-consumer" \
  "${args[@]}" 2>&1)
rc=$?
if ((rc == 1)) && grep -q '^AppPath *$' <<<"${out}" &&
  grep -q '^VelmoCFG .*(no configuration)$' <<<"${out}"; then
  pass unwritable-store
else
  fail unwritable-store "exit ${rc}"
  echo "${out}"
fi

# A version the package does not offer fails with CMake's own message.
mkdir -p "${work}/v2"
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(v2 LANGUAGES CXX)' \
  'find_package(VELMOSWGlobalLib 2.0 CONFIG REQUIRED)' >"${work}/v2/CMakeLists.txt"
if out=$(cmake -S "${work}/v2" -B "${work}/v2/build" -DCMAKE_PREFIX_PATH="${prefix}" 2>&1); then
  fail version-2-refused "configured"
elif grep -q 'compatible with requested version' <<<"${out}"; then
  pass version-2-refused
else
  fail version-2-refused "message"
  echo "${out}"
fi

# Left in the tree, where scripts/test-all.sh installs them when it can.
rm -f "${build}"/*.deb
step debian-packages bash -c "cpack -G DEB --config '${build}/CPackConfig.cmake' -B '${build}' \
  && '${src}/scripts/check-packages.sh' '${build}'"

echo "package_test: ${report_tests} checks, ${report_failures} failed"
report_write "${results}" package_test package
((report_failures == 0))
