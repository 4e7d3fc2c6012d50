#!/usr/bin/env bash
# A settings read served from the user hive makes at most one system call: strace counts what
# store_syscall_probe's reads make between its two markers. Calls that only manage memory are the
# allocator's (a sanitizer's among them), not the store's, and are left out.
#   store_syscalls_test.sh PROBE [RESULTS.xml]
set -u
probe=$1
results=${2:-}
reads=2000
skip=77

write_results() {  # tests, failures, skipped, body
  [[ -n "${results}" ]] || return 0
  mkdir -p "$(dirname "${results}")"
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<testsuites tests="%d" failures="%d" disabled="%d" errors="0" name="store_syscalls_test">\n<testsuite name="store_syscalls_test" tests="%d" failures="%d" disabled="%d">%s</testsuite>\n</testsuites>\n' \
    "$1" "$2" "$3" "$1" "$2" "$3" "$4" >"${results}"
}

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
if ! command -v strace >/dev/null || ! strace -qq -o /dev/null true 2>/dev/null; then
  echo "store_syscalls_test: SKIPPED: strace is missing or may not trace here"
  write_results 1 0 1 '<testcase name="settings_read"><skipped message="no strace"/></testcase>'
  exit ${skip}
fi

# LeakSanitizer cannot run under a tracer.
export ASAN_OPTIONS="${ASAN_OPTIONS:+${ASAN_OPTIONS}:}detect_leaks=0"
if ! strace -f -qq -o "${work}/trace" "${probe}" "${work}/store" "${reads}"; then
  write_results 1 1 0 '<testcase name="settings_read"><failure message="the probe failed"/></testcase>'
  exit 1
fi
calls=$(awk '/close\(-7001\)/ { on = 1; next } /close\(-7002\)/ { on = 0 } on' "${work}/trace" |
  sed -E 's/^[0-9]+ +//; s/\(.*//' | grep -Ev '^(mmap|munmap|mremap|mprotect|madvise|brk)$')
count=$(printf '%s' "${calls}" | grep -c .)
echo "${reads} settings reads made ${count} system calls:"
printf '%s\n' "${calls}" | sort | uniq -c
if ((count > reads)); then
  write_results 1 1 0 "<testcase name=\"settings_read\"><failure message=\"${count} system calls for ${reads} reads\"/></testcase>"
  exit 1
fi
write_results 1 0 0 '<testcase name="settings_read"/>'
