#!/usr/bin/env bash
# Builds the fuzzers (the `fuzz` preset: clang, libFuzzer, ASan + UBSan) and runs each for a
# bounded time, starting from its seed corpus in fuzz/corpus/<name>/. Prints, for each fuzzer, the
# executions run and the coverage reached (libFuzzer's cov: and ft: figures). Exits non-zero as
# soon as a fuzzer finds a fault; the input that shows it is kept in build/fuzz/findings/.
#
#   scripts/fuzz.sh [SECONDS] [FUZZER...]     SECONDS per fuzzer, 60 by default; all fuzzers
#                                              unless some are named (e.g. frame_assembly)
#
# New inputs found along the way go to build/fuzz/corpus/<name>/ (not the committed seeds), so a
# later run goes on from where this one stopped.
#
# CI runs 45 s each. A long run, one fuzzer at a time on one core, for example an hour a fuzzer
# (nice keeps the machine usable; the summary line is what README.md quotes):
#
#   nice -n 19 scripts/fuzz.sh 3600 update_procedure
#
# A finding: the input is build/fuzz/findings/<name>-crash-<hash> (or -leak-, -timeout-), the
# broken property or sanitizer report in build/fuzz/<name>.log. Replay it with
#   build/fuzz/fuzz/<name>_fuzzer build/fuzz/findings/<name>-crash-<hash>
# fix the fault, add a test that shows it, and keep the input as a seed so every later run checks
# it: copy it to fuzz/corpus/<name>/ under a name that says what it shows (or add it to
# fuzz/make_seeds.py when the fuzzer's input layout has a helper for it) and commit it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
all=(frame_assembly reply_parsing exchange_collection request_parsing log_reading update_procedure)
names=("$@")
[[ ${#names[@]} -gt 0 ]] || names=("${all[@]}")

# The longest input each fuzzer makes: frame streams go past the 5,000-byte receive area.
declare -A max_len=([frame_assembly]=12000 [reply_parsing]=8192 [exchange_collection]=8192
                    [request_parsing]=8192 [log_reading]=40000
                    [update_procedure]=4096)

cmake --preset fuzz >/dev/null
targets=()
for n in "${names[@]}"; do targets+=("${n}_fuzzer"); done
cmake --build --preset fuzz -j 2 --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

mkdir -p build/fuzz/findings
summary=()
for n in "${names[@]}"; do
  work="build/fuzz/corpus/$n"
  mkdir -p "$work"
  log="build/fuzz/$n.log"
  echo "== $n: ${seconds} s"
  status=0
  build/fuzz/fuzz/"${n}_fuzzer" "$work" "fuzz/corpus/$n" \
    -max_total_time="$seconds" -max_len="${max_len[$n]:-8192}" -timeout=30 \
    -print_final_stats=1 -artifact_prefix="build/fuzz/findings/${n}-" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" || true
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
  # The edges instrumented in the whole program (the project's libraries and the fuzzer).
  edges=$(grep -oE 'Loaded 1 modules +\([0-9]+ inline' "$log" | grep -oE '[0-9]+ inline' | cut -d' ' -f1 || true)
  if [[ $status -ne 0 ]]; then
    tail -n 60 "$log"
    echo "== $n FOUND A FAULT (exit $status); input kept in build/fuzz/findings/, log in $log"
    exit 1
  fi
  summary+=("$(printf '%-20s %9s executions  %s  (of %s edges in the program)' "$n" "${runs:-?}" \
                "$final" "${edges:-?}")")
done

echo "== fuzzing summary (${seconds} s each)"
printf '%s\n' "${summary[@]}"
