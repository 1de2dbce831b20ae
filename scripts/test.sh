#!/usr/bin/env bash
# Installs what the project needs, builds the debug preset and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset debug
cmake --build --preset debug -j "$(nproc)"
ctest --preset debug -j "$(nproc)"
