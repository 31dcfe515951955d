#!/usr/bin/env bash
# Takes docs/default-window.png (the window a first start shows: no settings file) and
# docs/screenshot.png (with [GPS] ProcessGPS=1 and [Debug] Panel=2: live data, the Data
# Stream tab and the maintenance panel), each with the module emulator, on a private Xvfb
# display with trayer as the system tray. The panel hides to the tray one
# second after start; a double-click on its tray icon brings it back, as a user would.
#
#   scripts/screenshot.sh [BUILD_DIR]     (default: build/release, built here)
#
# Needs Xvfb, trayer, xdotool and ImageMagick (import, convert). The emulator listens on
# the module's socket name (Ezusb-0), so no other panel test may run meanwhile.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
"$src/scripts/deps.sh" run xvfb trayer xdotool imagemagick
bin="${1:-}"
if [ -z "$bin" ]; then
  cmake -S "$src" --preset release >/dev/null
  cmake --build "$src/build/release" --target ostrel-panel kastrel-emulator
  bin="$src/build/release"
fi
bin="$(cd "$bin" && pwd)"  # the panel runs in a scratch directory
for tool in Xvfb trayer xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done

work="$(mktemp -d)"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: polls until the command succeeds.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    ((SECONDS < end)) || { echo "screenshot: timed out waiting for: $*" >&2; return 1; }
    sleep 0.2
  done
}

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 grep -q . "$work/display"
export DISPLAY=":$(head -n1 "$work/display")"

trayer --edge top --align right --widthtype request --height 32 --transparent false \
  --tint 0xdddddd --SetDockType true >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 10 eval "xdotool search --class trayer >/dev/null 2>&1"

"$bin/tools/emulator/kastrel-emulator" --eeprom "$work/eeprom.bin" 2>"$work/emulator.log" &
pids+=($!)
wait_for 10 grep -qs listening "$work/emulator.log"

cd "$work"
mkdir -m 700 "$work/run"
# shoot NAME SETTINGS: the panel with SETTINGS restored from the tray, into docs/NAME.
shoot() {
  rm -f ostrel_gps_monitor.ini
  [ -z "$2" ] || printf '%b' "$2" >ostrel_gps_monitor.ini
  # Its one-per-user mark stays in the scratch directory: a panel already running
  # elsewhere does not stop this one.
  XDG_RUNTIME_DIR="$work/run" "$bin/app/ostrel-panel" 2>"$work/panel.log" &
  local panel=$!
  pids+=($panel)
  wait_for 15 grep -qs "GPS Data port" "$work/panel.log"
  # Shown, then in the tray after a second.
  wait_for 10 shown
  wait_for 10 in_tray
  # The tray icon sits in trayer's window; a double-click there restores the panel.
  local tray
  tray="$(xdotool search --onlyvisible --class trayer | head -n1)"
  eval "$(xdotool getwindowgeometry --shell "$tray")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click --repeat 2 --delay 80 1
  wait_for 10 shown
  window="$(visible_window)"
  xdotool mousemove 5 1000
  if [[ "$2" == *ProcessGPS=1* ]]; then
    # Live data: the sky plot's green satellite markers (RGB 0,128,0) are on screen.
    wait_for 30 green
  fi
  sleep 1.5  # one more navigation cycle, so the table and the plot show the same second
  import -window "$window" "$work/shot.png"
  mkdir -p "$src/docs"
  cp "$work/shot.png" "$src/docs/$1"
  echo "screenshot: $src/docs/$1"
  kill "$panel"
  wait "$panel" 2>/dev/null || true
  wait_for 10 in_tray  # gone
}
visible_window() { xdotool search --onlyvisible --name '^Ostrel GPS Control Panel$' 2>/dev/null | head -n1; }
shown() { [ -n "$(visible_window)" ]; }
in_tray() { [ -z "$(visible_window)" ]; }
green() {
  import -window "$window" "$work/shot.png"
  local n
  n=$(convert "$work/shot.png" -fill black +opaque '#008000' -fill white -opaque '#008000' \
        -colorspace gray -format '%[fx:round(mean*w*h)]' info:)
  [ "$n" -gt 100 ]
}

# What a user gets at first start: no settings file, the compact window.
shoot default-window.png ""
# Everything shown: parsing on, the Data Stream tab and the maintenance panel.
shoot screenshot.png '[GPS]\nProcessGPS=1\n[Debug]\nPanel=2\n'
