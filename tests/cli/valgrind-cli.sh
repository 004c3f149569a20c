#!/usr/bin/env bash
# Runs the command line's commands once each under valgrind's memcheck against
# the simulator: no memory errors, no leaks. Usage: tests/valgrind-cli.sh BIN_DIR
set -euo pipefail
bin=$(cd "${1:-build/bin}" && pwd)
work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
# Never the user's own set-up: the record and the runtime folder are the test's,
# and a bench's PELLOMATIC_DB or libpq's PG* settings are not looked at.
for name in $(compgen -e | grep -E '^(PELLOMATIC_|PG)' || true); do unset "$name"; done
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
printf '0812345678ABCDEFGHIJKL\r\nABCDEFGH_123\r\n' > SN.txt
"$bin/pellomatic-devsim" --link "$work/port" > devsim.out &
sim=$!
for _ in $(seq 50); do [[ -s devsim.out ]] && break; sleep 0.1; done

failures=0
check() { # expected-exit-code command...
  local want=$1; shift
  local got=0
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    "$bin/pellomatic-cli" "$@" >out.txt 2>err.txt || got=$?
  if [[ $got -ne $want ]]; then
    echo "FAIL: pellomatic-cli $* exited $got, expected $want"; cat err.txt; failures=$((failures + 1))
  else
    echo "ok: pellomatic-cli $*"
  fi
}
check 0 frame sid 1400000000000000000071
check 0 --trace search --port "$work/port"
check 0 apply --port "$work/port" --verify
check 0 apply --dry-run
check 2 apply --port "$work/port" --file missing.txt
check 3 search --link usb
check 0 ports --port "$work/port"
check 1 bogus
check 0 batch create LOT --first SN01 --count 2 --code ABCDEFGH_123
check 0 apply --batch LOT --port "$work/port"
check 0 log --format json
echo "$((11 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
