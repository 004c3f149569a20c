#!/usr/bin/env bash
# The desktop tool when its display goes away or a signal asks it to close,
# each on an X server of the test's own:
#  - the display killed mid-sequence: the sequence still ends, its outcome on stderr;
#  - SIGTERM and SIGHUP to the running tool: it closes with 143 and 129;
#  - a signal while a box waits for a click ("Setting successful!", "Cannot
#    Open File") ends it with no click, the box's words on stderr; one during
#    a sequence lets the sequence finish, then ends it the same way;
#  - the station window, closed by SIGTERM, SIGQUIT, SIGUSR1 or by losing its
#    display while a unit is being written: the unit is finished and recorded first;
#  - the station window whose record server takes the connection and never
#    answers: a signal ends the wait, and one ends the "cannot start" box.
# Usage: tests/gui/display-loss.sh BIN_DIR
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
work=$(mktemp -d)
xpid=""
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
for name in $(compgen -e | grep -E '^(PELLOMATIC_|PG)' || true); do unset "$name"; done
export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
export CANBERRA_DRIVER=null # the station's sounds, silent

# A fresh X server, answering; DISPLAY is set to it. -noreset: a server that
# resets when its last client leaves (xwininfo looking for a window) refuses
# a program that connects meanwhile.
start_x() {
  Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$work/displayfd" 2>>"$work/xvfb.log" &
  xpid=$!
  for _ in $(seq 100); do [[ -s "$work/displayfd" ]] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$work/displayfd")"
  : >"$work/displayfd"
  for _ in $(seq 100); do xwininfo -root >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "the X server on $DISPLAY does not answer: $(tail -n 3 "$work/xvfb.log")"
}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

stop_x() {
  kill "$xpid" 2>/dev/null || true
  wait "$xpid" 2>/dev/null || true
  xpid=""
}
# Waits (at most 30 s) for a window whose title holds $1.
wait_window() {
  for _ in $(seq 300); do xwininfo -root -tree 2>/dev/null | grep -q "$1" && return 0; sleep 0.1; done
  return 1
}
# Sets rc to the exit code of process $1 once it has ended; one that outlives
# 30 s, held by something that waits for a person, is killed: rc=held.
end_of() {
  for _ in $(seq 300); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$1" 2>/dev/null; then
    kill -KILL "$1"
    wait "$1" 2>/dev/null || true
    rc=held
    return
  fi
  rc=0
  wait "$1" || rc=$?
}

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

# The real dialog, driven from the keyboard against a simulated unit behind
# the per-user alias COM0: a signal while its box waits for a click, and one
# during a sequence.
mkdir -p -m 700 "$XDG_RUNTIME_DIR/pellomatic"
checks=3
for case in TERM:box INT:sequence HUP:nofile; do
  signal=${case%%:*} moment=${case#*:} checks=$((checks + 1))
  start_x
  rm -f "$work/unit" "$work/dlg/SN.txt"
  mkdir -p "$work/dlg"
  [[ $moment != nofile ]] && printf '0812345678ABCDEFGHIJKL\nABCDEFGH_123\n' >"$work/dlg/SN.txt"
  delay=0
  [[ $moment == sequence ]] && delay=400
  "$bin/pellomatic-devsim" --link "$work/port" --state "$work/unit" --reply-delay "$delay" --verbose \
    >/dev/null 2>"$work/sim-log" &
  sim=$!
  for _ in $(seq 100); do [[ -e "$work/port" ]] && break; sleep 0.1; done
  ln -sfn "$work/port" "$XDG_RUNTIME_DIR/pellomatic/COM0"
  (cd "$work/dlg" && exec "$bin/pellomatic") 2>"$work/dlg-err" &
  tool=$!
  wait_window "Korvan Setting" && sleep 1 # the dialog takes keys once it has drawn
  if [[ $moment == nofile ]]; then
    "$bin/pello_xkeys" "Korvan Setting" Tab Tab space # Apply: "Cannot Open File"
    wait_window '"File"' || fail "dialog: no \"Cannot Open File\" box"
  else
    "$bin/pello_xkeys" "Korvan Setting" Right Tab space # RS232, Search
    for _ in $(seq 300); do grep -q '^->' "$work/sim-log" && break; sleep 0.1; done
    sleep 1 # the search's reply has come: let the dialog take it
    "$bin/pello_xkeys" "Korvan Setting" Tab space # Apply
    if [[ $moment == box ]]; then
      wait_window '"setting"' || fail "dialog: no result box"
    else
      for _ in $(seq 300); do head -c 2 "$work/unit" 2>/dev/null | grep -q 08 && break; sleep 0.05; done
    fi
  fi
  kill -s "$signal" "$tool"
  end_of "$tool"
  want=$((128 + $(kill -l "$signal")))
  words="Setting successful!"
  [[ $moment == nofile ]] && words="Cannot Open File"
  if [[ $rc != "$want" ]]; then
    fail "dialog, SIG$signal with the $moment: exit $rc, expected $want: $(cat "$work/dlg-err")"
  elif ! grep -qx "pellomatic: $words" "$work/dlg-err"; then
    fail "dialog, SIG$signal with the $moment: \"$words\" not on stderr: $(cat "$work/dlg-err")"
  elif [[ $moment != nofile && $(sed -n 2p "$work/unit") != ABCDEFGH_123 ]]; then
    fail "dialog, SIG$signal with the $moment: the unit was not programmed: $(cat "$work/unit" 2>/dev/null)"
  else
    echo "ok: SIG$signal with the $moment ends the dialog without a click"
  fi
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  stop_x
  rm -f "$work/port"
done

# The station window with a slow unit on the wire: a signal or a lost display
# ends it only after the unit is written and recorded.
"$bin/pellomatic-cli" --db "$work/record.db" batch create GS --first GS0001 --count 5 --code GSCODE000001 >/dev/null
recorded=0
for ending in TERM QUIT USR1 display; do
  checks=$((checks + 1)) recorded=$((recorded + 1))
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
  if [[ $ending == display ]]; then kill "$xpid"; want=1; else kill -s "$ending" "$tool"; want=$((128 + $(kill -l "$ending"))); fi
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
  elif [[ $rows -ne $recorded ]]; then
    fail "station, $ending: $rows programmed rows in the record"
  else
    echo "ok: station window ended by $ending after the unit on hand"
  fi
  rm -f "$work/port"
done

# A record server that takes the connection and never answers: a signal ends
# the wait; with a time limit of 2 s, the "cannot start" box comes, and a
# signal ends that cleanly.
python3 -c '
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
print(s.getsockname()[1], flush=True)
callers = []
while True:
    callers.append(s.accept()[0])
    with open(sys.argv[1], "a") as calls:
        calls.write("called\n")' "$work/calls" >"$work/silent-port" &
silent=$!
for _ in $(seq 100); do [[ -s "$work/silent-port" ]] && break; sleep 0.1; done
address="postgresql://line@127.0.0.1:$(cat "$work/silent-port")/record"
for limit in none 2; do
  checks=$((checks + 1))
  start_x
  db=$address
  [[ $limit != none ]] && db="$address?connect_timeout=$limit"
  (cd "$work" && exec "$bin/pellomatic" --station --batch GS --port "$work/port" --db "$db") 2>"$work/station-err" &
  tool=$!
  if [[ $limit == none ]]; then
    for _ in $(seq 300); do [[ -s "$work/calls" ]] && break; sleep 0.1; done
    expect="stopped waiting for the server"
  else
    wait_window "Pellomatic station" || fail "silent record, limit $limit: no \"cannot start\" box"
    expect="did not answer within $limit s"
  fi
  kill -s TERM "$tool"
  end_of "$tool"
  if [[ $rc != 143 ]]; then
    fail "silent record, limit $limit: exit $rc, expected 143: $(cat "$work/station-err")"
  elif ! grep -q "the station cannot start: .*$expect" "$work/station-err"; then
    fail "silent record, limit $limit: not \"$expect\": $(cat "$work/station-err")"
  else
    echo "ok: silent record server, limit $limit: SIGTERM ends the station window"
  fi
  stop_x
done
kill "$silent" 2>/dev/null || true

echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
