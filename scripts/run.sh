#!/usr/bin/env bash
# Builds the panel and the module emulator, starts the emulator on the module's socket
# and then the panel in the current directory (its settings file, logs and the GPS Data
# port link land here). Without a display the panel runs on Qt's offscreen platform.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
"$src/scripts/deps.sh"
cmake -S "$src" --preset release >/dev/null
cmake --build "$src/build/release" --target ostrel-panel kastrel-emulator
bin="$src/build/release"

"$bin/tools/emulator/kastrel-emulator" "$@" &
emulator=$!
trap 'kill $emulator 2>/dev/null || true' EXIT

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  echo "run: no display, the panel runs offscreen (File > Exit is unreachable: stop it with Ctrl-C)" >&2
fi
"$bin/app/ostrel-panel"
