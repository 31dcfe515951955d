#!/usr/bin/env bash
# Installs on Debian 12 what one use of the tree needs, and the packages named after it:
#
#   scripts/deps.sh run     building and running the panel and the emulator (run.sh)
#   scripts/deps.sh test    that, and what the tests and benchmarks add (test.sh)
#   scripts/deps.sh ci      that, and what CI adds: format, clang-tidy, packaging (.ci/run)
#
# Only what is missing is installed (apt-get, with sudo when not run as root). With
# OSTREL_DEPS_DONE=1 in the environment it does nothing: CI installs once, at its start.
set -euo pipefail
[ "${OSTREL_DEPS_DONE:-}" = 1 ] && exit 0
level="${1:?usage: deps.sh run|test|ci [PACKAGE...]}"
shift

# The build (Qt, libusb, and libxcb for the window caption seam) and Qt's display plugins.
run=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-qpa-plugins libxcb1-dev
     libusb-1.0-0-dev)
# GoogleTest and Google Benchmark; Python and socat for the integration cases; procps
# (ps, pgrep). Xvfb, xdotool, x11-utils (xprop), trayer and openbox give the desktop tests
# a display, a tray and a window manager; dbus and gdbus (libglib2.0-bin) a private
# session bus with a StatusNotifier host. man-db, groff-base and desktop-file-utils check
# the manual pages and desktop entries. umockdev lets the USB tests drive an emulated
# module through the real libusb. useradd (passwd) and setpriv (util-linux) give the
# fault runs their second, unprivileged user. gpsd is the real NMEA client of the interop
# tests (without recommends: no GUI clients). sway (headless, swaybar as its tray),
# qt6-wayland, grim and wtype are the Wayland desktop of the same tests; at-spi2-core and
# python3-pyatspi let them read the window as a screen reader does. gpsbabel reads the
# panel's GPX recordings back in the recordings tests.
test=(libgtest-dev libgmock-dev libbenchmark-dev python3 socat procps
      xvfb xdotool x11-utils trayer openbox dbus libglib2.0-bin
      sway qt6-wayland grim wtype at-spi2-core python3-pyatspi
      man-db groff-base desktop-file-utils umockdev libumockdev-dev passwd util-linux gpsd
      gpsbabel)
# The layout check and clang-tidy (both pinned to 14, Debian 12's), clang with its
# libFuzzer runtime for the fuzz phase, and the Debian packaging tools of the package phase.
ci=(clang-format-14 clang-tidy-14 clang libclang-rt-14-dev debhelper dpkg-dev lintian)

case "$level" in
  run) pkgs=("${run[@]}") ;;
  test) pkgs=("${run[@]}" "${test[@]}") ;;
  ci) pkgs=("${run[@]}" "${test[@]}" "${ci[@]}") ;;
  *) echo "deps.sh: '$level' is none of run, test, ci" >&2; exit 2 ;;
esac
missing=()
for p in "${pkgs[@]}" "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
