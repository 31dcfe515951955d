#!/usr/bin/env bash
# Takes the Receiver Status window's screenshots in docs/: the sky and accuracy of a
# replayed multi-constellation capture (case "replay"), the time to first fix on the
# emulator after a cold restart, searching then fixed ("cold"), and the accuracy of a
# 15-minute run of the emulator standing still ("stationary", which takes those 15
# minutes: the accuracy window counts the panel's clock, not fixes). A private Xvfb
# display; run it in a network namespace of its own when another panel or emulator may
# be running:
#
#   unshare -rn sh -c 'ip link set lo up; scripts/status_screenshots.sh [BUILD_DIR [CASE...]]'
#
# Without cases it takes them all.
#
# Needs Xvfb, xdotool and ImageMagick (import).
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "${1:-$src/build/release}" && pwd)"
shift $(($# > 0 ? 1 : 0))
cases=("$@")
((${#cases[@]})) || cases=(replay cold stationary)
for case in "${cases[@]}"; do
  case "$case" in
    replay | cold | stationary) ;;
    *) echo "status_screenshots: unknown case '$case' (replay, cold, stationary)" >&2; exit 2 ;;
  esac
done
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "status_screenshots: $tool is missing" >&2; exit 1; }
done

shot_name=status_screenshots
# shellcheck source=scripts/xvfb_session.sh
. "$src/scripts/xvfb_session.sh"
# Ends the process started last (the panel, then its emulator).
stop_last() {
  kill "${pids[-1]}" 2>/dev/null || true
  wait "${pids[-1]}" 2>/dev/null || true
  unset 'pids[-1]'
}
mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"

status_window() { xdotool search --onlyvisible --name '^Receiver Status$' 2>/dev/null | head -n1; }
shown() { [ -n "$(status_window)" ]; }
shot() { import -window "$(status_window)" "$src/docs/$1"; echo "status_screenshots: docs/$1"; }

# start_panel EMULATOR-ARGS...: the emulator, then the panel with the status window.
start_panel() {
  "$bin/tools/emulator/kastrel-emulator" --eeprom "$work/eeprom.bin" "$@" 2>"$work/emulator.log" &
  pids+=($!)
  wait_for 10 grep -qs listening "$work/emulator.log"
  (cd "$work" && exec "$bin/app/ostrel-panel" --status) 2>"$work/panel.log" &
  pids+=($!)
  wait_for 15 shown
  xdotool windowsize "$(status_window)" 720 969
}

replay() {
  start_panel --replay "$src/tests/data/captures/ublox-neo-m9n-nmea.log" --period 200
  sleep 14
  shot status-replay.png
  stop_last
  stop_last
}

cold() {
  start_panel --period 500
  sleep 4
  # Alt+C is the Cold button's mnemonic.
  xdotool key --window "$(status_window)" alt+c
  sleep 6
  shot status-cold-searching.png
  sleep 14
  shot status-cold-fixed.png
  stop_last
  stop_last
}

# The window keeps the last 15 minutes by default: a little longer fills it.
stationary() {
  start_panel --stationary --seed 1
  sleep 920
  shot status-stationary.png
  stop_last
  stop_last
}

mkdir -p "$src/docs"
for case in "${cases[@]}"; do "$case"; done
