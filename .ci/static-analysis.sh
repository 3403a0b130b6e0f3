#!/usr/bin/env bash
# The README's static analysis of src/ (given build/default configured), and
# the shell scripts through shellcheck.
set -euo pipefail
cd "$(dirname "$0")/.."
clang-tidy -p build/default --quiet src/*.cpp
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
  --error-exitcode=1 --inline-suppr --quiet -I src src
shellcheck tests/*.sh scripts/*.sh bench/*.sh .ci/run .ci/*.sh .ci/stories/*.sh
