#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, test, fuzz and package.
# Idempotent: packages already present are skipped by apt. As root it runs apt-get; otherwise it
# prints the command to run and exits non-zero.
#
#   --windows   also the mingw-w64 cross compilers and Wine for the Windows build and its tests
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config           # compiler and build
  clang-format                               # formatting
  libgtest-dev libgmock-dev                  # GoogleTest
  libbenchmark-dev                           # Google Benchmark
  qt6-base-dev qt6-base-dev-tools            # Qt 6 Widgets for the window
  libftdi1-dev libusb-1.0-0-dev              # libftdi1 and libusb for real hardware
  umockdev libumockdev-dev libglib2.0-dev    # the emulated FTDI chip of the libftdi1 tests
  libasound2-dev                             # ALSA for the tones
  clang libclang-rt-14-dev                   # libFuzzer and sanitizer runtimes
  valgrind                                   # memcheck runs
  dpkg-dev debhelper fakeroot file lintian   # building and checking the Debian packages
  umockdev udev                              # the udev rule tried on emulated USB devices
)

if [[ "${1:-}" == "--windows" ]]; then
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
             binutils-mingw-w64-i686 wine wine64 fonts-wine xvfb xauth)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi

cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: run as root:"
  echo "  sudo apt-get update && sudo $cmd"
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
$cmd
