#!/usr/bin/env bash
# Installs what is missing, builds, and starts the desktop tool.
#   ./run.sh          the tool
#   ./run.sh --demo   the tool with a simulated device answering as COM0
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

if [[ "${1:-}" != "--demo" ]]; then
  exec ./build/bin/pellomatic "$@"
fi

# The demo: choose "RS232" and press "Search"; SN.txt comes from a scratch
# directory. The simulator's COM0 lives in a runtime folder of the demo's own,
# so a COM0 alias of yours is neither used nor touched.
demo=$(mktemp -d)
printf '0812345678ABCDEFGHIJKL\n00000000_000\n' > "$demo/SN.txt"
export XDG_RUNTIME_DIR="$demo/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
./build/bin/pellomatic-devsim --com 0 --state "$demo/device-state" > "$demo/devsim.out" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$demo"' EXIT
for _ in $(seq 50); do [[ -s "$demo/devsim.out" ]] && break; sleep 0.1; done
echo "Simulated device on $(cat "$demo/devsim.out") as COM0; SN.txt is in $demo"
(cd "$demo" && "$OLDPWD/build/bin/pellomatic")
