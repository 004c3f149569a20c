#!/usr/bin/env bash
# Runs every fuzz target for a bounded time over its seed corpus (the seeds
# are read, never written). Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run_one() {
  local target=$1
  mkdir -p "$work/$target"
  if "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 \
       -artifact_prefix="$work/$target-" "$work/$target" "$here/corpus/$target" >"$work/$target.log" 2>&1; then
    echo "fuzz_$target: $(grep -o 'Done [0-9]* runs' "$work/$target.log" | tail -n 1), no findings"
  else
    echo "fuzz_$target: FINDING"; tail -n 40 "$work/$target.log"
    mkdir -p "$build/fuzz-findings" && cp "$work/$target-"* "$build/fuzz-findings/" 2>/dev/null || true
    return 1
  fi
}
export -f run_one
export build seconds here work

targets=(Reply ProductId Descriptor HidReply SnFile DeviceModel Text)
printf '%s\n' "${targets[@]}" | xargs -P "$(nproc)" -I{} bash -c 'run_one {}'
