#!/usr/bin/env bash
# Runs a command on an Xvfb display of its own, started for it and stopped after it; the rest of
# the test run has no display at all.
#
#   on_xvfb.sh COMMAND [ARGUMENT]...
#
# Xvfb picks a free display number itself (-displayfd); no xauth is needed, unlike xvfb-run.
set -u
dir=$(mktemp -d "${TMPDIR:-/tmp}/velmo-xvfb.XXXXXX") || exit 2
xvfb=""
stop() {
  if [[ -n "${xvfb}" ]]; then
    kill "${xvfb}" 2>/dev/null
    wait "${xvfb}" 2>/dev/null
  fi
  rm -rf -- "${dir}"
}
trap stop EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"${dir}/display" 2>"${dir}/log" &
xvfb=$!
# The number is written once the server accepts connections.
for _ in $(seq 200); do
  [[ -s "${dir}/display" ]] && break
  if ! kill -0 "${xvfb}" 2>/dev/null; then
    echo "on_xvfb: Xvfb did not start:" >&2
    cat "${dir}/log" >&2
    exit 2
  fi
  sleep 0.05
done
display=$(tr -dc '0-9' <"${dir}/display")
if [[ -z "${display}" ]]; then
  echo "on_xvfb: Xvfb gave no display number" >&2
  exit 2
fi

DISPLAY=":${display}" "$@"
