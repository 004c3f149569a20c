#!/usr/bin/env bash
# Installs into a temporary prefix and checks that it holds what a Linux
# desktop tool should ship. Usage: packaging/check-install.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
expected=(
  bin/pellomatic bin/pellomatic-cli bin/pellomatic-devsim
  share/applications/pellomatic.desktop
  share/icons/hicolor/16x16/apps/pellomatic.png
  share/icons/hicolor/32x32/apps/pellomatic.png
  share/icons/hicolor/scalable/apps/pellomatic.svg
  share/metainfo/org.pellomatic.Pellomatic.metainfo.xml share/metainfo/org.pellomatic.PellomaticCli.metainfo.xml
  share/man/man1/pellomatic.1 share/man/man1/pellomatic-cli.1 share/man/man1/pellomatic-devsim.1
  lib/udev/rules.d/70-pellomatic.rules
)
prefix=$(mktemp -d "$build/install-check.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in "${expected[@]}"; do
  [[ -e "$prefix/$f" ]] || { echo "install: missing $f"; exit 1; }
done
version=$(sed -n 's/^project(pellomatic VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
grep -q "Pellomatic $version" "$prefix/share/man/man1/pellomatic-cli.1" || { echo "install: man page version"; exit 1; }
grep -q "release version=\"$version\"" "$prefix/share/metainfo/org.pellomatic.Pellomatic.metainfo.xml" ||
  { echo "install: metainfo version"; exit 1; }
desktop-file-validate "$prefix/share/applications/pellomatic.desktop"
for f in "$prefix"/share/metainfo/*.xml; do
  appstreamcli validate --pedantic --no-net "$f" >/dev/null || { appstreamcli validate --pedantic --no-net "$f"; exit 1; }
done
echo "install: ok"
