#!/usr/bin/env bash
# Installs the Debian packages Pellomatic needs. Idempotent: does nothing when
# everything is present; runs apt-get update only when something is missing.
#   scripts/install-deps.sh build   what building and running need (./run.sh)
#   scripts/install-deps.sh test    that, and the test tools (./test.sh)
set -euo pipefail
set_name=${1:-build}

BUILD=(
  g++ cmake ninja-build pkg-config dpkg-dev file
  libwxgtk3.2-dev libgtk-3-dev libx11-dev wx-common fonts-wqy-zenhei
  libcli11-dev nlohmann-json3-dev libsqlite3-dev libpq-dev libudev-dev libcpp-httplib-dev
  libcanberra-dev
  debhelper
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  nsis zip
)
TEST=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-utils python3 clang libclang-rt-14-dev valgrind
  lintian appstream desktop-file-utils git postgresql faketime
  qemu-system-x86 busybox-static cpio udev kmod chromium
  wine wine64 xdotool unzip
)

case "$set_name" in
  build) PACKAGES=("${BUILD[@]}") ;;
  test) PACKAGES=("${BUILD[@]}" "${TEST[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 1 ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
