#!/usr/bin/env bash
# Copyright 2026 The Talvimer Authors
# SPDX-License-Identifier: MIT
#
# Shows that the Debian package alone is enough to run Talvimer: builds a fresh minimal Debian 12
# root with debootstrap, installs the .deb there with apt (without recommended packages, so only
# its Depends count), starts `talvimer` inside it on a virtual display, checks that its window
# appears with the right caption, size and icon, closes it with Esc and checks that it exited
# with 0.
#
#   packaging/check-clean-install.sh [PACKAGE.deb]
#
# Without an argument it takes the one talvimer_*.deb in build/ (made by
# `cpack --config build/CPackConfig.cmake`). Needs root, debootstrap, and Xvfb, xdotool, x11-utils
# and imagemagick on this machine, and reaches Debian's archive; takes a few minutes. The X server
# runs outside the root so that nothing but the package and what it depends on is installed in
# it. KEEP_ROOT=1 keeps the root afterwards; SCREENSHOT=path says where the window's picture goes.
set -euo pipefail

mirror="http://deb.debian.org/debian"
security_mirror="http://deb.debian.org/debian-security"
caption="Ostrevan专版-Talvimer2.0"

cd "$(dirname "$0")/.."
if [[ $(id -u) -ne 0 ]]; then
  echo "check-clean-install: must run as root (debootstrap, chroot, mount)" >&2
  exit 2
fi
for tool in debootstrap chroot Xvfb xdotool xwininfo xprop xdpyinfo import; do
  command -v "$tool" >/dev/null || { echo "check-clean-install: $tool is missing" >&2; exit 2; }
done

deb="${1:-}"
if [[ -z "$deb" ]]; then
  shopt -s nullglob
  debs=(build/talvimer_*.deb)
  shopt -u nullglob
  if [[ ${#debs[@]} -ne 1 ]]; then
    echo "check-clean-install: expected one build/talvimer_*.deb, found ${#debs[@]}; name one" >&2
    exit 2
  fi
  deb="${debs[0]}"
fi
deb="$(realpath "$deb")"
screenshot="${SCREENSHOT:-$PWD/build/clean-install.png}"

root="$(mktemp -d /tmp/talvimer-clean-root.XXXXXX)"
log="$root.log"
mounts=()
xvfb=
program=

cleanup() {
  [[ -n "$program" ]] && kill "$program" 2>/dev/null || true
  [[ -n "$xvfb" ]] && kill "$xvfb" 2>/dev/null || true
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null || true
  done
  # Deleting while /dev is still bound inside would delete the machine's own device nodes.
  if grep -q " $root/" /proc/self/mounts; then
    echo "check-clean-install: $root still has mounts; not deleting it" >&2
  elif [[ "${KEEP_ROOT:-0}" == 1 ]]; then
    echo "check-clean-install: the root is kept in $root"
  else
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT

mount_in_root() {  # mount_in_root TARGET MOUNT-ARGUMENTS...
  local target="$root/$1"
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounts+=("$target")
}

in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

step() { echo "== $*"; }

step "debootstrap --variant=minbase bookworm $root (log: $log)"
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  exit 1
fi

# A Debian 12 installation also follows its updates and security suites.
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security_mirror bookworm-security main
EOF
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mount_in_root proc -t proc proc
mount_in_root sys -t sysfs sysfs
mount_in_root dev --bind /dev
mount_in_root dev/shm -t tmpfs -o mode=1777 shm
# The X server runs outside; its socket directory is shared so the program can reach it.
mkdir -p /tmp/.X11-unix && chmod 1777 /tmp/.X11-unix
mount_in_root tmp/.X11-unix --bind /tmp/.X11-unix

step "apt-get install --no-install-recommends /tmp/$(basename "$deb")"
cp "$deb" "$root/tmp/"
before=$(in_root dpkg-query -W -f='${Package}\n' | wc -l)
in_root apt-get update -q >>"$log" 2>&1
if ! in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" >>"$log" 2>&1; then
  tail -n 30 "$log" >&2
  exit 1
fi
after=$(in_root dpkg-query -W -f='${Package}\n' | wc -l)
in_root dpkg-query -W -f='${Package} ${Version} ${Status}\n' talvimer
echo "packages in the root: $before after debootstrap, $after with talvimer"
in_root dpkg-query -W -f='Depends: ${Depends}\n' talvimer

# Without a font that covers Chinese the window still opens, but its captions are empty boxes.
cjk_font=$(in_root fc-match -f '%{family}' ':lang=zh-cn' 2>/dev/null || true)
if ! in_root fc-list ':lang=zh-cn' family | grep -q .; then
  echo "check-clean-install: no font in the root covers Chinese" >&2
  exit 1
fi
echo "font for Chinese: $cjk_font"

step "start talvimer inside the root on a virtual display"
# Xvfb picks a free display itself, so runs beside other tests or another check do not collide.
display_file="$root.display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [[ -s "$display_file" ]] && break; sleep 0.1; done
display_number=$(tr -dc 0-9 <"$display_file")
rm -f "$display_file"
[[ -n "$display_number" ]] || { echo "check-clean-install: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display_number"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || { echo "check-clean-install: Xvfb on $DISPLAY does not answer" >&2; exit 1; }
echo "display $DISPLAY"

program_log="$root.talvimer.log"
chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 DISPLAY="$DISPLAY" \
  talvimer >"$program_log" 2>&1 &
program=$!

window=
for _ in $(seq 300); do
  window=$(xdotool search --name "Talvimer2.0" 2>/dev/null | head -n 1 || true)
  [[ -n "$window" ]] && break
  kill -0 "$program" 2>/dev/null || break
  sleep 0.1
done
if [[ -z "$window" ]]; then
  echo "check-clean-install: no Talvimer window appeared; the program said:" >&2
  cat "$program_log" >&2
  exit 1
fi
name=$(xdotool getwindowname "$window")
size=$(xwininfo -id "$window" | awk '/Width:/ {w = $2} /Height:/ {h = $2} END {print w "x" h}')
echo "window $window: \"$name\", $size"
[[ "$name" == "$caption" ]] || { echo "check-clean-install: caption is not $caption" >&2; exit 1; }
[[ "$size" == "934x588" ]] || { echo "check-clean-install: window is not 934x588" >&2; exit 1; }
# The window's icon is drawn from an SVG, which Qt reads only through its SVG plugins.
icons=$(xprop -id "$window" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)' | sort -u | tr '\n' ' ' || true)
[[ -n "$icons" ]] || { echo "check-clean-install: the window has no icon" >&2; exit 1; }
echo "window icon: $icons"
sleep 3  # let the start page render before the picture is taken
if ! kill -0 "$program" 2>/dev/null; then
  echo "check-clean-install: talvimer ended on its own after opening its window; it said:" >&2
  cat "$program_log" >&2
  exit 1
fi
import -window root "$screenshot"
echo "screenshot: $screenshot"

step "close it with Esc"
xdotool windowfocus --sync "$window" key Escape
status=
for _ in $(seq 100); do
  if ! kill -0 "$program" 2>/dev/null; then
    status=0
    wait "$program" || status=$?
    break
  fi
  sleep 0.1
done
program_pid=$program
program=
if [[ -z "$status" ]]; then
  kill "$program_pid" 2>/dev/null || true
  wait "$program_pid" 2>/dev/null || true
  echo "check-clean-install: talvimer did not exit within 10 s of Esc" >&2
  exit 1
fi
echo "talvimer exited with $status"
if [[ -s "$program_log" ]]; then
  echo "talvimer printed:"
  sed 's/^/  /' "$program_log"
fi
[[ "$status" -eq 0 ]] || exit 1
rm -f "$program_log" "$log"
echo "clean install check passed"
