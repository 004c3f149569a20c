#!/usr/bin/env python3
"""Time from process start to the dialog on screen, and peak resident memory,
for the tool's main dialog and for a bare wxDialog with the same controls.
Run under a display (xvfb-run -a python3 tests/bench/startup.py build/bin)."""
import statistics, subprocess, sys, time

def run(binary):
    t0 = time.time()
    out = subprocess.run([binary], capture_output=True, text=True, timeout=60).stdout
    fields = dict(kv.split("=") for kv in out.split())
    return (float(fields["shown_at"]) - t0) * 1000, int(fields["peak_rss_kb"]) / 1024

def main():
    bindir = sys.argv[1] if len(sys.argv) > 1 else "build/bin"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    results = {}
    for name in ("pello_startup_bare", "pello_startup_app"):
        run(f"{bindir}/{name}")  # warm the caches
        samples = [run(f"{bindir}/{name}") for _ in range(rounds)]
        results[name] = (statistics.median(s[0] for s in samples), max(s[1] for s in samples))
        print(f"{name}: start to shown {results[name][0]:.1f} ms (median of {rounds}), peak RSS {results[name][1]:.1f} MB")
    bare, app = results["pello_startup_bare"], results["pello_startup_app"]
    print(f"tool over bare: time {100 * (app[0] / bare[0] - 1):+.1f}%, memory {100 * (app[1] / bare[1] - 1):+.1f}%")

if __name__ == "__main__":
    main()
