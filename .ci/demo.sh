#!/usr/bin/env bash
# The README's demonstration, as a newcomer runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/demo.sh
