#!/usr/bin/env bash
# Takes docs/record-track-menu.png and docs/record-track-tray-menu.png: the panel's File
# menu and its tray icon's menu open with "Record Track" ticked while it records the module
# emulator, on a private Xvfb display with trayer as the system tray.
#
#   scripts/screenshot-record-menu.sh [BUILD_DIR]     (default: build/release, built here)
#
# Needs Xvfb, trayer, xdotool and ImageMagick (import). The emulator listens on the module's
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
for tool in Xvfb trayer xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done

shot_name=screenshot-record-menu
# shellcheck source=scripts/xvfb_session.sh
. "$src/scripts/xvfb_session.sh"

trayer --edge top --align right --widthtype request --height 32 --transparent false \
  --tint 0xdddddd --SetDockType true >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 10 eval "xdotool search --class trayer >/dev/null 2>&1"

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

visible_window() { xdotool search --onlyvisible --name '^Ostrel GPS Control Panel$' 2>/dev/null | head -n1; }
shown() { [ -n "$(visible_window)" ]; }
in_tray() { [ -z "$(visible_window)" ]; }
# Shown, then in the tray after a second, recording meanwhile.
wait_for 10 shown
wait_for 10 in_tray
wait_for 20 eval 'ls tracks/*.gpx >/dev/null 2>&1'
mkdir -p "$src/docs"

# The tray icon's menu, opened with a right click on the icon in trayer's window.
tray="$(xdotool search --onlyvisible --class trayer | head -n1)"
eval "$(xdotool getwindowgeometry --shell "$tray")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
# The menu is the panel's widest window of its class but the main one (the icon in the
# tray is one too).
menu_geometry() {
  # shellcheck disable=SC2034 # WINDOW and SCREEN: set by the eval, kept local with the rest
  local id widest=0 X Y WIDTH HEIGHT WINDOW SCREEN
  for id in $(xdotool search --onlyvisible --classname '^ostrel-panel$' 2>/dev/null); do
    [ "$(xdotool getwindowname "$id")" = ostrel-panel ] || continue
    eval "$(xdotool getwindowgeometry --shell "$id")"
    ((WIDTH > widest)) || continue
    widest=$WIDTH
    menu="$X $((Y + HEIGHT))"
  done
  ((widest > 60))
}
wait_for 10 menu_geometry
read -r menu_left menu_bottom <<<"$menu"
sleep 0.5
# From the menu's left edge to the screen's right, the tray icon above it included.
left=$((menu_left - 10))
import -window root -crop $((1280 - left))x$((menu_bottom + 10))+$left+0 \
  "$src/docs/record-track-tray-menu.png"
echo "screenshot: $src/docs/record-track-tray-menu.png"
xdotool key Escape
sleep 0.5

# A double-click on the tray icon brings the window back.
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click --repeat 2 --delay 80 1
wait_for 10 shown
window="$(visible_window)"
xdotool windowmove "$window" 40 40
eval "$(xdotool getwindowgeometry --shell "$window")"
# The File menu, opened with the mouse as a user would.
xdotool mousemove $((X + 20)) $((Y + 10)) click 1
sleep 1
import -window root -crop 420x220+$((X - 10))+$((Y - 10)) "$src/docs/record-track-menu.png"
echo "screenshot: $src/docs/record-track-menu.png"
