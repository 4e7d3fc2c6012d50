# Sourced by the shell tests: records their cases and writes them as GoogleTest's XML, which the
# test scripts add up with the rest.
#   report_pass NAME [CLASS]
#   report_fail NAME MESSAGE [CLASS]     also prints the failure
#   report_skip NAME MESSAGE            also prints the reason
#   report_write FILE NAME [SUITE]       nothing when FILE is empty
#   report_reset                         forgets the cases recorded so far
# Starts a new set of cases, as for a second results file from one script.
report_reset() {
  report_tests=0
  report_failures=0
  report_skipped=0
  report_cases=""
}
report_reset

# The replacements are quoted: bash 5.2 reads an unquoted & there as the text matched.
report_escape() {
  local text=${1//&/"&amp;"}
  text=${text//</"&lt;"}
  text=${text//>/"&gt;"}
  printf '%s' "${text//\"/"&quot;"}"
}

report_case() {  # name, class, inner XML
  report_tests=$((report_tests + 1))
  local class=""
  [[ -n "$2" ]] && class=" classname=\"$(report_escape "$2")\""
  if [[ -z "$3" ]]; then
    report_cases+="<testcase name=\"$(report_escape "$1")\"${class}/>"
  else
    report_cases+="<testcase name=\"$(report_escape "$1")\"${class}>$3</testcase>"
  fi
}

report_pass() { report_case "$1" "${2:-}" ""; }

report_fail() {
  report_failures=$((report_failures + 1))
  echo "FAILED ${3:+$3: }$1: $2"
  report_case "$1" "${3:-}" "<failure message=\"$(report_escape "$2")\"/>"
}

report_skip() {
  report_skipped=$((report_skipped + 1))
  echo "SKIPPED $1: $2"
  report_case "$1" "" "<skipped message=\"$(report_escape "$2")\"/>"
}

report_write() {
  [[ -n "$1" ]] || return 0
  mkdir -p "$(dirname "$1")"
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuites tests="%d" failures="%d" skipped="%d" errors="0" name="%s">\n<testsuite name="%s" tests="%d" failures="%d" skipped="%d">%s</testsuite>\n</testsuites>\n' \
    "${report_tests}" "${report_failures}" "${report_skipped}" "$2" "${3:-$2}" \
    "${report_tests}" "${report_failures}" "${report_skipped}" "${report_cases}" >"$1"
}
