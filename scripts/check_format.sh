#!/usr/bin/env bash
# Fails when a tracked C++ file is not laid out as .clang-format says. Pinned to
# clang-format 14 (Debian 12's): other versions lay out some constructs differently.
set -euo pipefail
cd "$(dirname "$0")/.."
fmt="${CLANG_FORMAT:-clang-format-14}"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 "$fmt" --dry-run -Werror
