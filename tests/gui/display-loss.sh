#!/usr/bin/env bash
# The desktop tool when its display goes away or a signal asks it to close,
# each on an X server of the test's own:
#  - the display killed mid-sequence: the sequence still ends, its outcome on stderr;
#  - SIGTERM and SIGHUP to the running tool: it closes with 143 and 129.
# Usage: tests/gui/display-loss.sh BIN_DIR
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
work=$(mktemp -d)
xpid=""
trap '[[ -n "$xpid" ]] && kill "$xpid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"' EXIT
for name in $(compgen -e | grep -E '^(PELLOMATIC_|PG)' || true); do unset "$name"; done
export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"

# A fresh X server; DISPLAY is set to it.
start_x() {
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/displayfd" 2>/dev/null &
  xpid=$!
  for _ in $(seq 100); do [[ -s "$work/displayfd" ]] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$work/displayfd")"
  : >"$work/displayfd"
}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

start_x
rc=0
"$bin/pello_gui_display_loss" "$xpid" 2>"$work/err" || rc=$?
kill "$xpid" 2>/dev/null || true
wait "$xpid" 2>/dev/null || true
xpid=""
if [[ $rc -ne 1 ]]; then fail "display lost mid-sequence: exit $rc, expected 1"; fi
grep -q "the display went away; Setting successful!" "$work/err" || fail "no outcome on stderr: $(cat "$work/err")"
grep -q "frames: QSID ATE1 SID PABC QBOOT$" "$work/err" || fail "the sequence did not finish: $(cat "$work/err")"
[[ $failures -eq 0 ]] && echo "ok: display lost mid-sequence"

# The real tool, closed by a signal once its window is up.
for signal in TERM HUP; do
  start_x
  (cd "$work" && exec "$bin/pellomatic") &
  tool=$!
  for _ in $(seq 300); do xwininfo -root -tree 2>/dev/null | grep -q "Korvan Setting" && break; sleep 0.1; done
  kill -s "$signal" "$tool"
  rc=0
  wait "$tool" || rc=$?
  want=$((128 + $(kill -l "$signal")))
  if [[ $rc -ne $want ]]; then fail "SIG$signal: exit $rc, expected $want"; else echo "ok: SIG$signal closes the window"; fi
  kill "$xpid" 2>/dev/null || true
  wait "$xpid" 2>/dev/null || true
  xpid=""
done
echo "$((3 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
