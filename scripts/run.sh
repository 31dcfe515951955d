#!/usr/bin/env bash
# Builds the panel and the module emulator, starts the emulator on the module's socket
# and then the panel in the current directory (its settings file, logs and the GPS Data
# port link land here). Without a display the panel runs on Qt's offscreen platform.
#
#   scripts/run.sh [EMULATOR OPTION]...     e.g. --replay FILE; --help lists them
#
# The options go to the emulator. When it does not start (a mistyped option), or only
# prints its help or version, the panel is not started and its status is this script's.
# Ctrl-C ends both; the script then ends with 130, as an interrupted command does.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
# A tree of its own without the tests and benchmarks, which need more packages; the
# tests of this script name theirs in OSTREL_RUN_BUILD, built already.
bin="${OSTREL_RUN_BUILD:-$src/build/run}"
if [ -z "${OSTREL_RUN_BUILD:-}" ]; then
  "$src/scripts/deps.sh" run
  cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_TESTS=OFF \
    -DOSTREL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$bin" --target ostrel-panel kastrel-emulator
fi

emulator="$bin/tools/emulator/kastrel-emulator"
for option in "$@"; do
  case "$option" in
    -h | --help | --version) exec "$emulator" "$@" ;;
  esac
done

said="$(mktemp)"
"$emulator" "$@" 2> >(tee "$said" >&2) &
pid=$!
trap 'kill $pid 2>/dev/null || true; rm -f "$said"' EXIT
# Until it listens; an emulator that ended instead hands on its status.
until grep -q "listening on" "$said"; do
  if ! kill -0 "$pid" 2>/dev/null; then
    status=0
    wait "$pid" || status=$?
    echo "run: the emulator did not start (status $status); the panel is not started" >&2
    exit $((status == 0 ? 1 : status))
  fi
  sleep 0.1
done

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  echo "run: no display, the panel runs offscreen (File > Exit is unreachable: stop it with Ctrl-C)" >&2
fi
interrupted=0
trap 'interrupted=1' INT
status=0
"$bin/app/ostrel-panel" || status=$?
((interrupted)) && exit 130
exit "$status"
