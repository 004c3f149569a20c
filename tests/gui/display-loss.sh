#!/usr/bin/env bash
# The desktop tool when its display goes away or a signal asks it to close,
# each on an X server of the test's own:
#  - the display killed mid-sequence: the sequence still ends, its outcome on stderr;
#  - SIGTERM and SIGHUP to the running tool: it closes with 143 and 129;
#  - the station window, closed by SIGTERM or by losing its display while a
#    unit is being written: the unit is finished and recorded first.
# Usage: tests/gui/display-loss.sh BIN_DIR
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
work=$(mktemp -d)
xpid=""
trap '[[ -n "$xpid" ]] && kill "$xpid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"' EXIT
for name in $(compgen -e | grep -E '^(PELLOMATIC_|PG)' || true); do unset "$name"; done
export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
export CANBERRA_DRIVER=null # the station's sounds, silent

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
grep -q "frames: QSID ATE1 SID PABC QBOOT QSID$" "$work/err" || fail "the sequence did not finish: $(cat "$work/err")"
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
# The station window with a slow unit on the wire: a signal or a lost display
# ends it only after the unit is written and recorded.
"$bin/pellomatic-cli" --db "$work/record.db" batch create GS --first GS0001 --count 5 --code GSCODE000001 >/dev/null
checks=3
for ending in TERM display; do
  checks=$((checks + 1))
  start_x
  rm -f "$work/unit"
  "$bin/pellomatic-devsim" --link "$work/port" --units 1 --hold 1000 --reply-delay 300 --state "$work/unit" \
    >/dev/null 2>&1 &
  sim=$!
  for _ in $(seq 100); do [[ -e "$work/port" ]] && break; sleep 0.1; done
  (cd "$work" && exec "$bin/pellomatic" --station --batch GS --port "$work/port" --db "$work/record.db") \
    2>"$work/station-err" &
  tool=$!
  # Once the serial number is in the unit, the code and the restart are still to come.
  for _ in $(seq 600); do head -c 2 "$work/unit" 2>/dev/null | grep -q 06 && break; sleep 0.05; done
  if [[ $ending == TERM ]]; then kill -s TERM "$tool"; want=143; else kill "$xpid"; want=1; fi
  rc=0
  wait "$tool" || rc=$?
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  kill "$xpid" 2>/dev/null || true
  wait "$xpid" 2>/dev/null || true
  xpid=""
  rows=$("$bin/pellomatic-cli" --db "$work/record.db" log --format csv | grep -c ",programmed," || true)
  if [[ $rc -ne $want ]]; then
    fail "station, $ending: exit $rc, expected $want: $(cat "$work/station-err")"
  elif [[ $(sed -n 2p "$work/unit") != GSCODE000001 ]]; then
    fail "station, $ending: the unit was left half-written: $(cat "$work/unit")"
  elif [[ $rows -ne $((checks - 3)) ]]; then
    fail "station, $ending: $rows programmed rows in the record"
  else
    echo "ok: station window ended by $ending after the unit on hand"
  fi
  rm -f "$work/port"
done
echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
