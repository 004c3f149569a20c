#!/usr/bin/env bash
# Installs what is missing, builds, and starts the desktop tool.
#   ./run.sh              the tool
#   ./run.sh --demo       the tool with a simulated device answering as COM0
#   ./run.sh --demo-line  a station programming a batch of ten simulated units
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

mode=${1:-}
if [[ "$mode" != "--demo" && "$mode" != "--demo-line" ]]; then
  exec ./build/bin/pellomatic "$@"
fi

# The demos run in a scratch folder of their own: their runtime folder (for
# the simulator's COM0), their record and their SN.txt, so that nothing of
# yours is used or touched.
demo=$(mktemp -d)
sim=""
trap '[[ -n "$sim" ]] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$demo"' EXIT
export XDG_RUNTIME_DIR="$demo/runtime" XDG_DATA_HOME="$demo/data" XDG_STATE_HOME="$demo/state"
mkdir -m 700 "$XDG_RUNTIME_DIR"
bin="$PWD/build/bin"

wait_for() { for _ in $(seq 50); do [[ -s "$1" ]] && return; sleep 0.1; done; }

if [[ "$mode" == "--demo-line" ]]; then
  "$bin/pellomatic-cli" batch create DEMO --first DEMO0001 --count 10 --code DEMOCODE_001
  "$bin/pellomatic-devsim" --link "$demo/port" --units 10 --gap 0.5 --hold 0.5 --wire-speed >"$demo/devsim.out" 2>/dev/null &
  sim=$!
  wait_for "$demo/devsim.out"
  echo "Ten simulated units arrive one after another; the station programs each (Ctrl+C stops it)."
  "$bin/pellomatic-cli" station --batch DEMO --port "$demo/port" --interval 0.25 || true
  "$bin/pellomatic-cli" batch show DEMO
  exit 0
fi

# The desktop demo: choose "RS232" and press "Search"; SN.txt is in the scratch folder.
printf '0812345678ABCDEFGHIJKL\n00000000_000\n' > "$demo/SN.txt"
"$bin/pellomatic-devsim" --com 0 --state "$demo/device-state" > "$demo/devsim.out" &
sim=$!
wait_for "$demo/devsim.out"
echo "Simulated device on $(cat "$demo/devsim.out") as COM0; SN.txt is in $demo"
(cd "$demo" && "$bin/pellomatic")
