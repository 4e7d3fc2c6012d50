#!/usr/bin/env bash
# The main job: builds velmoctl alone (release preset), tells the default store where the
# application is (examples/app) and where the user's directory is (examples/user), as an
# installer would, and starts up as the host application would. Says which store files it used
# or created, what each line means, what to try next and how to remove what it wrote.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh --linux
echo "== building velmoctl (preset linux-release, in build/linux-release)"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target velmoctl | tail -1
velmoctl=build/linux-release/tools/velmoctl/velmoctl

# Where velmoctl keeps the two hives (see 'velmoctl --help').
if [[ -n "${MOLTRA_REGISTRY_DIR:-}" ]]; then
  machine=${MOLTRA_REGISTRY_DIR}/machine.db
  user=${MOLTRA_REGISTRY_DIR}/user.db
else
  machine=/var/lib/moltra/registry/machine.db
  user=${XDG_CONFIG_HOME:-${HOME}/.config}/moltra/registry/user.db
fi
created=()
[[ -e "${machine}" ]] || created+=("${machine}")
[[ -e "${user}" ]] || created+=("${user}")

"${velmoctl}" reg set HKLM 'SOFTWARE\MOLTRA\USERS' PathVELMO_SW2 "${PWD}/examples/app" --32
"${velmoctl}" reg set HKCU 'Software\MOLTRA\Users' UserVELMO_SW2 "${PWD}/examples/user"
echo
echo "== the store (MOLTRA_REGISTRY_DIR puts it elsewhere)"
for hive in "${machine}" "${user}"; do
  if [[ " ${created[*]} " == *" ${hive} "* ]]; then state=created; else state=used; fi
  echo "  ${hive}  (${state})"
done
echo "  set, as an installer would:"
echo "    HKLM\\SOFTWARE\\MOLTRA\\USERS  PathVELMO_SW2 = ${PWD}/examples/app  (32-bit view)"
echo "    HKCU\\Software\\MOLTRA\\Users  UserVELMO_SW2 = ${PWD}/examples/user"
echo "  start-up below adds \"PATH\" under the machine's release key and the user's interface values"
echo
echo "== velmoctl status --host-version 2010: MOLTRAG_Init as the host calls it, then the context"
"${velmoctl}" status --host-version 2010
cat <<'TEXT'
  application      always VELMO_SW2
  version          the host's version; release and service pack follow from it
  app directory    "PATH" under the machine's release key, copied there from PathVELMO_SW2
                   on the first start-up
  user directory   "USER" under the user's release key, else the default UserVELMO_SW2
  language         the interface value "Langue" (1, and written, when missing)
  debug            on when the interface value "DEBUG" is "1"
  VelmoCFG         the user's dat\velmo.cfg merged with the application's
  GeometrieDat     the application's Dat\Geometrie.dat
TEXT

echo
echo "== velmoctl pp: three requests to the parameter-file cache (MOLTRAG_GetPP)"
"${velmoctl}" pp examples/params/beam.pp examples/params/column.pp examples/params/BEAM.pp
cat <<'TEXT'
  status 0 is handed out (-1 failed, -2 no such file); slot is the cache entry, accesses its
  nbAcces. BEAM.pp names the same file as beam.pp, as Windows compares names, so it is the
  second access to slot 0.
TEXT

cat <<TEXT

== next (velmoctl is ${velmoctl})
  velmoctl interface get Langue
  velmoctl setting set Units mm; velmoctl setting get Units
  velmoctl user switch ${PWD}/examples/user
  velmoctl --help
  scripts/test-all.sh            every test (README.md, "Building")
  README.md, "Using the library from another project": install it, build examples/consumer

== to remove what this wrote
TEXT
if ((${#created[@]} > 0)); then
  files=()
  for hive in "${created[@]}"; do files+=("${hive}" "${hive}-wal" "${hive}-shm"); done
  echo "  rm -f ${files[*]}"
else
  echo "  the hives were there before: delete the values above with 'velmoctl reg delete', or"
  echo "  remove ${machine} and ${user} (with their -wal and -shm) if nothing else uses them"
fi
echo "  rm -rf build/linux-release"
