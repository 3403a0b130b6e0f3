#!/usr/bin/env bash
# The static release builds, and the packages of build/default, build/aarch64
# and build/armhf, each shown and judged by lintian; then one version
# everywhere, the same bytes from two clones of the commit, and the packages'
# dependencies as dpkg-shlibdeps finds them (scripts/check-release.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in release release-aarch64 release-armhf; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
for preset in default aarch64 armhf; do
  cpack --preset "$preset"
  dpkg-deb --info build/"$preset"/msgdb-trim_*.deb
  dpkg-deb --contents build/"$preset"/msgdb-trim_*.deb
  lintian --fail-on error,warning build/"$preset"/msgdb-trim_*.deb
done
scripts/check-release.sh
