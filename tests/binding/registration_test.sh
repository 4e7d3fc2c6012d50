#!/usr/bin/env bash
# regsvr32 on the add-in's three servers in the current WINEPREFIX, and what it leaves in the
# registry: everything a COM caller needs once registered, none of it once unregistered. The
# companions MOLConfigLib.dll and MolGPP.dll are registered before VELMOSWGlobalLib.dll, whose
# type library refers to theirs, and unregistered after it. The -user modes register for the
# current user alone (regsvr32 /n /i:user), under HKCU\Software\Classes, and check that nothing
# of it is machine-wide.
#
#   registration_test.sh register|unregister|register-user|unregister-user 64|32 BIN_DIR RESULTS.xml
#
# The registry is read with reg.exe of the DLL's own bitness, in that bitness's view; classes
# registered by a 32-bit DLL live in the 32-bit view of HKCR.
set -u
mode=$1
bits=$2
bin_dir=$3
results=$4
companions="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../src/automation/documents" && pwd)"

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
case "${bits}" in
  64) view=/reg:64 platform=win64 other_view=/reg:32 other=win32 ;;
  32) view=/reg:32 platform=win32 other_view=/reg:64 other=win64 ;;
  *)
    echo "registration_test: bitness must be 64 or 32, not '${bits}'" >&2
    exit 2
    ;;
esac
case "${mode}" in
  register | unregister) classes=HKCR user_flags=() ;;
  register-user | unregister-user) classes='HKCU\Software\Classes' user_flags=(/n /i:user) ;;
  *)
    echo "registration_test: mode must be [un]register[-user], not '${mode}'" >&2
    exit 2
    ;;
esac

dll=$(wine64 winepath -w "${bin_dir}/VELMOSWGlobalLib.dll") || exit 2
config_dll=$(wine64 winepath -w "${bin_dir}/MOLConfigLib.dll") || exit 2
pp_dll=$(wine64 winepath -w "${bin_dir}/MolGPP.dll") || exit 2
clsid_global='{1104EF27-D456-4708-83BA-C4B6968611C8}'
clsid_pp='{42F70839-C926-4A42-88E6-3427D2BCAE30}'
libid='{94111C8C-8F9F-461D-ABCA-894E24C47031}'
iid_global='{2B8EC0FB-CD34-453F-BD14-E2F3F9B70A95}'
iid_pp='{691FB756-27D4-4C19-A925-ACA822ED9CA2}'
automation_marshaller='{00020424-0000-0000-C000-000000000046}'

# The companions' identifiers, from the IDL that declares them: the attributes of a declaration
# stand in the lines just before it, its uuid the nearest one.
uuid_of() {  # idl file, declaration ("coclass X", "library X", "interface X")
  local id
  id=$(grep -B3 -E "^ *$2( |\$)" "$1" | grep -o 'uuid([^)]*)' | tail -n 1 |
    sed 's/uuid(\(.*\))/{\1}/')
  [[ -n "${id}" ]] || {
    echo "registration_test: no uuid for '$2' in $1" >&2
    exit 2
  }
  echo "${id}"
}
config_clsid=$(uuid_of "${companions}/mol_config_lib.idl" "coclass ConfigDocument")
config_libid=$(uuid_of "${companions}/mol_config_lib.idl" "library MOLConfigLib")
config_iid=$(uuid_of "${companions}/mol_config_document.idl" "interface _ConfigDocument")
pp_clsid=$(uuid_of "${companions}/mol_gpp.idl" "coclass PPDocument")
pp_libid=$(uuid_of "${companions}/mol_gpp.idl" "library MolGPP")
pp_iid=$(uuid_of "${companions}/mol_pp_document.idl" "interface _PPDocument")
for id in "${config_clsid}" "${config_libid}" "${config_iid}" "${pp_clsid}" "${pp_libid}" "${pp_iid}"; do
  [[ -n "${id}" ]] || exit 2
done

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_report.sh"
pass() { report_pass "$1" "${mode}${bits}"; }
fail() { report_fail "$1" "$2" "${mode}${bits}"; }  # name, message

# The data of one value, or nothing with status 1 when the key or the value is missing. reg.exe
# prints "    NAME    TYPE    DATA" with CRLF line ends; "(Default)" names the default value.
value_of() {  # key, value name ("" for the default)
  local out line
  if [[ -z "$2" ]]; then
    out=$(wine_bits "${bits}" reg query "$1" /ve "${view}" 2>/dev/null) || return 1
    line=$(tr -d '\r' <<<"${out}" | grep -m1 '^    (Default)    REG_')
  else
    out=$(wine_bits "${bits}" reg query "$1" /v "$2" "${view}" 2>/dev/null) || return 1
    line=$(tr -d '\r' <<<"${out}" | grep -m1 -iF "    $2    REG_")
  fi
  [[ -n "${line}" ]] || return 1
  # Past the name and the type; a value's data may itself hold spaces.
  sed 's/^    .*    REG_[A-Z_]*    //; s/^    .*    REG_[A-Z_]*$//' <<<"${line}"
}

# "present" or "absent"; anything else is reg.exe failing for another reason, and says so.
key_state() {  # key
  local out
  if out=$(wine_reg "${bits}" query "$1" "${view}"); then
    echo present
  elif wine_reg_says_absent "${out}"; then
    echo absent
  else
    echo "reg query failed: $(tr -d '\r' <<<"${out}" | tr '\n' ' ' | head -c 200)"
  fi
}
key_exists() { [[ $(key_state "$1") == present ]]; }

expect_value() {  # name, key, value name, expected data (compared without regard to case)
  local got
  if ! got=$(value_of "$2" "$3"); then
    fail "$1" "$2 [${3:-(Default)}] is missing"
  elif [[ "${got,,}" != "${4,,}" ]]; then
    fail "$1" "$2 [${3:-(Default)}] is '${got}', expected '$4'"
  else
    pass "$1"
  fi
}

expect_gone() {  # name, key
  local state
  state=$(key_state "$2")
  case "${state}" in
    absent) pass "$1" ;;
    present) fail "$1" "$2 is still there" ;;
    *) fail "$1" "$2: ${state}" ;;
  esac
}

# Keys both bitnesses share stay while the other bitness has registered what they serve.
other_has_class() {  # clsid
  wine_bits "${bits}" reg query "${classes}\\CLSID\\$1\\InprocServer32" "${other_view}" >/dev/null 2>&1 &&
    echo yes
}
other_has_library() {  # libid, version
  key_exists "${classes}\\TypeLib\\$1\\$2\\0\\${other}" && echo yes
}
expect_shared_gone() {  # name, key, "yes" when the other bitness still uses it
  if [[ -n "$3" ]]; then
    if key_exists "$2"; then pass "$1-kept-for-the-other-bitness"; else
      fail "$1-kept-for-the-other-bitness" "$2 went, and the other bitness uses it"
    fi
  else
    expect_gone "$1" "$2"
  fi
}

regsvr() {  # name, windows path of the DLL
  if [[ "${mode}" == register* ]]; then
    wine_bits "${bits}" regsvr32 /s "${user_flags[@]}" "$2"
  else
    wine_bits "${bits}" regsvr32 /u /s "${user_flags[@]}" "$2"
  fi
  local status=$?
  if ((status == 0)); then pass "regsvr32-$1"; else fail "regsvr32-$1" "regsvr32 exited with ${status}"; fi
}

if [[ "${mode}" == register* ]]; then
  regsvr MOLConfigLib "${config_dll}"
  regsvr MolGPP "${pp_dll}"
  regsvr VELMOSWGlobalLib "${dll}"
else
  regsvr VELMOSWGlobalLib "${dll}"
  regsvr MolGPP "${pp_dll}"
  regsvr MOLConfigLib "${config_dll}"
fi

# A companion: its class, ProgID, interface and type library.
expect_companion() {  # name, dll, clsid, progid, iid, libid, version
  if [[ "${mode}" == register* ]]; then
    expect_value "$1-inproc-server" "${classes}\\CLSID\\$3\\InprocServer32" "" "$2"
    expect_value "$1-threading-model" "${classes}\\CLSID\\$3\\InprocServer32" ThreadingModel Apartment
    expect_value "$1-progid" "${classes}\\$4\\CLSID" "" "$3"
    expect_value "$1-class-typelib" "${classes}\\CLSID\\$3\\TypeLib" "" "$6"
    expect_value "$1-interface-typelib" "${classes}\\Interface\\$5\\TypeLib" "" "$6"
    expect_value "$1-interface-marshaller" "${classes}\\Interface\\$5\\ProxyStubClsid32" "" \
      "${automation_marshaller}"
    expect_value "$1-typelib-file" "${classes}\\TypeLib\\$6\\$7\\0\\${platform}" "" "$2"
  else
    expect_gone "$1-clsid" "${classes}\\CLSID\\$3"
    expect_shared_gone "$1-progid" "${classes}\\$4" "$(other_has_class "$3")"
    expect_shared_gone "$1-interface" "${classes}\\Interface\\$5" "$(other_has_library "$6" "$7")"
    expect_gone "$1-typelib-file" "${classes}\\TypeLib\\$6\\$7\\0\\${platform}"
  fi
}
expect_companion config "${config_dll}" "${config_clsid}" MOLConfigLib.ConfigDocument \
  "${config_iid}" "${config_libid}" 3.6
expect_companion pp "${pp_dll}" "${pp_clsid}" MolGPP.PPDocument "${pp_iid}" "${pp_libid}" 1.9

if [[ "${mode}" == register* ]]; then
  for class in global pp; do
    if [[ ${class} == global ]]; then
      clsid=${clsid_global} progid=VELMOSWGlobalLib.MOLTRAGlobalClass iid=${iid_global}
    else
      clsid=${clsid_pp} progid=VELMOSWGlobalLib.classPP iid=${iid_pp}
    fi
    expect_value "${class}-inproc-server" "${classes}\\CLSID\\${clsid}\\InprocServer32" "" "${dll}"
    expect_value "${class}-threading-model" "${classes}\\CLSID\\${clsid}\\InprocServer32" \
      ThreadingModel Apartment
    expect_value "${class}-progid" "${classes}\\${progid}\\CLSID" "" "${clsid}"
    expect_value "${class}-interface-typelib" "${classes}\\Interface\\${iid}\\TypeLib" "" "${libid}"
    expect_value "${class}-interface-typelib-version" "${classes}\\Interface\\${iid}\\TypeLib" \
      Version 1.9
    expect_value "${class}-interface-marshaller" "${classes}\\Interface\\${iid}\\ProxyStubClsid32" "" \
      "${automation_marshaller}"
  done
  expect_value typelib-version "${classes}\\TypeLib\\${libid}\\1.9" "" VELMOSWGlobalLib
  expect_value typelib-file "${classes}\\TypeLib\\${libid}\\1.9\\0\\${platform}" "" "${dll}"
else
  expect_gone global-clsid "${classes}\\CLSID\\${clsid_global}"
  expect_gone pp-clsid "${classes}\\CLSID\\${clsid_pp}"
  expect_shared_gone global-progid "${classes}\\VELMOSWGlobalLib.MOLTRAGlobalClass" \
    "$(other_has_class "${clsid_global}")"
  expect_shared_gone pp-progid "${classes}\\VELMOSWGlobalLib.classPP" \
    "$(other_has_class "${clsid_pp}")"
  shared=$(other_has_library "${libid}" 1.9)
  expect_shared_gone global-interface "${classes}\\Interface\\${iid_global}" "${shared}"
  expect_shared_gone pp-interface "${classes}\\Interface\\${iid_pp}" "${shared}"
  expect_shared_gone typelib-version "${classes}\\TypeLib\\${libid}\\1.9" "${shared}"
  expect_gone typelib-file "${classes}\\TypeLib\\${libid}\\1.9\\0\\${platform}"
fi

# Per-user registration writes nothing machine-wide (run where nothing is registered so).
if [[ "${mode}" == register-user ]]; then
  machine='HKLM\Software\Classes'
  # The same look finds what is there, or its "gone" would prove nothing.
  state=$(key_state "${machine}\\CLSID")
  if [[ ${state} == present ]]; then pass machine-wide-look-sees-keys; else
    fail machine-wide-look-sees-keys "${machine}\\CLSID: ${state}"
  fi
  for key in "CLSID\\${clsid_global}" "CLSID\\${clsid_pp}" "CLSID\\${config_clsid}" \
    "CLSID\\${pp_clsid}" VELMOSWGlobalLib.MOLTRAGlobalClass MOLConfigLib.ConfigDocument \
    "TypeLib\\${libid}" "TypeLib\\${config_libid}" "TypeLib\\${pp_libid}" \
    "Interface\\${iid_global}" "Interface\\${config_iid}" "Interface\\${pp_iid}"; do
    expect_gone "nothing-machine-wide-${key//\\//}" "${machine}\\${key}"
  done
fi

echo "registration_test (${mode}, ${bits}-bit): $((report_tests - report_failures)) of ${report_tests} checks passed"
report_write "${results}" "${mode}_test" "${mode}${bits}"
((report_failures == 0))
