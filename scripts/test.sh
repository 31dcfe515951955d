#!/usr/bin/env bash
# Builds everything (release preset) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh test
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release --timeout 300 "$@"
