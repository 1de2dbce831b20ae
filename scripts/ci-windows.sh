#!/usr/bin/env bash
# The Windows build in CI: cross-builds the 64-bit tree and runs its tests under Wine (headless,
# Xvfb and Wine's virtual desktop, one warm wine server), then cross-builds the 32-bit program and
# checks its PE header and resources. Idempotent; every step is bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

echo "== windows: packages"
timeout 600 bash scripts/install-deps.sh --windows

echo "== windows: 64-bit build"
timeout 900 cmake --preset win64
timeout 1200 cmake --build --preset win64 -j "$jobs"

# The same Wine settings as the win64 presets carry.
export WINEPREFIX="$root/build/win64/wine-prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

xvfb_pid=""
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -f "${display_file:-}"
}
trap cleanup EXIT

echo "== windows: Xvfb and the Wine prefix"
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [[ -s "$display_file" ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
[[ -s "$display_file" ]] || { echo "Xvfb gave no display" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$display_file")"

ready="$WINEPREFIX/.zolt-ready"
if [[ ! -f "$ready" ]]; then
    rm -rf "$WINEPREFIX"
    timeout 300 wineboot --init
    # Wine's virtual desktop: without a window manager every window hide waits two seconds.
    timeout 60 wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
    timeout 60 wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f \
        >/dev/null
    timeout 60 wineserver -k || true
    timeout 60 wineserver -w || true
    touch "$ready"
fi
# One server for this prefix, started afresh, that stays up between the test programs.
wineserver -k >/dev/null 2>&1 || true
timeout 60 wineserver -w || true
wineserver -p 60
timeout 120 wine cmd /c exit 0  # warm: the first program pays for the server's start

echo "== windows: 64-bit tests under Wine"
# The key-stroke tests (app_win_key_tests, run alone: they type into the desktop) leave pictures
# of the window at start, during a run and after it in build/win64/.
ZOLT_SCREENSHOT_DIR=$(winepath -w "$root/build/win64") timeout 600 ctest --preset win64 -j "$jobs"
for shot in start running after; do
    [[ -s "build/win64/screenshot-windows-keyboard-$shot.png" ]] ||
        { echo "no key-stroke screenshot '$shot'" >&2; exit 1; }
done

# Runs the program on the simulated interface and the in-process reference server with a button
# pressed by itself, and checks what the window shows when the procedure has returned:
#   expect_window PRESS SCREENSHOT PATTERN...   (each PATTERN must match a whole line)
exe=build/win64/app/win/ZOLTUpdate.exe
expect_window() {
    local press=$1 shot=$2
    shift 2
    local out
    rm -f "$shot"
    out=$(timeout 300 wine "$exe" --simulate --press "$press" \
        --screenshot "$(winepath -w "$shot")" | tr -d '\r')
    echo "$out" | sed 's/^/    /'
    for pattern in "$@"; do
        grep -qx -- "$pattern" <<<"$out" || { echo "window check: no line '$pattern'" >&2; return 1; }
    done
    [[ -s "$shot" ]] || { echo "window check: no screenshot $shot" >&2; return 1; }
}

echo "== windows: the window under Wine, simulated interface and reference server"
rm -f build/win64/app/win/log.bin
expect_window device-info build/win64/screenshot-windows.png \
    "title: ZOLT Update V1\.0\.6" "status: " "info: ZOLT reference update server.*Chip ID: .*" \
    "actions: enabled"
expect_window update build/win64/screenshot-windows-update.png \
    "title: ZOLT Update V1\.0\.6" "status: Update success" "progress: 0" "actions: enabled"
# The log beside the executable, with its start line and CR LF line ends.
grep -q $'|    -   ]ZOLT Update 1.0.6 start\r$' build/win64/app/win/log.bin ||
    { echo "window check: no start line in log.bin" >&2; exit 1; }

echo "== windows: 32-bit build"
timeout 900 cmake --preset win32
timeout 1200 cmake --build --preset win32 -j "$jobs"

echo "== windows: PE headers and resources"
python3 scripts/check-pe.py --machine i386 build/win32/app/win/ZOLTUpdate.exe
python3 scripts/check-pe.py --machine amd64 build/win64/app/win/ZOLTUpdate.exe
echo "windows: all checks passed"
