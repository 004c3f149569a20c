#!/usr/bin/env bash
# Installs what is missing, builds the normal and the sanitizer configuration,
# and runs every test in both; then fuzzes each parser for a bounded time,
# checks the install, and builds the Debian packages and runs lintian on them;
# then cross-builds the Windows programs and tests them under Wine.
# The dialog tests need a display: Xvfb provides one when there is none.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh test

# The tests never use a bench's own settings (an exported PELLOMATIC_DB is a
# real record); each test program clears them as well.
for name in $(compgen -e | grep -E '^(PELLOMATIC_|PG)' || true); do unset "$name"; done

jobs=$(nproc)
for preset in default asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

display=()
if [[ -z "${DISPLAY:-}" ]]; then
  display=(xvfb-run -a -s "-screen 0 1280x1024x24")
fi

status=0
for preset in default asan; do
  echo "=== tests: $preset ==="
  "${display[@]}" ctest --preset "$preset" -j "$jobs" || status=1
done
echo "=== fuzzing (bounded) ==="
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
tests/fuzz/run.sh build-fuzz 20 || status=1

echo "=== a real kernel in a virtual machine ==="
tests/vm/run.sh build || status=1

echo "=== install and Debian packages ==="
./packaging/check-install.sh build || status=1
./packaging/check-debian.sh build || status=1

echo "=== Windows: the cross build under Wine ==="
tests/win32/run.sh build || status=1
exit $status
