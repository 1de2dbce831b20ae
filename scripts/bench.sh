#!/usr/bin/env bash
# Builds the benchmarks (release preset) and runs every figure of docs/BENCHMARKS.md, bounded
# (about 15 minutes on 2 cores; --quick: fewer repeats). Everything printed is also kept in
# build/release/bench-results/.
#
#   scripts/bench.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."

repeat=5
seconds=10
if [[ "${1:-}" == "--quick" ]]; then
  repeat=2
  seconds=3
fi

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target zolt-bench-update-cost \
  zolt-bench-line-rate zolt-bench-exchange zolt-bench-micro
bin=build/release/bench
out=build/release/bench-results
rm -rf "$out"
mkdir -p "$out"

{
  echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit:  $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "cpu:     $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
  echo "memory:  $(free -h | awk '/^Mem:/ {print $2}')"
  echo "kernel:  $(uname -sr)"
  echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the start"
} | tee "$out/machine.txt"

echo; echo "== 1. the program's own cost per block"
"$bin/zolt-bench-update-cost" --repeat "$repeat" | tee "$out/1-update-cost.txt"
echo
"$bin/zolt-bench-update-cost" --repeat "$repeat" --log-beside-executable |
  tee "$out/1-update-cost-beside.txt"

echo; echo "== 2. the line-rate fraction"
"$bin/zolt-bench-line-rate" --seconds "$seconds" | tee "$out/2-line-rate.txt"

echo; echo "== 3. the exchange against a plain socket copy"
"$bin/zolt-bench-exchange" --repeat "$repeat" | tee "$out/3-exchange.txt"
"$bin/zolt-bench-exchange" --repeat "$repeat" --warm-memory | tee "$out/3-exchange-warm.txt"

echo; echo "== 4. where the time goes: instructions per function (callgrind), 1,000 blocks a stage"
if command -v valgrind >/dev/null; then
  valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.%p" \
    "$bin/zolt-bench-update-cost" --blocks 1000 --repeat 1 >/dev/null 2>"$out/callgrind.log"
  # The measuring process is the one that ran the update: the largest profile.
  profile=$(ls -S "$out"/callgrind.[0-9]* | head -1)
  callgrind_annotate "$profile" >"$out/4-callgrind-self.txt" 2>/dev/null || true
  callgrind_annotate --inclusive=yes "$profile" >"$out/4-callgrind-inclusive.txt" 2>/dev/null ||
    true
  # The top of the self costs: instructions spent in each function itself.
  sed -n '/PROGRAM TOTALS/,/^-- Auto/p' "$out/4-callgrind-self.txt" | sed -n '1,28p' |
    cut -c1-150
  echo "(all of it in $out/4-callgrind-self.txt and -inclusive.txt; profile $profile)"
else
  echo "valgrind is not installed: scripts/install-deps.sh"
fi

echo; echo "== micro-benchmarks of the block path"
"$bin/zolt-bench-micro" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  2>&1 | grep -v '^\*\*\*' | tee "$out/micro.txt"

echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the end" | tee -a "$out/machine.txt"
echo "results in $out"
