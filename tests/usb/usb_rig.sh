#!/usr/bin/env bash
# The real-USB-driver rig: boots Debian's kernel under QEMU (pure emulation,
# no KVM) with a tiny initramfs that holds busybox, the kernel's USB serial
# stack (cdc-acm on the host side, the g_serial gadget on the device side,
# joined by dummy_hcd), hiltpush and saber-sim, and runs every scenario of
# tests/usb/scenarios.sh in that one boot. Each scenario reports
# "RIG: PASS <name>" or "RIG: FAIL <name>: <what failed>" over the VM's
# serial console; this script prints those lines and fails when any scenario
# failed, none ran, the VM did not finish, or the rig cannot run here.
#
#   tests/usb/usb_rig.sh --build DIR [--mode scenarios|bench] [--only NAMES]
#                        [--console FILE] [--result FILE]
#
# DIR is a native build tree (hiltpush and saber-sim in it). --only runs the
# scenarios whose names match the space-separated shell patterns NAMES.
# HP_USB_RIG_SEED=S repeats the draws of a run of random-unplug.
# The first run downloads the kernel package into the cache
# ($HP_USB_CACHE, default $XDG_CACHE_HOME/hiltpush-usb-rig or
# ~/.cache/hiltpush-usb-rig) and installs what the host lacks (QEMU, static
# busybox, cpio, ...) with apt-get; that needs root.
#
# Exit status: 0 all passed; 1 anything else. --result FILE gets one line that
# a caller can trust more than the console text: "PASS <counts>",
# "FAIL <counts>: <failed scenarios>" or "CANNOT RUN: <why>".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

build="" mode=scenarios only="" console="" result=/dev/null
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --console) console=$2; shift 2 ;;
    --result) result=$2; shift 2 ;;
    *) echo "usb_rig: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$build" ] || { echo "usb_rig: --build DIR is needed" >&2; exit 2; }
build=$(cd "$build" && pwd)
: >"$result"

# A rig that cannot run proves nothing: it fails, so that nobody mistakes it
# for a pass.
cannot() { echo "usb_rig: CANNOT RUN: $*"; echo "CANNOT RUN: $*" >"$result"; exit 1; }

cache=${HP_USB_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/hiltpush-usb-rig}
mkdir -p "$cache" || cannot "cannot create the cache folder $cache"

# --- What the VM needs from the host ------------------------------------------
# The package lists are refreshed once, and only when something is not found.
apt_fresh=
apt_update() {
  [ -z "$apt_fresh" ] || return 1
  apt_fresh=yes
  echo "usb_rig: apt-get update"
  apt-get update -q >"$cache/apt.log" 2>&1 || cannot "apt-get update failed: $(tail -1 "$cache/apt.log")"
}
need_package() {  # file-or-command package
  if [ -e "$1" ] || command -v "$1" >/dev/null 2>&1; then return 0; fi
  [ "$(id -u)" = 0 ] || cannot "$2 is missing and only root can install it (apt-get install $2)"
  command -v apt-get >/dev/null || cannot "$2 is missing and there is no apt-get to install it"
  echo "usb_rig: installing $2"
  until DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
          -o DPkg::Lock::Timeout=600 "$2" >"$cache/apt.log" 2>&1; do
    apt_update || cannot "$2 is missing and apt-get could not install it: $(tail -1 "$cache/apt.log")"
  done
}
need_package qemu-system-x86_64 qemu-system-x86
need_package /bin/busybox busybox-static
need_package cpio cpio
if ldd /bin/busybox >/dev/null 2>&1; then
  cannot "/bin/busybox is not the static one (install busybox-static)"
fi

# The kernel package that linux-image-amd64 stands for, unpacked (never
# installed) into the cache.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
kpkg=$(kernel_package)
if [ -z "$kpkg" ] && apt_update; then kpkg=$(kernel_package); fi
if [ -z "$kpkg" ]; then
  kpkg=$(cd "$cache" && ls -d linux-image-*/ 2>/dev/null | tail -1 | tr -d /)
  [ -n "$kpkg" ] || cannot "apt-cache knows no linux-image-amd64 and the cache holds no kernel"
fi
kdir=$cache/$kpkg
if [ ! -e "$kdir/.unpacked" ]; then
  echo "usb_rig: fetching $kpkg into $cache"
  rm -rf "$kdir" "$cache"/"$kpkg"_*.deb
  until (cd "$cache" && apt-get download "$kpkg" >"$cache/download.log" 2>&1); do
    apt_update || cannot "apt-get download $kpkg failed: $(tail -1 "$cache/download.log")"
  done
  dpkg-deb -x "$cache"/"$kpkg"_*.deb "$kdir" || cannot "dpkg-deb could not unpack $kpkg"
  rm -f "$cache"/"$kpkg"_*.deb
  touch "$kdir/.unpacked"
fi
vmlinuz=$(ls "$kdir"/boot/vmlinuz-* 2>/dev/null | head -1)
moddir=$(ls -d "$kdir"/lib/modules/*/kernel 2>/dev/null | head -1)
[ -n "$vmlinuz" ] && [ -n "$moddir" ] || cannot "$kpkg holds no kernel or no modules"

for tool in hiltpush saber-sim; do
  [ -x "$build/$tool" ] || cannot "$build/$tool is missing (build the tree first)"
done

# --- The initramfs -----------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/hp-usb-rig.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,rig,lib/modules/rig}
cp /bin/busybox "$root/bin/busybox"
cp "$here/init.sh" "$root/init"
cp "$here/scenarios.sh" "$here/bench.sh" "$root/rig/"
cp "$source_dir/assets/hum.wav" "$root/rig/hum.wav"
cp "$build/hiltpush" "$build/saber-sim" "$root/rig/"
g++ -std=c++20 -O2 -Wall -Wextra -Werror "$here/tty_probe.cpp" -o "$root/rig/tty_probe" ||
  cannot "cannot build tests/usb/tty_probe.cpp"
if [ "$mode" = bench ]; then
  g++ -std=c++20 -O2 -Wall -Wextra -Werror "$source_dir/bench/floor_writer.cpp" -o "$root/rig/floor_writer" ||
    cannot "cannot build bench/floor_writer.cpp"
fi
printf '%s\n' "$only" >"$root/rig/only"
# The random-unplug scenario draws its points from this seed.
seed=${HP_USB_RIG_SEED:-$(( $(od -An -tu4 -N4 /dev/urandom) % 1000000 ))}
echo "$seed" >"$root/rig/seed"

# The kernel's USB serial stack; none of it is built in (the loader says so
# loudly if that ever changes).
for m in drivers/usb/common/usb-common drivers/usb/core/usbcore drivers/usb/gadget/udc/udc-core \
         fs/configfs/configfs drivers/usb/gadget/libcomposite drivers/usb/gadget/function/u_serial \
         drivers/usb/gadget/function/usb_f_acm drivers/usb/gadget/udc/dummy_hcd \
         drivers/usb/class/cdc-acm drivers/usb/gadget/legacy/g_serial; do
  src=$(ls "$moddir/$m".ko* 2>/dev/null | head -1)
  [ -n "$src" ] || cannot "$kpkg has no module $m"
  case "$src" in
    *.ko) cp "$src" "$root/lib/modules/rig/" ;;
    *.ko.xz) need_package xz xz-utils; xz -dc "$src" >"$root/lib/modules/rig/$(basename "$m").ko" ;;
    *.ko.zst) need_package zstd zstd; zstd -qdc "$src" >"$root/lib/modules/rig/$(basename "$m").ko" ;;
    *) cannot "cannot unpack $src" ;;
  esac
done

# The programs' shared libraries, at the paths the loader looks for them.
for bin in hiltpush saber-sim tty_probe floor_writer; do
  [ -e "$root/rig/$bin" ] || continue
  ldd "$root/rig/$bin" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -Ln "$lib" "$root$lib"
  done
done
mkdir -p "$root/lib64"

# Users for the exclusive-open and permission scenarios: "saber" may use the
# ports (group dialout), "guest" may not.
cat >"$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
saber:x:1000:1000:saber:/tmp:/bin/sh
guest:x:1001:1001:guest:/tmp:/bin/sh
EOF
cat >"$root/etc/group" <<'EOF'
root:x:0:
dialout:x:20:saber
saber:x:1000:
guest:x:1001:
EOF
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz" ||
  cannot "cannot pack the initramfs"

# --- The boot ----------------------------------------------------------------
# No scenario may hang the run: each hiltpush inside is bounded on its own,
# and the whole VM here.
limit=${HP_USB_RIG_TIMEOUT:-1500}
log=${console:-$work/console.log}
started=$(date +%s)
echo "usb_rig: booting $kpkg under QEMU (no KVM), mode $mode, seed $seed (HP_USB_RIG_SEED=$seed repeats it)"
timeout -k 10 "$limit" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 rig_mode=$mode" </dev/null >"$log" 2>&1
qemu_status=$?
elapsed=$(( $(date +%s) - started ))

tr -d '\r' <"$log" | grep -a '^RIG' | sed 's/^RIG: //'
failed=$(tr -d '\r' <"$log" | grep -ac '^RIG: FAIL')
passed=$(tr -d '\r' <"$log" | grep -ac '^RIG: PASS')
done=$(tr -d '\r' <"$log" | grep -ac '^RIG: DONE')
counts="$passed passed, $failed failed, VM time ${elapsed}s"
echo "usb_rig: $counts"
verdict() { echo "$*" >"$result"; [ "$1" = PASS ]; }
if [ "$qemu_status" -ne 0 ] || [ "$done" -eq 0 ]; then
  echo "usb_rig: the VM did not finish (qemu status $qemu_status); its console:"
  tr -d '\r' <"$log" | tail -40
  verdict FAIL "$counts: the VM did not finish (qemu status $qemu_status)"
elif [ "$mode" = scenarios ] && [ $((passed + failed)) -eq 0 ]; then
  echo "usb_rig: no scenario ran"
  verdict FAIL "$counts: no scenario ran"
elif [ "$failed" -ne 0 ]; then
  verdict FAIL "$counts: $(tr -d '\r' <"$log" | sed -n 's/^RIG: FAIL \([^:]*\):.*/\1/p' | tr '\n' ' ' | sed 's/ $//')"
else
  verdict PASS "$counts"
fi
