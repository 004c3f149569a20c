#!/usr/bin/env bash
# Builds the Debian packages the Debian way (dpkg-buildpackage, debhelper) from
# a copy of the source under the build folder, and fails on any lintian error
# or warning. Usage: packaging/check-debian.sh BUILD_DIR
set -euo pipefail
build=$(mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)
work="$build/debian-check"
rm -rf "$work"
mkdir -p "$work/src"
# The tracked files only: no build folders, nothing a developer left around.
git ls-files -z | xargs -0 cp --parents -t "$work/src"
version=$(sed -n 's/^project(pellomatic VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -l debian/changelog -S Version)
[[ "$changelog" == "$version" ]] || { echo "debian/changelog says $changelog, the project $version"; exit 1; }
(cd "$work/src" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) || { tail -n 40 "$work/build.log"; exit 1; }
changes=$(ls "$work"/pellomatic_*.changes)
lintian -EvIL +pedantic --fail-on error,warning "$changes" | tee "$work/lintian.log"
for pkg in pellomatic pellomatic-cli; do
  deb=$(ls "$work/${pkg}_${version}_"*.deb)
  dpkg-deb -c "$deb" >"$work/$pkg.contents"
done
grep -q "usr/bin/pellomatic-cli$" "$work/pellomatic-cli.contents"
grep -q "lib/udev/rules.d/70-pellomatic.rules$" "$work/pellomatic-cli.contents" || { echo "pellomatic-cli: no udev rule"; exit 1; }
grep -q "usr/bin/pellomatic$" "$work/pellomatic.contents"
if dpkg-deb -f "$work/pellomatic-cli_${version}_"*.deb Depends | grep -q "gtk"; then
  echo "pellomatic-cli must not depend on GTK"; exit 1
fi
echo "debian packages: ok ($(cd "$work" && ls ./*.deb | tr '\n' ' '))"
