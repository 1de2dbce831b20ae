#!/usr/bin/env bash
# Runs whole simulated updates under valgrind's memcheck, from the debug build: the two stages with
# 24 and 12 firmware blocks of 1,100 bytes through the channel, the simulated interface (virtual
# time) and the reference server (loopback); and the fault matrix's fault-free update, run on a
# worker thread with the program's 50,000,000-byte stack as a button press starts it. Exits
# non-zero on any memcheck error or leak (definite or possible) and on a failed test.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset debug >/dev/null
cmake --build --preset debug -j 2 --target procedure_tests fault_matrix_tests

memcheck=(valgrind --tool=memcheck --error-exitcode=1 --leak-check=full
          --errors-for-leak-kinds=definite,possible --track-origins=yes --quiet)
runs=(
  "build/debug/tests/procedures/procedure_tests --gtest_filter=UpdateProcedure.WholeTwoStageUpdateWritesEveryBlockToItsPart"
  "build/debug/tests/faults/fault_matrix_tests --gtest_filter=Rows/FaultMatrix.EndsAsItShould/NoFault"
)
for run in "${runs[@]}"; do
  echo "== memcheck: $run"
  # shellcheck disable=SC2086
  "${memcheck[@]}" $run
done
echo "== memcheck: clean"
