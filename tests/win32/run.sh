#!/usr/bin/env bash
# The Windows stage of ./test.sh: cross-builds the windows and windows-i686
# presets, then runs the Windows programs under Wine against the simulator of
# the Linux build (tests/win32/wine_test.py). Prints "Windows: N passed, M failed".
#   tests/win32/run.sh [LINUX_BUILD] [wine_test.py options]
#   tests/win32/run.sh build --only campaign --seeds 300 --first-seed 1000   # the soak
set -euo pipefail
cd "$(dirname "$0")/../.."
linux_build=${1:-build}
shift || true

# Never skipped: a machine without Wine fails this stage, loudly.
for tool in wine wineserver wineboot makensis zip unzip xdotool Xvfb python3 \
            x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix; do
  if ! command -v "$tool" >/dev/null; then
    echo "Windows stage: $tool is missing; run scripts/install-deps.sh test" >&2
    echo "Windows: 0 passed, 1 failed"
    exit 1
  fi
done
if [[ ! -x "$linux_build/bin/pellomatic-devsim" ]]; then
  echo "Windows stage: $linux_build/bin/pellomatic-devsim is missing; build the default preset first" >&2
  exit 1
fi

for preset in windows windows-i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
# The 32-bit dialog is built and is a 32-bit Windows program; only the 64-bit
# programs run under Wine here (Debian's wine64 alone).
if ! file build-windows-i686/bin/pellomatic.exe | grep -q 'PE32 executable (GUI) Intel 80386'; then
  echo "Windows stage: build-windows-i686/bin/pellomatic.exe is not a 32-bit Windows program" >&2
  exit 1
fi
exec python3 tests/win32/wine_test.py --linux-bin "$linux_build/bin" --windows-bin build-windows/bin \
  --work build-windows/wine "$@"
