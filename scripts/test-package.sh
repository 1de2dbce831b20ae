#!/usr/bin/env bash
# Builds the three Debian packages with dpkg-buildpackage from a copy of the source tree in a
# temporary folder, checks them with lintian, installs them with apt, lists each package's files
# and Installed-Size, checks the udev rule against emulated USB devices, runs the programs from the
# install as a normal user and as root (their logs must land in the users' state directories and
# no file may appear in a folder the packages own), purges the packages and checks that nothing of
# theirs is left but the users' own logs. Run as root on a machine where installing the packages
# is fine; it removes what it made (the temporary folder, the test user) on every exit.
#
#   --keep DIR   copy the built packages (.deb, .changes, .buildinfo) to DIR
#   --from DIR   test the packages kept in DIR by an earlier --keep instead of building them
set -euo pipefail
cd "$(dirname "$0")/.."

keep=""
from=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --keep) keep=$(realpath -m "${2:?--keep takes a folder}"); shift 2 ;;
    --from) from=$(realpath "${2:?--from takes a folder}"); shift 2 ;;
    *) echo "test-package: unknown argument '$1'" >&2; exit 64 ;;
  esac
done
[[ $(id -u) -eq 0 ]] || { echo "test-package: run as root (it installs the packages)" >&2; exit 1; }

packages=(zolt-update zolt-update-cli zolt-update-server)
user=zolt-package-test
work=$(mktemp -d /tmp/zolt-package.XXXXXX)
chmod 755 "$work"
server_pid=""
installed=""
cleanup() {
  if [[ -n $installed ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y "${packages[@]}" >/dev/null 2>&1 || true
  fi
  [[ -z $server_pid ]] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; } || true
  if id "$user" >/dev/null 2>&1; then
    userdel --remove "$user" 2>/dev/null || echo "test-package: could not remove the user $user" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "test-package: $*" >&2; exit 1; }

# --- build: from a copy of the tree (tracked and new files, as git sees them), so that the
# packages land in the temporary folder and a clean clone builds the same.
build_packages() {
  mkdir "$work/src"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do if [[ -e $f ]]; then printf '%s\0' "$f"; fi; done |
    tar --null -T - -cf - | tar -xf - -C "$work/src"
  echo "building the packages (dpkg-buildpackage -us -uc -b, tests left to the suite) ..."
  if ! (cd "$work/src" &&
        DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b) \
      >"$work/build.log" 2>&1; then
    tail -n 60 "$work/build.log"
    fail "dpkg-buildpackage failed"
  fi
}
if [[ -n $from ]]; then
  cp "$from"/*.deb "$from"/*.changes "$from"/*.buildinfo "$work"/
else
  build_packages
fi
changes=$(ls "$work"/zolt-update_*.changes)
debs=()
for p in "${packages[@]}"; do
  debs+=("$(ls "$work/${p}"_*.deb)")
done
echo "built: $(cd "$work" && ls ./*.deb | xargs -n1 basename | tr '\n' ' ')"
if [[ -n $keep ]]; then
  mkdir -p "$keep"
  cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$keep"/
fi

# --- lintian: no error and no warning, pedantic and experimental tags shown.
echo "lintian -EvIL +pedantic ..."
if ! lintian -EvIL +pedantic --fail-on error,warning "$changes" >"$work/lintian.txt" 2>&1; then
  cat "$work/lintian.txt"
  fail "lintian reports errors or warnings"
fi
grep -v '^N: ' "$work/lintian.txt" || true  # the tags below warning level, for the record

# --- the split: the console program and the server do without Qt.
for deb in "${debs[@]:1}"; do
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends != *libqt6* ]] || fail "$(basename "$deb") depends on Qt: $depends"
done

# --- install
export DEBIAN_FRONTEND=noninteractive
apt-get purge -y "${packages[@]}" >/dev/null 2>&1 || true
installed=yes
timeout 600 apt-get install -y --no-install-recommends "${debs[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt-get install failed"; }
for i in "${!packages[@]}"; do
  p=${packages[$i]}
  dpkg -L "$p" | sort >"$work/$p.files"
  echo "package $p: Installed-Size $(dpkg-deb -f "${debs[$i]}" Installed-Size) KiB," \
       "Depends: $(dpkg-deb -f "${debs[$i]}" Depends)"
  while IFS= read -r f; do
    if [[ -f $f ]]; then printf '  %8s  %s\n' "$(stat -c %s "$f")" "$f"; fi
  done <"$work/$p.files"
done
for f in /usr/bin/zolt-update /usr/bin/zolt-update-cli /usr/bin/zolt-update-server \
         /usr/lib/udev/rules.d/60-zolt-update.rules /usr/share/applications/zolt-update.desktop \
         /usr/share/icons/hicolor/256x256/apps/zolt-update.png \
         /usr/share/man/man1/zolt-update-cli.1.gz /usr/share/doc/zolt-update-cli/copyright; do
  [[ -e $f ]] || fail "missing after install: $f"
done

# --- the udev rule, as installed, against emulated devices: the interface under each of its
# descriptions gets the desktop user's access; other FTDI adapters and other vendors do not.
udev_case() {  # vendor product description expected(yes/no)
  local sys=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1
  cat >"$work/device.umockdev" <<EOF
P: ${sys#/sys}
N: bus/usb/001/002
E: DEVNAME=/dev/bus/usb/001/002
E: DEVTYPE=usb_device
E: DRIVER=usb
E: SUBSYSTEM=usb
E: BUSNUM=001
E: DEVNUM=002
A: idVendor=$1
A: idProduct=$2
A: product=$3
A: busnum=1
A: devnum=2
EOF
  local out
  out=$(timeout 60 umockdev-run -d "$work/device.umockdev" -- udevadm test "$sys" 2>&1) ||
    { echo "$out" | tail -n 20; fail "udevadm test failed for \"$3\""; }
  local matched=no
  if grep -q '60-zolt-update.rules:[0-9]* MODE 0660' <<<"$out" &&
     grep -q '60-zolt-update.rules:[0-9]* GROUP ' <<<"$out" &&
     grep -q '^CURRENT_TAGS=.*:uaccess:' <<<"$out"; then
    matched=yes
  elif grep -q '60-zolt-update.rules:[0-9]*' <<<"$out"; then
    matched=partly
  fi
  [[ $matched == "$4" ]] || fail "udev rule on $1:$2 \"$3\": access $matched, expected $4"
}
udev_case 0403 6001 "ZOLT" yes
udev_case 0403 6015 "PRYN Interface 171213" yes
udev_case 0403 6010 "PRYN Interface 171071" yes
udev_case 0403 6001 "FT232R USB UART" no
udev_case 0403 6001 "ZOLT2" no
udev_case 1234 6001 "ZOLT" no
echo "udev rule: the interface's three descriptions get access, other devices do not"

# --- run the programs from the install. Every folder the packages own is listed before and
# compared after: no new entry may appear in any of them.
owned_dirs=$(cat "$work"/*.files | while IFS= read -r f; do if [[ -d $f ]]; then echo "$f"; fi; done |
  sort -u)
snapshot() {
  while IFS= read -r d; do find "$d" -maxdepth 1 -mindepth 1; done <<<"$owned_dirs" | sort
}
snapshot >"$work/before"

useradd --create-home --home-dir "$work/home" --shell /bin/sh "$user"
run_as() {  # who(user|root) [VAR=value...] program args...
  local who=$1
  shift
  if [[ $who == user ]]; then
    # setpriv runs the program in this process (no parent left behind), so its pid is ours.
    setpriv --reuid="$user" --regid="$user" --init-groups \
      env -i PATH=/usr/bin:/bin HOME="$work/home" "$@"
  else
    env -i PATH=/usr/bin:/bin HOME="$work/root-home" "$@"
  fi
}
mkdir -m 700 "$work/root-home"

for who in user root; do
  home=$work/home
  [[ $who == root ]] && home=$work/root-home
  log=$home/.local/state/zolt-update/log.bin
  run_as "$who" zolt-update-cli --simulate --help | grep -qF "$log" ||
    fail "$who: --help does not name the state-directory log $log"
  run_as "$who" timeout 120 zolt-update-cli --simulate --quiet update >/dev/null ||
    fail "$who: the simulated update did not succeed"
  grep -q "ZOLT Update 1.0.6 start" "$log" || fail "$who: no log in $log"
  run_as "$who" timeout 60 zolt-update-cli --simulate doctor >"$work/doctor.txt" ||
    { cat "$work/doctor.txt"; fail "$who: doctor --simulate found a problem"; }
  run_as "$who" QT_QPA_PLATFORM=offscreen timeout 120 zolt-update --simulate --press device-info \
    --screenshot "$home/window.png" >/dev/null 2>&1 || fail "$who: the window did not run"
  echo "$who: simulated update, doctor and window from the install: ok, log at $log" \
       "($(wc -l <"$log") lines)"
done

# The reference server from the install, and the console program against it.
# Started directly (not through run_as) so that $! is the server itself.
setpriv --reuid="$user" --regid="$user" --init-groups env -i PATH=/usr/bin:/bin HOME="$work/home" \
  zolt-update-server --port 0 >"$work/server.txt" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
  grep -q "listening on" "$work/server.txt" && break
  sleep 0.1
done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.txt")
[[ -n $port ]] || { cat "$work/server.txt"; fail "the server did not start"; }
run_as user timeout 60 zolt-update-cli --simulate --server "127.0.0.1:$port" info >/dev/null ||
  fail "info against the installed server failed"
kill "$server_pid"
wait "$server_pid" || true
server_pid=""
echo "server from the install on port $port, info against it: ok"

# Root with an unusable state directory: the log is lost rather than put beside the program, and
# the doctor says so.
if run_as root XDG_STATE_HOME=/proc/zolt-update-nowhere timeout 60 zolt-update-cli --simulate doctor \
    >"$work/doctor.txt"; then
  cat "$work/doctor.txt"
  fail "root, unusable XDG_STATE_HOME: the doctor says ready"
fi
grep -q "Verdict: not ready, the log /proc/zolt-update-nowhere/zolt-update/log.bin cannot be written" \
  "$work/doctor.txt" || { cat "$work/doctor.txt"; fail "the doctor's verdict does not name the log"; }
run_as root XDG_STATE_HOME=/proc/zolt-update-nowhere timeout 120 zolt-update-cli --simulate update \
  >/dev/null || fail "root, unusable XDG_STATE_HOME: the update failed"
echo "root with an unusable XDG_STATE_HOME: log lost, doctor not ready: ok"

snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/appeared"; then
  cat "$work/appeared"
  fail "files appeared in folders the packages own"
fi
echo "no file appeared in the $(wc -l <<<"$owned_dirs") folders the packages own"

# --- purge: nothing of the packages is left, the users' logs are.
apt-get purge -y "${packages[@]}" >/dev/null
installed=""
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qv 'not-installed' ||
    fail "$p is still known to dpkg after purge"
  while IFS= read -r f; do
    [[ -d $f ]] && continue  # shared folders (/usr/bin, ...) stay
    [[ ! -e $f ]] || fail "left after purge: $f"
  done <"$work/$p.files"
  for d in /usr/share/doc/$p /var/lib/$p /etc/$p; do
    [[ ! -e $d ]] || fail "left after purge: $d"
  done
done
[[ -s $work/home/.local/state/zolt-update/log.bin ]] || fail "purge removed the user's log"
echo "purge: nothing left but the users' logs"
userdel --remove "$user" 2>/dev/null || true  # no mail spool: userdel says so and fails
! id "$user" >/dev/null 2>&1 || fail "could not remove the test user $user"
echo "test user removed"
