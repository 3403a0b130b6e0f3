#!/usr/bin/env bash
# Installs what the build, the tests and the checks need on a fresh Debian
# machine: the ARM packages' dependencies are read from each architecture's
# own runtime libraries, installed beside the machine's.
set -euo pipefail
dpkg --add-architecture arm64
dpkg --add-architecture armhf
apt-get update
apt-get install -y --no-install-recommends \
  cmake make g++ libgtest-dev googletest e2fsprogs xfsprogs btrfs-progs mount util-linux git passwd \
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user dpkg-dev file \
  libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64 libc6:armhf libstdc++6:armhf libgcc-s1:armhf \
  systemd man-db groff-base clang-tidy cppcheck shellcheck lintian strace \
  mmdebstrap systemd-container
