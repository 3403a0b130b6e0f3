#!/usr/bin/env bash
# Checks what a release is made of, from the commit at HEAD:
#   - everything that states a version states the project's (CMakeLists.txt):
#     the manual page's title line, the change log's newest entry, the
#     package names in the README, and the packages themselves;
#   - the same commit gives the same bytes: built twice, from clones in
#     folders of different names and at different times, with no
#     SOURCE_DATE_EPOCH set, the three static release binaries, the default
#     build's command and the three packages are byte-identical;
#   - each package's Depends is what dpkg-shlibdeps finds in its command;
#   - with an absolute CMAKE_INSTALL_SBINDIR the service names the command
#     where it is installed.
# Needs what .ci/run installs, the arm64 and armhf runtime libraries among
# them. Usage: scripts/check-release.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
fail() {
  echo "check-release: $*" >&2
  exit 1
}

version=$(sed -n 's/^  VERSION \([0-9][0-9.]*\)$/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no VERSION in CMakeLists.txt's project()"
grep -q "^\.TH MSGDB-TRIM 8 \"[-0-9]*\" \"msgdb-trim $version\" " dist/msgdb-trim.8 ||
  fail "the manual page's title line does not say msgdb-trim $version"
logged=$(dpkg-parsechangelog -l dist/debian/changelog -S Version)
[ "$logged" = "$version" ] || fail "the change log's newest entry is $logged, not $version"
stale=$(grep -o 'msgdb-trim_[0-9.]*_' README.md | grep -vx "msgdb-trim_${version}_" || true)
[ -z "$stale" ] || fail "the README names packages of another version: $stale"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
packages=(default/msgdb-trim_"$version"_amd64.deb aarch64/msgdb-trim_"$version"_arm64.deb
  armhf/msgdb-trim_"$version"_armhf.deb)
built=(release/msgdb-trim release-aarch64/msgdb-trim release-armhf/msgdb-trim
  default/msgdb-trim "${packages[@]}")
build() { # FOLDER: a fresh clone of HEAD, everything in $built made in it
  git clone -q "$root" "$1"
  cd "$1"
  for preset in release release-aarch64 release-armhf default aarch64 armhf; do
    cmake --preset "$preset" -DMSGDB_TRIM_TESTS=OFF >/dev/null
    cmake --build --preset "$preset" >/dev/null
  done
  for preset in default aarch64 armhf; do cpack --preset "$preset" >/dev/null; done
  cd "$root"
}
unset SOURCE_DATE_EPOCH
build "$work/one"
build "$work/another-clone"
for file in "${built[@]}"; do
  cmp "$work/one/build/$file" "$work/another-clone/build/$file" ||
    fail "build/$file differs between two builds of one commit"
done

for package in "${packages[@]}"; do
  deb=$work/one/build/$package
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$package is not version $version"
  mkdir -p "$work/unpacked/debian"
  touch "$work/unpacked/debian/control"
  dpkg-deb -x "$deb" "$work/unpacked"
  found=$(cd "$work/unpacked" && dpkg-shlibdeps -O usr/sbin/msgdb-trim 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
  if [ -z "$found" ] || [ "$(dpkg-deb -f "$deb" Depends)" != "$found" ]; then
    fail "$package depends on '$(dpkg-deb -f "$deb" Depends)', its command on '$found'"
  fi
  rm -r "$work/unpacked"
done

cmake -S "$work/one" -B "$work/absolute" -DMSGDB_TRIM_TESTS=OFF \
  -DCMAKE_INSTALL_SBINDIR=/usr/sbin >/dev/null
cmake --build "$work/absolute" >/dev/null
DESTDIR=$work/installed cmake --install "$work/absolute" --prefix /opt/msgdb >/dev/null
grep -qx 'ExecStart=/usr/sbin/msgdb-trim %f' \
  "$work/installed/opt/msgdb/lib/systemd/system/msgdb-trim@.service" ||
  fail "with CMAKE_INSTALL_SBINDIR=/usr/sbin the service does not run /usr/sbin/msgdb-trim"
[ -x "$work/installed/usr/sbin/msgdb-trim" ] || fail "the command is not in /usr/sbin"
echo "check-release: $version; two builds of $(git rev-parse --short HEAD) are byte-identical"
