#!/usr/bin/env bash
# velmoctl as a person uses it: exit codes, output and messages, on a store of its own.
#   velmoctl_test.sh VELMOCTL VERSION [RESULTS.xml]     VERSION: the project's, as CMake has it
set -u
velmoctl=$1
version=$2
results=${3:-}
MOLTRA_REGISTRY_DIR=$(mktemp -d)
export MOLTRA_REGISTRY_DIR
trap 'rm -rf "${MOLTRA_REGISTRY_DIR}"' EXIT
# A copy that an ordinary user may run wherever the build lies (under /root, say), for the
# checks made as one when this runs as root.
velmoctl_anyone=${velmoctl}
if [[ $(id -u) -eq 0 ]]; then
  mkdir -p "${MOLTRA_REGISTRY_DIR}/bin"
  cp "${velmoctl}" "${MOLTRA_REGISTRY_DIR}/bin/velmoctl"
  chmod 0755 "${MOLTRA_REGISTRY_DIR}/bin" "${MOLTRA_REGISTRY_DIR}/bin/velmoctl"
  chmod a+x "${MOLTRA_REGISTRY_DIR}"
  velmoctl_anyone="${MOLTRA_REGISTRY_DIR}/bin/velmoctl"
fi

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_report.sh"
check() {  # name, expected exit code, expected stdout (or - to skip), command...
  local name=$1 want_rc=$2 want_out=$3
  shift 3
  local out rc
  out=$("$@" 2>"${MOLTRA_REGISTRY_DIR}/stderr")
  rc=$?
  if [[ ${rc} -ne ${want_rc} || ("${want_out}" != "-" && "${out}" != "${want_out}") ]]; then
    report_fail "${name}" "exit ${rc} (wanted ${want_rc})"
    printf '%s\n' "output:" "${out}" "--- stderr:" "$(cat "${MOLTRA_REGISTRY_DIR}/stderr")"
  else
    report_pass "${name}"
  fi
}
stderr_has() {  # name, text
  if grep -qF -- "$2" "${MOLTRA_REGISTRY_DIR}/stderr"; then
    report_pass "$1"
  else
    report_fail "$1" "stderr lacks '$2': $(cat "${MOLTRA_REGISTRY_DIR}/stderr")"
  fi
}

key='SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2'
check set-32 0 "" "${velmoctl}" reg set HKLM "${key}" PATH '/opt/Łukasz/設計\' --32
check get-32-other-case 0 '/opt/Łukasz/設計\' "${velmoctl}" reg get hkey_local_machine \
  'software\moltra\velmo_sw2\VELMO_SW2 2' path --32
check native-view-is-apart 1 "" "${velmoctl}" reg get HKLM "${key}" PATH
stderr_has native-view-message 'HKLM\SOFTWARE\MOLTRA\VELMO_SW2\VELMO_SW2 2: not found'
check set-dword 0 "" "${velmoctl}" reg set HKCU 'Software\T' Count 0x2A --type dword
check set-default 0 "" "${velmoctl}" reg set HKCU 'Software\T' '' 'default text'
check set-multi 0 "" "${velmoctl}" reg set HKCU 'Software\T' Lines $'one\ntwo' --type multi_sz
check set-binary 0 "" "${velmoctl}" reg set HKCU 'Software\T' Raw 00ff7f --type binary
check list 0 $'Count\tREG_DWORD\t42\n(default)\tREG_SZ\tdefault text\nLines\tREG_MULTI_SZ\tone\ntwo\nRaw\tREG_BINARY\t00ff7f' \
  "${velmoctl}" reg list HKCU 'Software\T'
check delete-value 0 "" "${velmoctl}" reg delete HKCU 'Software\T' count
check delete-missing-value 1 "" "${velmoctl}" reg delete HKCU 'Software\T' Count
check delete-key 0 "" "${velmoctl}" reg delete HKCU 'Software' --key
check list-deleted-key 1 "" "${velmoctl}" reg list HKCU 'Software\T'

# Keys as reg.exe writes them, one word, beside ROOT KEY.
check one-word-set 0 "" "${velmoctl}" reg set 'HKEY_CURRENT_USER\Software\W' Name 'one word'
check one-word-get 0 "one word" "${velmoctl}" reg get HKCU 'Software\W' Name
check one-word-list-root 0 'Software\' "${velmoctl}" reg list 'HKCU\'
check one-word-missing-value 2 "" "${velmoctl}" reg set 'HKCU\Software\W' OnlyName
stderr_has one-word-missing-value-message 'VALUE is required'
check one-word-extra 2 "" "${velmoctl}" reg get 'HKCU\Software\W' Name More
check one-word-delete 0 "" "${velmoctl}" reg delete 'HKCU\Software\W' --key

# A copy put back; a file that is not a hive is refused and changes nothing.
backup="${MOLTRA_REGISTRY_DIR}/backup.db"
check set-before-backup 0 "" "${velmoctl}" reg set HKCU 'Software\B' v saved
check backup 0 "" "${velmoctl}" reg backup HKCU "${backup}"
check set-after-backup 0 "" "${velmoctl}" reg set HKCU 'Software\B' v later
check restore-not-a-hive 1 "" "${velmoctl}" reg restore HKCU "${BASH_SOURCE[0]}"
stderr_has restore-not-a-hive-message 'not a registry hive; HKCU is unchanged'
check restore 0 "" "${velmoctl}" reg restore HKCU "${backup}"
check get-restored 0 saved "${velmoctl}" reg get HKCU 'Software\B' v

check unknown-root 2 "" "${velmoctl}" reg get HKXY 'Software' x
stderr_has unknown-root-message 'unknown root HKXY'
check missing-arguments 2 "" "${velmoctl}" reg set HKCU 'Software\T' OnlyName
stderr_has missing-arguments-message 'VALUE is required'
check dword-out-of-range 2 "" "${velmoctl}" reg set HKCU 'Software\T' n 4294967296 --type dword
check unknown-command 2 "" "${velmoctl}" frobnicate
check no-command 2 "" "${velmoctl}"
check help 0 - "${velmoctl}" reg --help

# The command line as a person types it.
check version 0 "velmoctl ${version}" "${velmoctl}" --version
check unknown-command-help 2 "" "${velmoctl}" frobnicate --help
check unknown-action-help 2 "" "${velmoctl}" reg frobnicate --help
check dash-h-is-help 0 - "${velmoctl}" reg set HKCU 'Software\T' name -h
check dash-h-wrote-nothing 1 "" "${velmoctl}" reg get HKCU 'Software\T' name
check double-dash 0 "" "${velmoctl}" reg set HKCU 'Software\T' name -- -h
check double-dash-stored 0 "-h" "${velmoctl}" reg get HKCU 'Software\T' name
check type-as-printed 0 "" "${velmoctl}" reg set HKCU 'Software\T\Sub' n 7 --type REG_DWORD
check type-short-any-case 0 "" "${velmoctl}" reg set HKCU 'Software\T' q 0x10 --type Qword
check unknown-type 2 "" "${velmoctl}" reg set HKCU 'Software\T' q 1 --type REG_WORD
check both-views 2 "" "${velmoctl}" reg list HKLM SOFTWARE --32 --64
check list-subkeys 0 $'Sub\\\nname\tREG_SZ\t-h\nq\tREG_QWORD\t16' "${velmoctl}" reg list HKCU 'Software\T'
check query-tree 0 $'\nHKEY_CURRENT_USER\\Software\\T\n    name    REG_SZ    -h\n    q    REG_QWORD    0x10\n\nHKEY_CURRENT_USER\\Software\\T\\Sub\n    n    REG_DWORD    0x7' \
  "${velmoctl}" reg query HKCU 'Software\T' --recursive

# An import with an error anywhere changes nothing, and says where the error is.
store_before=$(cat "${MOLTRA_REGISTRY_DIR}"/*.db | md5sum)
bad=${MOLTRA_REGISTRY_DIR}/bad.reg
for case in 'last-line:6:"z"=hex:0g' 'header:1:REGEDIT5' 'root:6:[HKEY_CLASSES_ROOT\x]' \
  'string:6:"z"="open' 'value-first:3:"a"="b"'; do
  IFS=: read -r name line text <<<"${case}"
  if [[ ${name} == header ]]; then printf '%s\r\n' "${text}" >"${bad}"; else
    printf 'REGEDIT4\r\n\r\n%s\r\n[HKEY_CURRENT_USER\\Software\\New]\r\n"a"="b"\r\n%s\r\n' \
      "$([[ ${name} == value-first ]] && echo "${text}")" "$([[ ${name} != value-first ]] && echo "${text}")" >"${bad}"
  fi
  check "import-bad-${name}" 1 "" "${velmoctl}" reg import "${bad}"
  stderr_has "import-bad-${name}-line" "${bad}:${line}:"
done
check import-bad-unchanged 0 "${store_before}" bash -c "cat '${MOLTRA_REGISTRY_DIR}'/*.db | md5sum"
printf 'REGEDIT4\n[-HKEY_CURRENT_USER\\Software\\T\\Sub]\n[HKCU\\Software\\T]\n"name"=-\n"new"=dword:10\n' >"${bad}"
check import-deletions 0 "imported ${bad}: 4 changes" "${velmoctl}" reg import "${bad}"
check import-deletions-applied 0 $'q\tREG_QWORD\t16\nnew\tREG_DWORD\t16' "${velmoctl}" reg list HKCU 'Software\T'
# A store that fails midway (here a file-size limit where a disk would be full) keeps nothing.
tree_before=$("${velmoctl}" reg query HKCU Software --recursive)
hex=$(head -c 100000 /dev/zero | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//')
{
  printf 'REGEDIT4\n\n[HKCU\\Software\\Big]\n'
  for i in $(seq 1 20); do printf '"v%d"=hex:%s\n' "${i}" "${hex}"; done
} >"${bad}"
check import-full-disk 1 "" bash -c "trap '' XFSZ; ulimit -f 1024; '${velmoctl}' reg import '${bad}'"
stderr_has import-full-disk-message "nothing was imported"
check import-full-disk-unchanged 0 "${tree_before}" "${velmoctl}" reg query HKCU Software --recursive
echo keep >"${MOLTRA_REGISTRY_DIR}/kept.reg"
check export-missing-key 1 "" "${velmoctl}" reg export "${MOLTRA_REGISTRY_DIR}/kept.reg" HKCU 'Software\None'
check export-missing-key-kept 0 "keep" cat "${MOLTRA_REGISTRY_DIR}/kept.reg"
check export-no-leftovers 0 "" find "${MOLTRA_REGISTRY_DIR}" -name '.velmoctl-export-*'
check export-unwritable 1 "" "${velmoctl}" reg export "${MOLTRA_REGISTRY_DIR}/no/such/dir/x.reg" HKCU Software
stderr_has export-unwritable-message "cannot write there"
# What the registry editor writes: UTF-16LE with a byte-order mark, CRLF, a key's values before
# its subkeys, REG_EXPAND_SZ as hex(2) with the terminating NUL.
"${velmoctl}" reg set HKCU 'Software\E' '' 'défaut "q"' &&
  "${velmoctl}" reg set HKCU 'Software\E' Path '%HOME%\x' --type expand_sz &&
  "${velmoctl}" reg set HKCU 'Software\E\Sub' n 0x2A --type dword
{
  printf '\xff\xfe'
  printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' '[HKEY_CURRENT_USER\Software\E]' \
    '@="défaut \"q\""' '"Path"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,5c,00,78,00,00,00' '' \
    '[HKEY_CURRENT_USER\Software\E\Sub]' '"n"=dword:0000002a' '' | iconv -f UTF-8 -t UTF-16LE
} >"${MOLTRA_REGISTRY_DIR}/wanted.reg"
check export 0 "" "${velmoctl}" reg export "${MOLTRA_REGISTRY_DIR}/e.reg" HKCU 'Software\E'
check export-as-regedit 0 "" cmp "${MOLTRA_REGISTRY_DIR}/wanted.reg" "${MOLTRA_REGISTRY_DIR}/e.reg"

# The library's own commands, on a fresh store seeded as an installer would.
MOLTRA_REGISTRY_DIR="${MOLTRA_REGISTRY_DIR}/library"
mkdir -p "${MOLTRA_REGISTRY_DIR}"
examples=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../examples" && pwd)
check seed-app 0 "" "${velmoctl}" reg set HKLM 'SOFTWARE\MOLTRA\USERS' PathVELMO_SW2 "${examples}/app" --32
check seed-user 0 "" "${velmoctl}" reg set HKCU 'Software\MOLTRA\Users' UserVELMO_SW2 "${examples}/user"
check status 0 "application            VELMO_SW2
version                2010
release                2
service pack           1
application directory  ${examples}/app\\
user directory         ${examples}/user\\
language               1
debug                  off
VelmoCFG               loaded
GeometrieDat           loaded" "${velmoctl}" status --host-version 2010
check first-run-wrote-path 0 "${examples}/app" "${velmoctl}" reg get HKLM "${key}" PATH --32
check interface-set 0 "user's copy:     HKCU\\${key}\\Interface" "${velmoctl}" interface set DEBUG 1
check interface-get 0 "1" "${velmoctl}" interface get DEBUG
check debug-on 0 "debug                  on" bash -c "'${velmoctl}' status | grep debug"
check setting-set 0 "user's copy:     HKCU\\${key}\\Settings
machine copy:    HKLM\\${key}\\Settings (32-bit view)" "${velmoctl}" setting set Level 3
check setting-get 0 "3" "${velmoctl}" setting get Level
check setting-both-hives 0 "3" "${velmoctl}" reg get HKLM "${key}\\Settings" Level --32

# The administrator changes a machine-wide value that the user has read already.
check admin-sets 0 "" "${velmoctl}" reg set HKLM "${key}\\Settings" Mode old --32
check user-reads 0 "old" "${velmoctl}" setting get Mode
check admin-changes 0 "" "${velmoctl}" reg set HKLM "${key}\\Settings" Mode new --32
check explain-shadowed 0 "setting value \"Mode\"
  read now:  \"old\"
  from:      the user's hive
  user:      \"old\" in HKCU\\${key}\\Settings
  machine:   \"new\" in HKLM\\${key}\\Settings (32-bit view)
  The user's copy, made when the value was first read, shadows the machine's value.
  'velmoctl setting forget Mode' deletes the user's copy only and lets the machine's value through." \
  "${velmoctl}" explain setting Mode
check forget 0 - "${velmoctl}" setting forget Mode
check machine-value-through 0 "new" "${velmoctl}" setting get Mode
check forget-nothing 1 "" "${velmoctl}" interface forget Nothing
check explain-nowhere 0 - "${velmoctl}" explain interface Nothing
check explain-nowhere-copied-nothing 1 "" "${velmoctl}" reg get HKCU "${key}\\Interface" Nothing

# A user who may not write the machine hive: the machine's copy lands in the user's hive.
locked=${MOLTRA_REGISTRY_DIR}/locked
mkdir "${locked}"
cp "${MOLTRA_REGISTRY_DIR}/machine.db" "${locked}/"
as_user=(env MOLTRA_REGISTRY_DIR="${locked}")
if [[ $(id -u) -eq 0 ]]; then
  chown 65534:65534 "${locked}"
  chmod a+x "${MOLTRA_REGISTRY_DIR}" "${MOLTRA_REGISTRY_DIR}/.."
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups "${as_user[@]}")
else
  chmod 0444 "${locked}/machine.db"
fi
check setting-set-fallback 1 "user's copy:     HKCU\\${key}\\Settings
machine copy:    landed in the user's hive, HKCU\\${key}\\Settings" "${as_user[@]}" "${velmoctl_anyone}" \
  setting set Level 4
stderr_has setting-set-fallback-message "the machine hive is not writable"
check pp 1 "${examples}/params/beam.pp: status 0, slot 0, accesses 1
${examples}/params/BEAM.PP: status 0, slot 0, accesses 2
${examples}/params/column.pp: status 0, slot 1, accesses 1
${examples}/params/none.pp: status -2" "${velmoctl}" pp "${examples}/params/beam.pp" \
  "${examples}/params/BEAM.PP" "${examples}/params/column.pp" "${examples}/params/none.pp"
check user-switch 0 "UserChanging NewUser=\"/tmp/velmo-other\" Cancel=false
UserChanged OldUser=\"${examples}/user\\\" NewUser=\"/tmp/velmo-other\\\"
result 0" "${velmoctl}" user switch /tmp/velmo-other
check user-stored 0 '/tmp/velmo-other\' "${velmoctl}" reg get HKCU "${key}" USER
check status-bad-option 2 "" "${velmoctl}" status --frobnicate
check interface-bad 2 "" "${velmoctl}" interface get

# A hive the caller may not read is told from one it may not write.
unreadable_skipped=""
if [[ $(id -u) -ne 0 ]]; then
  unreadable_skipped="needs root, to make a hive that another user may not read"
elif ! runuser -u nobody -- test -x "${velmoctl_anyone}" 2>/dev/null; then
  unreadable_skipped="user nobody cannot run ${velmoctl_anyone}"
fi
if [[ -n "${unreadable_skipped}" ]]; then
  for name in private-set not-readable not-readable-message; do
    report_skip "${name}" "${unreadable_skipped}"
  done
else
  store=${MOLTRA_REGISTRY_DIR}
  MOLTRA_REGISTRY_DIR="${store}/private"
  mkdir -p "${MOLTRA_REGISTRY_DIR}"
  check private-set 0 "" "${velmoctl}" reg set HKLM 'SOFTWARE\T' x 1
  chmod 0711 "${store}" "${MOLTRA_REGISTRY_DIR}"
  chmod 0600 "${MOLTRA_REGISTRY_DIR}/machine.db"
  check not-readable 1 "" runuser -u nobody -- env MOLTRA_REGISTRY_DIR="${MOLTRA_REGISTRY_DIR}" \
    "${velmoctl_anyone}" reg get HKLM 'SOFTWARE\T' x
  stderr_has not-readable-message "access denied (may not read ${MOLTRA_REGISTRY_DIR}/machine.db)"
  MOLTRA_REGISTRY_DIR=${store}
fi

echo "not a hive" >"${MOLTRA_REGISTRY_DIR}/machine.db"
check damaged-store 1 "" "${velmoctl}" reg get HKLM "${key}" PATH
stderr_has damaged-store-message 'machine.db: not a registry hive'
check damaged-store-untouched 0 "not a hive" cat "${MOLTRA_REGISTRY_DIR}/machine.db"

# A user's key whose name holds line breaks would export as a section of the machine's hive,
# which root would then import: such names are neither exported nor imported.
store=${MOLTRA_REGISTRY_DIR}
MOLTRA_REGISTRY_DIR="${store}/lines"
mkdir -p "${MOLTRA_REGISTRY_DIR}"
check lines-set 0 "" "${velmoctl}" reg set HKCU $'Software\\x]\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n;' \
  Evil pwned
check lines-export 1 "" "${velmoctl}" reg export "${store}/lines.reg" HKCU Software
stderr_has lines-export-message \
  'HKEY_CURRENT_USER\Software\x]\n[HKEY_LOCAL_MACHINE: a key name holding a line break'
check lines-export-nothing 0 "" find "${store}" -maxdepth 1 -name '*.reg' -o -name '.velmoctl-*'
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\y]\r[HKEY_LOCAL_MACHINE\\SOFTWARE]\r;]\n"Evil"="pwned"\n' \
  >"${store}/key.reg"
printf 'REGEDIT4\n[HKEY_CURRENT_USER\\z]\n"a\\n[HKEY_LOCAL_MACHINE]"="b"\n' >"${store}/value.reg"
check lines-import-key 1 "" "${velmoctl}" reg import "${store}/key.reg"
stderr_has lines-import-key-message 'key.reg:2: a key name holding a line break'
check lines-import-value 1 "" "${velmoctl}" reg import "${store}/value.reg"
stderr_has lines-import-value-message 'value.reg:3: a value name holding a line break'
check lines-machine-untouched 1 "" "${velmoctl}" reg get HKLM SOFTWARE Evil
MOLTRA_REGISTRY_DIR=${store}

echo "velmoctl_test: $((report_tests - report_failures - report_skipped)) of ${report_tests} checks passed, ${report_skipped} skipped"
report_write "${results}" velmoctl_test velmoctl
((report_failures == 0))
