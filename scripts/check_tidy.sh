#!/usr/bin/env bash
# Runs clang-tidy 14 (checks in .clang-tidy) over the project's own sources with the
# compile commands of the release build; any finding fails. The build folder and the
# files Qt generates there (moc) are not checked. Run after the release build
# (scripts/test.sh): the commands must exist, and the moc files some sources include.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$(pwd)"
[ -f build/release/compile_commands.json ] || cmake --preset release >/dev/null
"${RUN_CLANG_TIDY:-run-clang-tidy-14}" -quiet -p build/release -j "$(nproc)" \
  "^$src/(app|bench|dataport|engine|gps|link|platform|receive|receiver|record|tests|tools)/"
