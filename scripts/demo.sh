#!/usr/bin/env bash
# Installs what the project needs, builds the release preset and runs the program's main job: a
# whole firmware update, then the device information, on the simulated interface and the
# reference update server (no hardware, no network).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release
cmake --build --preset release -j "$(nproc)" --target zolt-update-cli zolt-update zolt-update-server
cli=build/release/cli/zolt-update-cli
echo "== zolt-update-cli --simulate update"
"$cli" --simulate update
echo "== zolt-update-cli --simulate info"
"$cli" --simulate info
echo "== the log of both runs: $("$cli" --help | sed -n 's/^Log: every transfer and server step goes to //p')"
