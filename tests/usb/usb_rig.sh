#!/usr/bin/env bash
# The real-USB-driver rig: boots Debian's kernel under QEMU (pure emulation,
# no KVM) with a tiny initramfs that holds busybox, the kernel's USB serial
# stack (cdc-acm on the host side, the g_serial gadget on the device side,
# joined by dummy_hcd), hiltpush and saber-sim, and runs every scenario of
# tests/usb/scenarios.sh in that one boot. Each scenario reports
# "RIG: PASS <name>" or "RIG: FAIL <name>: <what failed>" over the VM's
# serial console; this script prints those lines and fails when any scenario
# failed, none ran, or the VM did not finish.
#
#   tests/usb/usb_rig.sh --build DIR [--mode scenarios|bench] [--only NAMES]
#                        [--console FILE]
#
# DIR is a native build tree (hiltpush and saber-sim in it). --only runs the
# scenarios whose names match the space-separated shell patterns NAMES.
# The first run downloads the kernel package into the cache
# ($HP_USB_CACHE, default $XDG_CACHE_HOME/hiltpush-usb-rig or
# ~/.cache/hiltpush-usb-rig) and installs qemu-system-x86 and busybox-static
# with apt-get when they are missing and we are root.
#
# Exit status: 0 all passed; 1 a scenario failed or the VM broke down;
# 77 skipped (the message says why: no QEMU, no kernel package, ...).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

build="" mode=scenarios only="" console=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --console) console=$2; shift 2 ;;
    *) echo "usb_rig: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$build" ] || { echo "usb_rig: --build DIR is needed" >&2; exit 2; }
build=$(cd "$build" && pwd)

skip() { echo "usb_rig: SKIPPED: $*"; exit 77; }

cache=${HP_USB_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/hiltpush-usb-rig}
mkdir -p "$cache" || skip "cannot create the cache folder $cache"

# --- What the VM needs from the host ------------------------------------------
need_package() {  # file-or-command package
  if [ -e "$1" ] || command -v "$1" >/dev/null 2>&1; then return 0; fi
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "usb_rig: installing $2"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$2" >"$cache/apt.log" 2>&1 ||
      skip "$2 is missing and apt-get could not install it (see $cache/apt.log)"
  else
    skip "$2 is missing (install it: apt-get install $2)"
  fi
}
need_package qemu-system-x86_64 qemu-system-x86
need_package /bin/busybox busybox-static
if ldd /bin/busybox >/dev/null 2>&1; then
  skip "/bin/busybox is not the static one (install busybox-static)"
fi

# The kernel package that linux-image-amd64 stands for, unpacked (never
# installed) into the cache.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
if [ -z "$kpkg" ]; then
  kpkg=$(cd "$cache" && ls -d linux-image-*/ 2>/dev/null | tail -1 | tr -d /)
  [ -n "$kpkg" ] || skip "apt-cache knows no linux-image-amd64 and the cache holds no kernel"
fi
kdir=$cache/$kpkg
if [ ! -e "$kdir/.unpacked" ]; then
  echo "usb_rig: fetching $kpkg into $cache"
  rm -rf "$kdir" "$cache"/"$kpkg"_*.deb
  (cd "$cache" && apt-get download "$kpkg" >"$cache/download.log" 2>&1) ||
    skip "apt-get download $kpkg failed (see $cache/download.log)"
  dpkg-deb -x "$cache"/"$kpkg"_*.deb "$kdir" || skip "dpkg-deb could not unpack $kpkg"
  rm -f "$cache"/"$kpkg"_*.deb
  touch "$kdir/.unpacked"
fi
vmlinuz=$(ls "$kdir"/boot/vmlinuz-* 2>/dev/null | head -1)
moddir=$(ls -d "$kdir"/lib/modules/*/kernel 2>/dev/null | head -1)
[ -n "$vmlinuz" ] && [ -n "$moddir" ] || skip "$kpkg holds no kernel or no modules"

for tool in hiltpush saber-sim; do
  [ -x "$build/$tool" ] || { echo "usb_rig: $build/$tool is missing (build the tree first)"; exit 1; }
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
  { echo "usb_rig: cannot build tests/usb/tty_probe.cpp"; exit 1; }
if [ "$mode" = bench ]; then
  g++ -std=c++20 -O2 -Wall -Wextra -Werror "$source_dir/bench/floor_writer.cpp" -o "$root/rig/floor_writer" ||
    { echo "usb_rig: cannot build bench/floor_writer.cpp"; exit 1; }
fi
printf '%s\n' "$only" >"$root/rig/only"

# The kernel's USB serial stack; none of it is built in (the loader says so
# loudly if that ever changes).
for m in drivers/usb/common/usb-common drivers/usb/core/usbcore drivers/usb/gadget/udc/udc-core \
         fs/configfs/configfs drivers/usb/gadget/libcomposite drivers/usb/gadget/function/u_serial \
         drivers/usb/gadget/function/usb_f_acm drivers/usb/gadget/udc/dummy_hcd \
         drivers/usb/class/cdc-acm drivers/usb/gadget/legacy/g_serial; do
  src=$(ls "$moddir/$m".ko* 2>/dev/null | head -1)
  [ -n "$src" ] || skip "$kpkg has no module $m"
  case "$src" in
    *.ko) cp "$src" "$root/lib/modules/rig/" ;;
    *.ko.xz) xz -dc "$src" >"$root/lib/modules/rig/$(basename "$m").ko" ;;
    *.ko.zst) zstd -qdc "$src" >"$root/lib/modules/rig/$(basename "$m").ko" ;;
    *) skip "cannot unpack $src" ;;
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
  { echo "usb_rig: cannot pack the initramfs"; exit 1; }

# --- The boot ----------------------------------------------------------------
# No scenario may hang the run: each hiltpush inside is bounded on its own,
# and the whole VM here.
limit=${HP_USB_RIG_TIMEOUT:-900}
log=${console:-$work/console.log}
started=$(date +%s)
echo "usb_rig: booting $kpkg under QEMU (no KVM), mode $mode"
timeout -k 10 "$limit" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 rig_mode=$mode" </dev/null >"$log" 2>&1
qemu_status=$?
elapsed=$(( $(date +%s) - started ))

tr -d '\r' <"$log" | grep -a '^RIG' | sed 's/^RIG: //'
failed=$(tr -d '\r' <"$log" | grep -ac '^RIG: FAIL')
passed=$(tr -d '\r' <"$log" | grep -ac '^RIG: PASS')
done=$(tr -d '\r' <"$log" | grep -ac '^RIG: DONE')
echo "usb_rig: $passed passed, $failed failed, VM time ${elapsed}s"
if [ "$qemu_status" -ne 0 ] || [ "$done" -eq 0 ]; then
  echo "usb_rig: the VM did not finish (qemu status $qemu_status); its console:"
  tr -d '\r' <"$log" | tail -40
  exit 1
fi
if [ "$mode" = scenarios ] && [ "$passed" -eq 0 ]; then
  echo "usb_rig: no scenario ran"
  exit 1
fi
[ "$failed" -eq 0 ]
