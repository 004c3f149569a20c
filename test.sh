#!/usr/bin/env bash
# Installs what is missing, builds the normal and the sanitizer configuration,
# and runs every test in both. The GUI tests need a display: one is started
# with Xvfb when there is none.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

jobs=$(nproc)
status=0
for preset in default asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

run_tests() {
  for preset in default asan; do
    echo "=== tests: $preset ==="
    ctest --preset "$preset" -j "$jobs" || status=1
  done
}

if [[ -z "${DISPLAY:-}" ]]; then
  export -f run_tests
  export jobs
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c 'status=0; run_tests; exit $status' || status=1
else
  run_tests
fi
exit $status
