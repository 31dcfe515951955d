#!/usr/bin/env bash
# Builds the Debian packages ostrel-panel and kastrel-emulator with
# `dpkg-buildpackage -us -uc -b` from a copy of this tree, and checks them with lintian
# (any error fails). The packages, with their .changes and .buildinfo, land in
# build/package/. Installs the build dependencies with apt-get (through deps.sh).
#
#   scripts/package.sh            then: sudo apt-get install ./build/package/*.deb
#
# CMAKE_CXX_COMPILER_LAUNCHER=ccache in the environment reaches the package build.
# OSTREL_PREBUILT=DIR packages the installation of a tree built already instead (CI's
# release tree, configured for /usr with Debian's build flags: see .ci/run), so CI builds
# the programs once.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
cd "$src"
./scripts/deps.sh run debhelper dpkg-dev lintian
if [ -n "${OSTREL_PREBUILT:-}" ]; then
  OSTREL_PREBUILT="$(cd "$OSTREL_PREBUILT" && pwd)"
  prefix="$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$OSTREL_PREBUILT/CMakeCache.txt")"
  if [ "$prefix" != /usr ]; then
    echo "package: $OSTREL_PREBUILT installs to '${prefix}', not /usr" >&2
    exit 1
  fi
  export OSTREL_PREBUILT
fi

# The project version in CMakeLists.txt is the one place the version is set; the
# changelog must follow it.
version="$(sed -n 's/^project(ostrel_gps_panel VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)"
package_version="$(dpkg-parsechangelog -l debian/changelog -S Version)"
if [ -z "$version" ] || [ "$version" != "$package_version" ]; then
  echo "package: debian/changelog says $package_version, CMakeLists.txt says ${version:-nothing}" >&2
  exit 1
fi

out="$src/build/package"
tree="$out/ostrel-panel-$version"
rm -rf "$out"
mkdir -p "$tree"
# The tree as it stands, uncommitted changes included, without builds or git data.
tar -C "$src" --exclude=./build --exclude=./.git --exclude=./.cache -cf - . | tar -C "$tree" -xf -
(cd "$tree" && dpkg-buildpackage -us -uc -b -Jauto)
rm -rf "$tree"

changes=("$out"/ostrel-panel_"$version"_*.changes)
lintian --fail-on error --info "${changes[@]}"
echo "package: built" "$out"/*.deb
