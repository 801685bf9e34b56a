#!/bin/sh
# The rig's benchmark (scripts: bench/usb_driver.sh): CPU per byte of an
# upload over the real cdc-acm driver, hiltpush against the one-write-per-
# byte floor (bench/floor_writer.cpp), both to the same simulator through the
# same gadget, in the same VM. Times come from busybox time (10 ms ticks);
# under full emulation only their ratio means much.
echo
RUNS=${RUNS:-5}
SIZE=65536
insmod /lib/modules/rig/g_serial.ko n_ports=2
i=0
while [ $i -lt 100 ] && ! [ -e /dev/ttyACM0 ]; do sleep 0.1; i=$((i + 1)); done
head -c $SIZE /dev/urandom >/tmp/up.bin
/rig/saber-sim --tty /dev/ttyGS0 --flash /tmp/flash >/tmp/sim.out 2>/tmp/sim.err &
sim=$!
while ! [ -s /tmp/sim.out ]; do sleep 0.05; done

measure() {  # label stored-name command...
  label=$1 stored=/tmp/flash/$2; shift 2
  r=0
  while [ $r -lt $RUNS ]; do
    rm -f "$stored"
    time -f "%e %U %S" -o /tmp/time timeout 300 "$@" >/tmp/cmd.out 2>&1
    st=$?
    cmp -s /tmp/up.bin "$stored" || { echo "RIG: FAIL bench-$label: run $r did not store the file (status $st)"; sed 's/^/RIG|   /' /tmp/cmd.out | tail -5; }
    echo "RIG| bench: $label run $r: $(tr '\n' ' ' </tmp/time)(wall user sys, s)" >&2
    tail -1 /tmp/time
    r=$((r + 1))
  done | awk -v label="$label" -v size=$SIZE '
    NF == 3 { i = n++; wall[i] = $1; cpu[i] = ($2 + $3) * 1e6 / size }
    END {
      if (n == 0) exit 1
      # medians of the runs
      for (i = 0; i < n; i++) for (j = i + 1; j < n; j++) {
        if (wall[j] < wall[i]) { t = wall[i]; wall[i] = wall[j]; wall[j] = t }
        if (cpu[j] < cpu[i]) { t = cpu[i]; cpu[i] = cpu[j]; cpu[j] = t } }
      printf "RIG| bench: %s: wall %.2f s, CPU (user+sys) %.2f us/byte (median of %d; min %.2f, max %.2f)\n",
             label, wall[int(n / 2)], cpu[int(n / 2)], n, cpu[0], cpu[n - 1]
      print cpu[int(n / 2)] > "/tmp/median." label
    }'
}
measure hiltpush up.bin /rig/hiltpush -s /tmp/up.bin
measure floor-per-byte floor-up.bin /rig/floor_writer per-byte /dev/ttyACM0 /tmp/up.bin
hp=$(cat /tmp/median.hiltpush 2>/dev/null) floor=$(cat /tmp/median.floor-per-byte 2>/dev/null)
if [ -n "$hp" ] && [ -n "$floor" ]; then
  echo "RIG| bench: upload of $SIZE bytes over cdc-acm: hiltpush CPU / one-write-per-byte floor CPU = $(awk -v a="$hp" -v b="$floor" 'BEGIN { printf "%.2f", a / b }')"
  echo "RIG: PASS bench"
else
  echo "RIG: FAIL bench: no measure"
fi
kill $sim
