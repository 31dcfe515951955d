#!/usr/bin/env bash
# CI: the Debian packages as a user gets them. Builds them (scripts/package.sh, which
# fails on any lintian error), installs them with apt-get, runs the installed panel from
# its desktop entry against the installed emulator and checks the installed manual
# pages, then purges the packages and checks that nothing they installed is left.
# Needs root or sudo; it changes the machine's package set while it runs.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
cd "$src"
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
packages=(ostrel-panel kastrel-emulator)
started=$SECONDS

./scripts/package.sh
built=$((SECONDS - started))
version="$(dpkg-parsechangelog -l debian/changelog -S Version)"
debs=()
for p in "${packages[@]}"; do debs+=("./build/package/${p}_${version}_$(dpkg --print-architecture).deb"); done

work="$(mktemp -d)"
installed=0
purge() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y "${packages[@]}" >"$work/purge.log" 2>&1
}
cleanup() {
  if ((installed)); then purge || cat "$work/purge.log" >&2; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A copy left by an earlier run (or installed by hand) would hide what this one installs
# and leaves: it goes first.
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    echo "package-test: purging the $p installed before this run" >&2
    purge || { cat "$work/purge.log" >&2; exit 1; }
  fi
done
installed=1
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${debs[@]}"
dpkg -L "${packages[@]}" | sort -u >"$work/files"

# The installed programs, each case in a network namespace of its own (the script
# moves there itself), in a scratch home folder.
OSTREL_PREFIX=/usr OSTREL_INSTALL_ROOT="" python3 tests/install/desktop_start.py
# The pages where man finds them by name.
OSTREL_MANUALS="$(man -w ostrel-panel) $(man -w kastrel-emulator)" \
  OSTREL_PANEL=/usr/bin/ostrel-panel KASTREL_EMULATOR=/usr/bin/kastrel-emulator \
  OSTREL_SOURCE_DIR="$src" OSTREL_VERSION="$version" \
  python3 tests/install/shipped_files.py

installed=0
purge || { cat "$work/purge.log" >&2; exit 1; }
# Every file is gone; a directory may stay only while another package still has
# something in it.
left=()
while IFS= read -r path; do
  [ "$path" = "/." ] && continue
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    [ -z "$(ls -A "$path")" ] && left+=("$path (empty directory)")
  elif [ -e "$path" ] || [ -L "$path" ]; then
    left+=("$path")
  fi
done <"$work/files"
if ((${#left[@]})); then
  printf 'package-test: left after purge: %s\n' "${left[@]}" >&2
  exit 1
fi
echo "package-test: built in ${built} s, whole check $((SECONDS - started)) s; $(wc -l <"$work/files") paths installed, none left"
