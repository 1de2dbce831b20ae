#!/usr/bin/env bash
# Takes the window's picture for the documentation: "Device Info" pressed against the simulated
# interface and server, under Qt's offscreen platform (no display needed), saved as
# docs/screenshot-linux.png once the run has finished.
#
#   ZOLT_UPDATE=path/to/zolt-update   use this executable instead of building the release preset
set -euo pipefail
cd "$(dirname "$0")/.."

exe="${ZOLT_UPDATE:-}"
if [[ -z "$exe" ]]; then
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" --target zolt-update
  exe="$(find build/release -type f -name zolt-update -perm -u+x | head -n 1)"
  [[ -n "$exe" ]] || { echo "screenshot: zolt-update was not built" >&2; exit 1; }
fi

mkdir -p docs
rm -f docs/screenshot-linux.png
QT_QPA_PLATFORM=offscreen "$exe" --simulate --press device-info --screenshot docs/screenshot-linux.png
[[ -s docs/screenshot-linux.png ]] || { echo "screenshot: no picture was written" >&2; exit 1; }
echo "screenshot: docs/screenshot-linux.png"
