#!/usr/bin/env bash
# The before/after figures of docs/BENCHMARKS.md (figure 4): builds the benchmarks twice, from
# this tree and from this tree with the program's sources that the profile led to changing taken
# from an earlier commit (default 3181a5b, before the changes), then runs figure 1 and the
# micro-benchmarks for both, alternately, so that both see the same machine and load. The
# simulated interface, the reference server and the benchmarks themselves are this tree's in both.
#
#   scripts/bench-before-after.sh [COMMIT [FILE...]]
#
# With FILEs, those are the sources taken from COMMIT instead (e.g. the exchange's huge pages:
# scripts/bench-before-after.sh ae3374d server/record_list.h server/record_list.cpp
# server/exchange_records.h server/exchange_records.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."

before=${1:-3181a5b}
shift || true
changed=(log/log.h log/log.cpp device/communication_ft32.cpp server/exchange_records.cpp
         platform/system_info.h platform/system_info_posix.cpp platform/log_location_posix.cpp)
[[ $# -eq 0 ]] || changed=("$@")

src=build/before-src
rm -rf "$src"
mkdir -p "$src"
git ls-files -z | xargs -0 tar -cf - | tar -xf - -C "$src"  # this tree as it is on disk
for f in "${changed[@]}"; do
  git show "$before:$f" >"$src/$f"
done

flags=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOLT_BUILD_BENCH=ON -DZOLT_BUILD_TESTS=OFF
       -DZOLT_BUILD_GUI=OFF -DZOLT_WERROR=ON)
targets=(zolt-bench-update-cost zolt-bench-exchange zolt-bench-micro)
cmake -S "$src" -B build/before "${flags[@]}" >/dev/null
cmake --build build/before -j "$(nproc)" --target "${targets[@]}"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target "${targets[@]}"

echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
name() { [[ $1 == before ]] && echo "$before's program sources" || echo "this tree"; }
for round in 1 2; do
  for place in "" --log-beside-executable; do
    for side in before release; do
      echo "== figure 1 ${place:-(log in a directory named outright)}, $side ($(name "$side")), round $round"
      "build/$side/bench/zolt-bench-update-cost" --repeat 3 $place | sed -n '5,9p'
    done
  done
done
for side in before release; do
  echo "== figure 3, $side ($(name "$side"))"
  "build/$side/bench/zolt-bench-exchange" --repeat 3 | sed -n '/wall ms/,$p'
done
for side in before release; do
  echo "== micro-benchmarks, $side"
  "build/$side/bench/zolt-bench-micro" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true 2>&1 | grep -E '_median|^Benchmark|^---'
done
if command -v valgrind >/dev/null; then
  for side in before release; do
    dir=build/$side/callgrind
    rm -rf "$dir" && mkdir -p "$dir"
    valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind.%p" \
      "build/$side/bench/zolt-bench-update-cost" --blocks 1000 --repeat 1 >/dev/null 2>&1
    profile=$(ls -S "$dir"/callgrind.* | head -1)
    echo "== instructions, $side: $(callgrind_annotate "$profile" 2>/dev/null |
      awk '/PROGRAM TOTALS/ {print $1}') for the run of 1,000 blocks a stage ($profile)"
  done
fi
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
