#!/usr/bin/env bash
# Takes docs/record-track-menu.png: the panel's File menu open with "Record Track" ticked
# while it records the module emulator, on a private Xvfb display.
#
#   scripts/screenshot-record-menu.sh [BUILD_DIR]     (default: build/release, built here)
#
# Needs Xvfb, xdotool and ImageMagick (import). The emulator listens on the module's
# socket name (Ezusb-0), so no other panel test may run meanwhile.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
bin="${1:-}"
if [ -z "$bin" ]; then
  cmake -S "$src" --preset release >/dev/null
  cmake --build "$src/build/release" --target ostrel-panel kastrel-emulator
  bin="$src/build/release"
fi
bin="$(cd "$bin" && pwd)"
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done

shot_name=screenshot-record-menu
# shellcheck source=scripts/xvfb_session.sh
. "$src/scripts/xvfb_session.sh"

"$bin/tools/emulator/kastrel-emulator" --eeprom "$work/eeprom.bin" 2>"$work/emulator.log" &
pids+=($!)
wait_for 10 grep -qs listening "$work/emulator.log"

cd "$work"
printf '[GPS]\nProcessGPS=1\nDemo=1\n[Debug]\nPanel=1\n[Record]\nTrack=1\nFormats=gpx,csv,nmea\n' \
  >ostrel_gps_monitor.ini
mkdir -m 700 "$work/run"
XDG_RUNTIME_DIR="$work/run" "$bin/app/ostrel-panel" 2>"$work/panel.log" &
pids+=($!)
wait_for 15 grep -qs "GPS Data port" "$work/panel.log"

# Without a tray the panel minimises itself after a second; it is mapped again here.
visible_window() { xdotool search --onlyvisible --name '^Ostrel GPS Control Panel$' 2>/dev/null | head -n1; }
any_window() { xdotool search --name '^Ostrel GPS Control Panel$' 2>/dev/null | head -n1; }
wait_for 10 eval '[ -n "$(any_window)" ]'
sleep 1.5
window="$(any_window)"
xdotool windowmap "$window" windowactivate --sync "$window" 2>/dev/null || xdotool windowmap "$window"
wait_for 10 eval '[ -n "$(visible_window)" ]'
wait_for 20 eval 'ls tracks/*.gpx >/dev/null 2>&1'
xdotool windowmove "$window" 40 40
eval "$(xdotool getwindowgeometry --shell "$window")"
# The File menu, opened with the mouse as a user would.
xdotool mousemove $((X + 20)) $((Y + 10)) click 1
sleep 1
mkdir -p "$src/docs"
import -window root -crop 420x220+$((X - 10))+$((Y - 10)) "$src/docs/record-track-menu.png"
echo "screenshot: $src/docs/record-track-menu.png"
