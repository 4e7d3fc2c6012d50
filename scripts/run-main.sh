#!/usr/bin/env bash
# Builds the release preset and shows a real start-up on the default store: the machine learns
# where the application is (examples/app), the user where their directory is (examples/user),
# and velmoctl starts up as the host application would.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh --linux
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release

velmoctl=build/linux-release/tools/velmoctl/velmoctl
# What an installer leaves: the application directory, and a default user directory.
"${velmoctl}" reg set HKLM 'SOFTWARE\MOLTRA\USERS' PathVELMO_SW2 "${PWD}/examples/app" --32
"${velmoctl}" reg set HKCU 'Software\MOLTRA\Users' UserVELMO_SW2 "${PWD}/examples/user"

"${velmoctl}" status --host-version 2010
"${velmoctl}" pp examples/params/beam.pp examples/params/column.pp examples/params/BEAM.pp
