#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test Pellomatic.
# Idempotent: does nothing when everything is present; runs apt-get update only
# when something is missing.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config dpkg-dev file
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libwxgtk3.2-dev wx-common
  xvfb xauth fonts-wqy-zenhei
  python3 clang libclang-rt-14-dev valgrind
)

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
