#!/usr/bin/env bash
# Writes, beside each capture in tests/data/captures, the report of what the panel makes
# of it (<capture>.expected: Data port digest, status line, fix texts, satellite grid),
# which receive_tests compares. Run it when a change of behaviour is meant, and commit
# the reports' diff with the change.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target receive_capture_report
rm -f tests/data/captures/*.expected
build/release/tests/receive/receive_capture_report --write tests/data/captures/*.log
git status --short -- tests/data/captures 2>/dev/null || true
