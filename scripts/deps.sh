#!/usr/bin/env bash
# Installs what building, running and testing the panel needs on Debian 12, and the
# packages named as arguments (scripts/package.sh names the packaging tools).
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev qt6-base-dev qt6-qpa-plugins
      libgtest-dev libgmock-dev libbenchmark-dev python3 socat procps
      xvfb xdotool trayer imagemagick x11-utils openbox dbus libglib2.0-bin libxcb1-dev
      sway qt6-wayland grim wtype at-spi2-core python3-pyatspi
      man-db groff-base desktop-file-utils
      umockdev libumockdev-dev libusb-1.0-0-dev pkg-config passwd util-linux
      clang-format-14 clang-tidy-14)
# man-db and desktop-file-utils check the manual pages and the desktop entries.
# Xvfb, xdotool and trayer let the acceptance test use the window's own File > Exit and
# the screenshot script show a tray. openbox is the window manager of the desktop tests;
# dbus (a private session bus) and gdbus (libglib2.0-bin) play a StatusNotifier tray
# host there. sway (headless, with swaybar as its tray), qt6-wayland, grim and wtype
# are the Wayland desktop of the same tests; at-spi2-core and python3-pyatspi let them
# read the window as a screen reader does. The window caption seam writes X11
# properties through libxcb.
# gpsd is the real NMEA client of the interop tests;
# --no-install-recommends keeps its GUI clients out. umockdev and libusb let the USB
# tests drive an emulated module through the real libusb on machines without USB.
# useradd (passwd) and setpriv (util-linux) give the fault runs their second,
# unprivileged user. CI checks the layout with clang-format 14 and runs clang-tidy 14.
missing=()
for p in "${pkgs[@]}" gpsd "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
