#!/usr/bin/env bash
# velmoctl doctor on a healthy store, then on each fault it must name, every answer read back
# through its JSON with a JSON parser.
#   doctor_test.sh VELMOCTL EXAMPLES_DIR [RESULTS.xml]
set -u
velmoctl=$1
examples=$2
results=${3:-}
work=$(mktemp -d)
trap '[[ -n "${KEEP:-}" ]] || rm -rf "${work}"' EXIT
support="$(dirname "${BASH_SOURCE[0]}")/../support"
source "${support}/test_report.sh"
key='SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2'

# A store of its own with the example install: MOLTRA_REGISTRY_DIR=$1.
seed() {
  mkdir -p "$1"
  cp -r "${examples}/app" "${examples}/user" "$1/"
  MOLTRA_REGISTRY_DIR=$1 "${velmoctl}" reg set --32 "HKLM\\${key}" PATH "$1/app" &&
    MOLTRA_REGISTRY_DIR=$1 "${velmoctl}" reg set "HKCU\\${key}" USER "$1/user"
}

# The verdict the JSON gives `check`, and the exit status, as "VERDICT EXIT".
verdict() {  # store, check, doctor options...
  local store=$1 check=$2 rc
  shift 2
  MOLTRA_REGISTRY_DIR=${store} "${velmoctl}" doctor --json "$@" >"${work}/out.json" 2>"${work}/err"
  rc=$?
  echo "$(perl "${support}/doctor_verdict.pl" "${work}/out.json" "${check}" 2>&1) ${rc}"
}

expect() {  # name, wanted "VERDICT EXIT", store, check, doctor options...
  local name=$1 want=$2
  shift 2
  local got
  got=$(verdict "$@")
  if [[ "${got}" == "${want}" ]]; then
    report_pass "${name}"
  else
    report_fail "${name}" "wanted '${want}', got '${got}'"
    cat "${work}/out.json" "${work}/err"
  fi
}

healthy=${work}/healthy
seed "${healthy}"
expect healthy-start-up "ok 0" "${healthy}" start-up
out=$(MOLTRA_REGISTRY_DIR=${healthy} "${velmoctl}" doctor)
rc=$?
if [[ ${rc} -eq 0 && -n "${out}" ]] && ! grep -qv '^ok ' <<<"${out}"; then
  report_pass healthy-all-ok
else
  report_fail healthy-all-ok "exit ${rc}: ${out}"
fi

store=${work}/missing-user
seed "${store}"
MOLTRA_REGISTRY_DIR=${store} "${velmoctl}" reg set "HKCU\\${key}" USER "${store}/gone"
expect user-names-missing-directory "fault 1" "${store}" "user directory" --no-start-up

store=${work}/no-geometry
seed "${store}"
rm "${store}/app/Dat/Geometrie.dat"
expect missing-geometry "fault 1" "${store}" "geometry configuration" --no-start-up

store=${work}/only-64
seed "${store}"
MOLTRA_REGISTRY_DIR=${store} "${velmoctl}" reg delete "HKLM\\${key}" PATH --32
MOLTRA_REGISTRY_DIR=${store} "${velmoctl}" reg set --64 "HKLM\\${key}" PATH "${store}/app"
expect path-only-in-64-bit-view "fault 1" "${store}" "application directory" --no-start-up

store=${work}/shadow
seed "${store}"
MOLTRA_REGISTRY_DIR=${store} "${velmoctl}" reg set --32 "HKLM\\${key}\\Interface" Unit mm
MOLTRA_REGISTRY_DIR=${store} "${velmoctl}" interface get Unit >/dev/null
MOLTRA_REGISTRY_DIR=${store} "${velmoctl}" reg set --32 "HKLM\\${key}\\Interface" Unit cm
expect user-copy-shadows "warning 0" "${store}" "user copy shadows machine" --no-start-up

# Readers need the write-ahead log's index as much as the hive: root's private one stops them.
if [[ $(id -u) -ne 0 ]] || ! runuser -u nobody -- true 2>/dev/null; then
  report_skip unreadable-index "needs root and the user nobody"
else
  store=${work}/index
  seed "${store}"
  cp "${velmoctl}" "${work}/velmoctl"
  chmod -R a+rX "${work}"
  touch "${store}/machine.db-shm"
  chmod 0600 "${store}/machine.db-shm"
  chmod 0644 "${store}/machine.db"
  runuser -u nobody -- env MOLTRA_REGISTRY_DIR="${store}" "${work}/velmoctl" doctor --no-start-up \
    >"${work}/nobody.out"
  rc=$?
  if [[ ${rc} -eq 1 ]] && grep -q '^fault   machine hive: .*machine.db-shm.* -> ' "${work}/nobody.out"; then
    report_pass unreadable-index
  else
    report_fail unreadable-index "exit ${rc}: $(cat "${work}/nobody.out")"
  fi
fi

echo "doctor_test: $((report_tests - report_failures - report_skipped)) of ${report_tests} checks passed, ${report_skipped} skipped"
report_write "${results}" doctor_test velmoctl
((report_failures == 0))
