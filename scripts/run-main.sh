#!/usr/bin/env bash
# Builds the release preset and runs velmoctl on its default store: one value written and read
# back through the portable registry.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh --linux
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release

velmoctl=build/linux-release/tools/velmoctl/velmoctl
key='Software\MOLTRA\VELMO_SW2\VELMO_SW2 2\Interface'
"${velmoctl}" reg set HKCU "${key}" Langue 1
echo "HKCU\\${key} Langue = $("${velmoctl}" reg get HKCU "${key}" Langue)"
"${velmoctl}" reg list HKCU "${key}"
