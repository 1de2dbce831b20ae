#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, checks the installed files, runs the programs
# from the install as an unprivileged user (the simulated update must succeed and its log land in
# the user's state directory), runs the doctor, then removes the package and checks that its files
# are gone. Run as root on a machine where installing the package is fine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

[[ $(id -u) -eq 0 ]] || { echo "test-package: run as root (it installs the package)" >&2; exit 1; }

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
rm -f build/release/zolt-update_*.deb
(cd build/release && cpack -G DEB >/dev/null)
deb=$(ls "$root"/build/release/zolt-update_*.deb)
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\):/  \1:/p'

export DEBIAN_FRONTEND=noninteractive
apt-get remove -y --purge zolt-update >/dev/null 2>&1 || true
timeout 600 apt-get install -y --no-install-recommends "$deb" >/dev/null

installed=(
  /usr/bin/zolt-update /usr/bin/zolt-update-cli /usr/bin/zolt-update-server
  /usr/lib/udev/rules.d/60-zolt-update.rules
  /usr/share/applications/zolt-update.desktop
  /usr/share/icons/hicolor/48x48/apps/zolt-update.png
  /usr/share/icons/hicolor/256x256/apps/zolt-update.png
  /usr/share/man/man1/zolt-update.1.gz /usr/share/man/man1/zolt-update-cli.1.gz
  /usr/share/man/man1/zolt-update-server.1.gz
)
for f in "${installed[@]}"; do
  [[ -e "$f" ]] || { echo "test-package: missing after install: $f" >&2; exit 1; }
done
echo "installed files: ok (${#installed[@]} checked)"

home=$(mktemp -d)
chown 65534:65534 "$home"
as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin HOME="$home" "$@"; }
trap 'rm -rf "$home"' EXIT

as_user zolt-update-cli --help | grep -q "$home/.local/state/zolt-update/log.bin" ||
  { echo "test-package: --help does not name the state-directory log" >&2; exit 1; }
as_user timeout 120 zolt-update-cli --simulate --quiet update >/dev/null ||
  { echo "test-package: the simulated update did not succeed" >&2; exit 1; }
log="$home/.local/state/zolt-update/log.bin"
grep -q "ZOLT Update 1.0.6 start" "$log" ||
  { echo "test-package: no log in the state directory" >&2; exit 1; }
[[ ! -e /usr/bin/log.bin ]] || { echo "test-package: a log was written beside the program" >&2; exit 1; }
echo "simulated update from the install: ok, log at $log ($(wc -l <"$log") lines)"
as_user timeout 60 zolt-update-cli --simulate doctor >/dev/null ||
  { echo "test-package: doctor --simulate found a problem" >&2; exit 1; }
echo "doctor --simulate: ok"

apt-get remove -y --purge zolt-update >/dev/null
for f in "${installed[@]}"; do
  [[ ! -e "$f" ]] || { echo "test-package: left after removal: $f" >&2; exit 1; }
done
echo "removal: ok"
