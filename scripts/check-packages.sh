#!/usr/bin/env bash
# Checks the Debian packages that `cpack --preset linux-package` made: each holds only what
# belongs to it and declares what it needs. With --install (as root), also installs them with
# apt-get, compares `dpkg -L` and removes them again, leaving nothing behind.
#   scripts/check-packages.sh DIR [--install]
set -uo pipefail
dir=$(cd "$1" && pwd)
install=${2:-}
arch=$(dpkg --print-architecture)
multiarch=$(gcc -print-multiarch)
version=$(sed -n 's/^project(VELMOSWGlobalLib VERSION \([0-9.]*\).*/\1/p' \
  "$(dirname "${BASH_SOURCE[0]}")/../CMakeLists.txt")
lib=/usr/lib/${multiarch}
status=0

declare -A files depends
files[libvelmo1]="${lib}/libvelmo.so.1
${lib}/libvelmo.so.1.0.0"
depends[libvelmo1]="libc6 libgcc-s1 libicu72 libsqlite3-0 libstdc++6"
files[libvelmo-dev]="$(printf '/usr/include/velmo/%s\n' class_pp.h config_document.h export.h \
  file_date.h moltra_global_class.h user_events.h utf8.h)
$(printf "${lib}/cmake/VELMOSWGlobalLib/VELMOSWGlobalLib%s.cmake\n" Config ConfigVersion \
  StaticTargets StaticTargets-release Targets Targets-release)
${lib}/libvelmo.a
${lib}/libvelmo.so
${lib}/pkgconfig/velmo.pc
/usr/share/doc/VELMOSWGlobalLib/README.md"
depends[libvelmo-dev]="libicu-dev libsqlite3-dev libvelmo1"
files[velmoctl]="/usr/bin/velmoctl"
depends[velmoctl]="libc6 libgcc-s1 libicu72 libsqlite3-0 libstdc++6"
if [[ -f "$(dirname "${BASH_SOURCE[0]}")/../tools/velmoctl/velmoctl.1" ]]; then
  files[velmoctl]+=$'\n/usr/share/man/man1/velmoctl.1'
fi

differs() {  # what, wanted, got
  [[ "$2" == "$3" ]] && return 0
  echo "check-packages: $1 differs (< wanted, > got):"
  diff <(echo "$2") <(echo "$3")
  status=1
}

debs=()
for package in libvelmo1 libvelmo-dev velmoctl; do
  deb=${dir}/${package}_${version}_${arch}.deb
  if [[ ! -f "${deb}" ]]; then
    echo "check-packages: no ${deb}"
    status=1
    continue
  fi
  debs+=("${deb}")
  # Files and links only: the folders they lie in are shared with other packages.
  differs "${package} files" "$(sort <<<"${files[${package}]}")" \
    "$(dpkg-deb -c "${deb}" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort)"
  differs "${package} dependencies" "${depends[${package}]}" \
    "$(dpkg-deb -f "${deb}" Depends | tr ',' '\n' | sed 's/ *(.*//; s/^ *//' | sort | xargs)"
done
# Exactly this version of the library for its headers, and the SONAME for its users.
differs "libvelmo-dev on libvelmo1" "libvelmo1 (= ${version})" \
  "$(dpkg-deb -f "${dir}/libvelmo-dev_${version}_${arch}.deb" Depends | tr ',' '\n' |
    sed 's/^ *//' | grep '^libvelmo1')"
shlibs=$(dpkg-deb --ctrl-tarfile "${dir}/libvelmo1_${version}_${arch}.deb" | tar -xO ./shlibs)
differs "libvelmo1 shlibs" "libvelmo 1 libvelmo1 (= ${version})" "${shlibs}"

if [[ "${install}" == "--install" && ${status} -eq 0 ]]; then
  apt-get install -y -q -o DPkg::Lock::Timeout=120 "${debs[@]}" >/dev/null || status=1
  for package in libvelmo1 libvelmo-dev velmoctl; do
    differs "dpkg -L ${package}" "$(sort <<<"${files[${package}]}")" \
      "$(dpkg -L "${package}" | while read -r f; do [[ -d "$f" ]] || echo "$f"; done | sort)"
  done
  apt-get purge -y -q -o DPkg::Lock::Timeout=120 libvelmo1 libvelmo-dev velmoctl >/dev/null || status=1
  for f in ${files[libvelmo1]} ${files[libvelmo-dev]} ${files[velmoctl]}; do
    [[ -e "$f" ]] && { echo "check-packages: ${f} left after removal"; status=1; }
  done
fi
exit "${status}"
