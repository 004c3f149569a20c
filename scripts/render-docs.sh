#!/usr/bin/env bash
# Regenerates the README's pictures (docs/dialog.png, docs/about.png, the
# station window docs/station.png, and the supervisor's page, docs/page.png)
# from the real windows and a real browser.
# The tests never write into the source tree; this does, on purpose.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target pello_gui_tests
display=()
if [[ -z "${DISPLAY:-}" ]]; then
  display=(xvfb-run -a -s "-screen 0 1280x1024x24")
fi
"${display[@]}" build/bin/pello_gui_tests --docs-dir="$PWD/docs" --gtest_filter='Dialog.RendersForTheReadme:StationWindowTest.PassFailAndRemoveAsTheOperatorSeesThem'
cmake --build --preset default -j "$(nproc)" --target pellomatic-cli pellomatic-devsim
python3 tests/web/browser_test.py build/bin build/test-tmp/web --screenshot "$PWD/docs/page.png"
echo "docs/dialog.png, docs/about.png, docs/station.png and docs/page.png rewritten"
