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

source "$(dirname "${BASH_SOURCE[0]}")/../support/test_report.sh"

work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
if ! command -v strace >/dev/null || ! strace -qq -o /dev/null true 2>/dev/null; then
  echo "store_syscalls_test: SKIPPED: strace is missing or may not trace here"
  report_skip settings_read "no strace"
  report_write "${results}" store_syscalls_test
  exit ${skip}
fi

# LeakSanitizer cannot run under a tracer.
export ASAN_OPTIONS="${ASAN_OPTIONS:+${ASAN_OPTIONS}:}detect_leaks=0"
if ! strace -f -qq -o "${work}/trace" "${probe}" "${work}/store" "${reads}"; then
  report_fail settings_read "the probe failed"
  report_write "${results}" store_syscalls_test
  exit 1
fi
# Without both markers there is nothing between them to count.
for marker in 7001 7002; do
  if (($(grep -c "close(-${marker})" "${work}/trace") != 1)); then
    report_fail settings_read "the trace does not show the marker close(-${marker}) once"
    report_write "${results}" store_syscalls_test
    exit 1
  fi
done
calls=$(awk '/close\(-7001\)/ { on = 1; next } /close\(-7002\)/ { on = 0 } on' "${work}/trace" |
  sed -E 's/^[0-9]+ +//; s/\(.*//' | grep -Ev '^(mmap|munmap|mremap|mprotect|madvise|brk)$')
count=$(printf '%s' "${calls}" | grep -c .)
echo "${reads} settings reads made ${count} system calls:"
printf '%s\n' "${calls}" | sort | uniq -c
if ((count > reads)); then
  report_fail settings_read "${count} system calls for ${reads} reads"
  report_write "${results}" store_syscalls_test
  exit 1
fi
report_pass settings_read
report_write "${results}" store_syscalls_test
