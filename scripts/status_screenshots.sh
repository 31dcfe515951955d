#!/usr/bin/env bash
# Takes the Receiver Status window's screenshots in docs/: the sky and accuracy of a
# replayed multi-constellation capture, and the time to first fix on the emulator after
# a cold restart (searching, then fixed). A private Xvfb display; run it in a network
# namespace of its own when another panel or emulator may be running:
#
#   unshare -rn sh -c 'ip link set lo up; scripts/status_screenshots.sh [BUILD_DIR]'
#
# Needs Xvfb, xdotool and ImageMagick (import).
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "${1:-$src/build/release}" && pwd)"
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
  xdotool windowsize "$(status_window)" 720 760
}

mkdir -p "$src/docs"
start_panel --replay "$src/tests/data/captures/ublox-neo-m9n-nmea.log" --period 200
sleep 14
shot status-replay.png
stop_last
stop_last

start_panel --period 500
sleep 4
# Alt+C is the Cold button's mnemonic.
xdotool key --window "$(status_window)" alt+c
sleep 6
shot status-cold-searching.png
sleep 14
shot status-cold-fixed.png
