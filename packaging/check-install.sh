#!/usr/bin/env bash
# Installs into a temporary prefix and builds the .deb, then checks that both
# hold what a Linux desktop tool should ship.
set -euo pipefail
build=${1:-build}
expected=(
  bin/pellomatic bin/pellomatic-cli bin/pellomatic-devsim
  share/applications/pellomatic.desktop
  share/icons/hicolor/16x16/apps/pellomatic.png
  share/icons/hicolor/32x32/apps/pellomatic.png
  share/metainfo/org.pellomatic.Pellomatic.metainfo.xml
  share/man/man1/pellomatic-cli.1 share/man/man1/pellomatic-devsim.1
  lib/udev/rules.d/70-pellomatic.rules
)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in "${expected[@]}"; do
  [[ -e "$prefix/$f" ]] || { echo "install: missing $f"; exit 1; }
done
(cd "$build" && cpack -G DEB >/dev/null 2>&1)
deb=$(ls "$build"/package/pellomatic_*.deb | head -n 1)
listing=$(dpkg-deb -c "$deb")
for f in "${expected[@]}"; do
  grep -q "\./usr/$f\$" <<<"$listing" || { echo "package: missing /usr/$f"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
grep -q "libwx_gtk3u_core\|libwxgtk3.2" <<<"$depends" || { echo "package: odd Depends: $depends"; exit 1; }
echo "install and package: ok ($(basename "$deb"); Depends: $depends)"
