#!/bin/sh
# The rig's scenario runner, run by /init inside the VM (busybox sh). Plays
# hiltpush against saber-sim behind the kernel's real USB serial driver:
# saber-sim serves the gadget's /dev/ttyGS<N>, hiltpush finds and opens the
# host's /dev/ttyACM<N> through the real /sys/class/tty. Every scenario ends
# with one line "RIG: PASS <name>" or "RIG: FAIL <name>: <what failed>";
# lines "RIG| ..." carry what is worth reading around them (hiltpush's
# console of a failed scenario, the recorded console pictures).
HP=/rig/hiltpush
SIM=/rig/saber-sim
T=240             # bound on every hiltpush run: none can hang the rig
ONLY=$(cat /rig/only 2>/dev/null)
SEED=$(cat /rig/seed 2>/dev/null || echo 1)
SIMS=""
ST=0

say() { echo "RIG| $*"; }

# --- The gadget: plugged in and out ------------------------------------------
wait_gone() {  # path...: waits until none of them exists
  i=0
  while [ $i -lt 100 ]; do
    gone=1
    for p in "$@"; do [ -e "$p" ] && gone=0; done
    [ $gone = 1 ] && return 0
    sleep 0.1; i=$((i + 1))
  done
  return 1
}
plug() {
  insmod /lib/modules/rig/g_serial.ko n_ports=2 || { fail "insmod g_serial failed"; return 1; }
  i=0
  while [ $i -lt 100 ]; do
    [ -e /dev/ttyACM0 ] && [ -e /dev/ttyACM1 ] && [ -e /dev/ttyGS0 ] && [ -e /dev/ttyGS1 ] && break
    sleep 0.1; i=$((i + 1))
  done
  [ -e /dev/ttyACM1 ] || { fail "no /dev/ttyACM1 after plugging the gadget in"; return 1; }
  # An ordinary user in group dialout may use the ports, as on a desktop.
  for p in /dev/ttyACM0 /dev/ttyACM1; do chgrp dialout $p; chmod 660 $p; done
}
unplug() {
  rmmod g_serial || fail "rmmod g_serial failed"
  wait_gone /dev/ttyGS0 /dev/ttyGS1 || fail "the gadget's ports stayed after rmmod"
}

# --- The board ----------------------------------------------------------------
# start_sim NAME N ARGS...: saber-sim on /dev/ttyGS<N>, its flash in
# /tmp/NAME.flash, its wire log in /tmp/NAME.log; ready once it printed its port.
start_sim() {
  name=$1 n=$2; shift 2
  rm -rf /tmp/$name.out /tmp/$name.log /tmp/$name.flash
  $SIM --tty /dev/ttyGS$n --flash /tmp/$name.flash --log /tmp/$name.log "$@" \
    >/tmp/$name.out 2>/tmp/$name.err &
  SIMS="$SIMS $!"
  i=0
  while [ $i -lt 100 ] && ! [ -s /tmp/$name.out ]; do sleep 0.05; i=$((i + 1)); done
  [ -s /tmp/$name.out ] || fail "saber-sim $name did not start: $(cat /tmp/$name.err)"
}
stop_sims() {
  for p in $SIMS; do kill $p 2>/dev/null; done
  for p in $SIMS; do wait $p 2>/dev/null; done
  SIMS=""
}
# wait_for FILE TEXT [SECONDS]: until FILE holds TEXT (fixed string).
wait_for() {
  i=0 n=$(( ${3:-20} * 10 ))
  while [ $i -lt $n ]; do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1; i=$((i + 1))
  done
  fail "\"$2\" never showed in $1"
  return 1
}

# --- hiltpush -----------------------------------------------------------------
# hp ARGS...: one silent run, bounded; its console in /tmp/out, status in ST.
hp() {
  timeout $T $HP -s "$@" >/tmp/out 2>&1
  ST=$?
  [ "$ST" -lt 124 ] || fail "hiltpush $* hung: killed after $T s"
}
# hp_bg ARGS...: the same in the background; hp_wait collects it.
hp_bg() {
  rm -f /tmp/st
  ( timeout $T $HP -s "$@" >/tmp/out 2>&1; echo $? >/tmp/st ) &
  HP_PID=$!
}
hp_wait() {
  wait $HP_PID
  ST=$(cat /tmp/st)
  [ "$ST" -lt 124 ] || fail "hiltpush hung: killed after $T s"
}
# as USER ARGS...: hp as an ordinary user.
as() {
  user=$1; shift
  timeout $T su -s /bin/sh "$user" -c "$HP -s $*" >/tmp/out 2>&1
  ST=$?
  [ "$ST" -lt 124 ] || fail "hiltpush $* as $user hung: killed after $T s"
}

# --- Checks -------------------------------------------------------------------
fail() { FAILS="$FAILS; $*"; }
status_is() { [ "$ST" = "$1" ] || fail "status $ST, not $1"; }
has_line() { grep -qxF -- "$1" /tmp/out || fail "no line \"$1\""; }
lacks_text() { ! grep -qF -- "$1" /tmp/out || fail "unexpected \"$1\""; }
# in_order LINE...: the lines appear in /tmp/out in this order (others between).
in_order() {
  for want in "$@"; do printf '%s\n' "$want"; done >/tmp/want
  awk 'NR == FNR { want[++n] = $0; next } k < n && $0 == want[k + 1] { k++ }
       END { if (k < n) { print want[k + 1]; exit 1 } }' /tmp/want /tmp/out >/tmp/missing ||
    fail "line \"$(cat /tmp/missing)\" missing or out of order"
}
same_file() { cmp -s "$1" "$2" || fail "$2 differs from $1"; }
picture() {  # the console as the user sees it, for the README
  say "---- console of: $*"
  sed 's/^/RIG|     /' /tmp/out
  say "---- status $ST"
}

begin() { CUR=$1; FAILS=""; rm -f /tmp/out; }
finish() {
  stop_sims
  if [ -z "$FAILS" ]; then
    echo "RIG: PASS $CUR"
  else
    echo "RIG: FAIL $CUR:${FAILS#;}"
    [ -e /tmp/out ] && sed 's/^/RIG|   /' /tmp/out | head -60
  fi
  # Every scenario starts from a plugged gadget and no board.
  [ -e /dev/ttyGS0 ] || plug
}
selected() {
  [ -z "$ONLY" ] && return 0
  for pat in $ONLY; do case "$1" in $pat) return 0 ;; esac; done
  return 1
}
run() {
  selected "$1" || return 0
  begin "$1"
  "sc_$(echo "$1" | tr - _)"
  finish
}

# --- Test files -----------------------------------------------------------------
: >/tmp/empty.bin
printf 'x' >/tmp/one.bin
i=0
while [ $i -lt 256 ]; do printf "\\$(printf %03o $i)"; i=$((i + 1)); done >/tmp/block
cat /tmp/block /tmp/block /tmp/block /tmp/block >/tmp/b1k
for f in 1 2 3 4 5 6 7 8 9 10; do cat /tmp/b1k; done >/tmp/b10k
for f in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30; do
  cat /tmp/b10k
done >/tmp/all.bin     # 300 KiB, every byte value 1200 times
cat /tmp/b10k /tmp/b10k /tmp/b10k >/tmp/30k.bin
cat /tmp/b1k /tmp/b1k /tmp/b1k /tmp/b1k /tmp/b1k /tmp/b1k /tmp/b1k /tmp/b1k >/tmp/8k.bin

# --- Uploads ----------------------------------------------------------------------
upload_ok() {  # FILE NAME SIZE
  hp "$1"
  status_is 0
  in_order "Port /dev/ttyACM0 is a writable Ilvara Saber." "Sending: $1 to /dev/ttyACM0" \
    "as Serial Flash Name: $2" "Filesize: $3" "OK, Write $2" "OK, Write Complete, $3 Bytes"
  same_file "$1" /tmp/board.flash/$2
}
sc_upload_empty() { start_sim board 0; upload_ok /tmp/empty.bin empty.bin 0; }
sc_upload_one_byte() { start_sim board 0; upload_ok /tmp/one.bin one.bin 1; }
sc_upload_hum_wav() { start_sim board 0; upload_ok /rig/hum.wav hum.wav "$(wc -c </rig/hum.wav)"; }
sc_upload_300k_all_bytes() { start_sim board 0; upload_ok /tmp/all.bin all.bin 307200; }

# --- Queries and the erase ------------------------------------------------------------
sc_info() {
  start_sim board 0
  hp -i
  status_is 0
  in_order "Querying Saber" "V=2.05" "S=0042-5117"
}
sc_list() {
  start_sim board 0
  hp /tmp/one.bin; hp /rig/hum.wav
  hp -l
  status_is 0
  in_order "hum.wav,$(wc -c </rig/hum.wav)" "one.bin,1"
}
sc_slist() {
  start_sim board 0
  hp /rig/hum.wav
  hp --slist
  status_is 0
  in_order "sHUM=hum.wav" "sSMB="
}
sc_trans() {
  start_sim board 0 --reply 'ECHO?=echo back'
  hp -t 'ECHO?'
  status_is 0
  has_line "echo back"
}
sc_erase_all() {
  start_sim board 0 --erase-seconds 1 --erase-dots 10
  hp /tmp/one.bin
  hp -erase-all
  status_is 0
  in_order "OK, Erasing Serial Flash" "..........Serial Flash Erased" "OK, Erase Complete"
  [ -e /tmp/board.flash/one.bin ] && fail "the flash was not emptied"
}

# --- Discovery through the real sysfs ----------------------------------------------------
sc_discovery_silent_first() {
  start_sim other 0 --silent
  start_sim board 1
  hp /tmp/one.bin
  status_is 0
  in_order "/dev/ttyACM0 : \\Device\\USBSER000" "/dev/ttyACM1 : \\Device\\USBSER001" \
    "Found 2 Saber Ports." "Testing Port: /dev/ttyACM0" "Port /dev/ttyACM0 not a writable Ilvara Saber" \
    "Testing Port: /dev/ttyACM1" "Port /dev/ttyACM1 is a writable Ilvara Saber." \
    "Sending: /tmp/one.bin to /dev/ttyACM1" "OK, Write Complete, 1 Bytes"
  same_file /tmp/one.bin /tmp/board.flash/one.bin
}

# A sensor-like device prints "23.5\r" every 250 ms and never a line feed;
# while nobody has its port open the gadget keeps what it printed, so the
# scan meets a burst and then the stream.
sc_discovery_chatty_first() {
  start_sim other 0 --chatter '23.5\r'
  start_sim board 1
  sleep 1
  t0=$(date +%s)
  hp /tmp/one.bin
  took=$(( $(date +%s) - t0 ))
  say "discovery-chatty-first: the run took $took s; $(grep -a 'response' /tmp/out | tr '\r\n' '~|' | cut -c1-200)"
  status_is 0
  in_order "Testing Port: /dev/ttyACM0" "Port /dev/ttyACM0 not a writable Ilvara Saber" \
    "Testing Port: /dev/ttyACM1" "Port /dev/ttyACM1 is a writable Ilvara Saber." \
    "Sending: /tmp/one.bin to /dev/ttyACM1" "OK, Write Complete, 1 Bytes"
  same_file /tmp/one.bin /tmp/board.flash/one.bin
}

# --- Unplugged midway -----------------------------------------------------------------
# replugged_works: after an unplug, the port takes an upload again.
replugged_works() {
  stop_sims
  plug || return
  start_sim board 0
  cp /tmp/out /tmp/out.unplug
  hp /tmp/one.bin
  status_is 0
  has_line "OK, Write Complete, 1 Bytes"
  same_file /tmp/one.bin /tmp/board.flash/one.bin
  cp /tmp/out.unplug /tmp/out
}
sc_unplug_during_upload() {
  start_sim board 0
  hp_bg /tmp/all.bin
  wait_for /tmp/out "Remaining, Bytes" 60
  unplug
  hp_wait
  status_is 2
  grep -q "^ERROR, Upload stopped after [0-9]* of 307200 bytes: ." /tmp/out ||
    fail "no line \"ERROR, Upload stopped after N of 307200 bytes: ...\""
  lacks_text "Write Complete"
  replugged_works
}
sc_unplug_during_verification() {
  start_sim board 0 --no-reply 'WR?'
  hp_bg /tmp/one.bin
  wait_for /tmp/board.log 'command "WR?"' && sleep 0.3
  unplug
  hp_wait
  status_is 2
  in_order "Testing Port: /dev/ttyACM0" "Port /dev/ttyACM0 not a writable Ilvara Saber" \
    "No Writable Ilvara Sabers Found."
  replugged_works
}
sc_unplug_during_listing() {
  start_sim board 0 --list-lines 20000
  hp_bg -l
  wait_for /tmp/out 'FILE00100.WAV' 60
  unplug
  hp_wait
  # The queries judge nothing: a cut listing still ends with status 0.
  status_is 0
  grep -q '^FILE00001.WAV,1001$' /tmp/out || fail "no listing line before the unplug"
  grep -q '^FILE20000.WAV' /tmp/out && fail "the listing was complete: the unplug came too late"
  replugged_works
}
sc_unplug_during_erase() {
  start_sim board 0 --erase-seconds 20 --erase-dots 20
  hp_bg -erase-all
  wait_for /tmp/out 'OK, Erasing Serial Flash' && wait_for /tmp/out '..'
  unplug
  hp_wait
  status_is 2
  grep -q '^[.]*ERROR, Communication Timed out[.][.][.]$' /tmp/out || fail "no time-out report after the dots"
  lacks_text "OK, Erase Complete"
  replugged_works
}

# --- The board stops taking bytes at the very end -----------------------------------
# One-byte writes reach the board through two holds: the gadget's receive
# side (its line discipline's 4 KiB and the requests in flight: about 3980
# bytes, see "driver: one-byte writes taken") and cdc-acm's 16 write URBs of
# one byte each. A board that stops reading K bytes before the end, with K
# just above the gadget's hold, lets every write of the upload complete and
# leaves the last few bytes in the URBs: only the wait for the output to
# drain can see that they never left. The gadget's hold varies by a few bytes
# from run to run, so K climbs in steps smaller than the URBs' 16 bytes
# until the upload fails; when a write blocked instead (the hold was smaller
# that time), its count shows the hold, and K aims at the middle of the URBs
# beyond it. A K too small lets every byte leave the host (the
# board then keeps them unread and never answers: that upload did send all
# its bytes). The stop must be reported with a count the board can have
# received: no more than it took (an upload whose drain failed unnoticed
# never gets there), and once the drain's deadlock time-out (30 s) ran out:
# not sooner, and not much later (the close then waits 30 s in the driver).
sc_stall_at_end() {
  size=8192 k=3980 tries=0
  while [ $tries -lt 12 ]; do
    tries=$((tries + 1))
    start_sim board 0 --stall-after $((size - k))
    t0=$(date +%s)
    rm -f /tmp/out /tmp/st
    hp_bg /tmp/8k.bin
    until grep -q '^ERROR' /tmp/out 2>/dev/null || [ -e /tmp/st ]; do sleep 0.1; done
    reported=$(( $(date +%s) - t0 ))
    n=$(sed -n 's/^ERROR, Upload stopped after \([0-9]*\) of.*/\1/p' /tmp/out)
    blocked=$([ -n "$n" ] && [ "$n" -gt $((size - k)) ] && echo 1)
    # A blocked write has shown what it can: spare the 30 s its close waits.
    if [ -n "$blocked" ]; then kill $(pidof hiltpush); wait $HP_PID; ST=2; else hp_wait; fi
    took=$(( $(date +%s) - t0 ))
    stop_sims; unplug; plug      # the held bytes go with the gadget
    grep -q "stalled after $((size - k)) of $size" /tmp/board.err || { fail "the board never stalled"; return; }
    [ "$ST" = 0 ] && { k=$((k + 4)); continue; }
    [ -n "$blocked" ] || break
    k=$((n - size + k - 8))
  done
  say "stall-at-end: the board stopped $k bytes before the end ($tries tries); that run took $took s, the stop shown after $reported s"
  [ "$reported" -ge 30 ] && [ "$reported" -le 60 ] ||
    fail "the stop was shown $reported s after the start, not once the drain's 30 s ran out"
  say "stall-at-end: $(grep '^ERROR' /tmp/out)"
  status_is 2
  grep -q "^ERROR, Upload stopped after [0-9]* of $size bytes: ." /tmp/out ||
    fail "no line \"ERROR, Upload stopped after N of $size bytes: ...\""
  lacks_text "Write Complete"
  n=$(sed -n 's/^ERROR, Upload stopped after \([0-9]*\) of.*/\1/p' /tmp/out)
  [ -n "$n" ] && [ "$n" -le $((size - k)) ] ||
    fail "the report counts ${n:-no} bytes as received, the board took $((size - k)): the drain's failure went unnoticed"
}

# --- Unplugged at random points ------------------------------------------------
# Whenever the board goes away: status 0 only with a complete, identical copy
# on it, an end soon after, and the port, plugged in again, takes the next
# upload. The points come from a seed the rig prints (HP_USB_RIG_SEED=S
# repeats them), in four kinds:
#   data   the board hangs up after N bytes, N anywhere before the last 64;
#   tail   the same within the last 64 bytes: hiltpush may be sending its last
#          bytes, waiting for them to drain, or waiting for the closing reply;
#   reply  the board stops taking bytes within the last 64, which the gadget
#          still takes in: pulled once hiltpush waits for the closing reply;
#   drain  the board stops taking bytes so near the end that every write
#          completes but the last bytes stay in cdc-acm's URBs (see
#          stall-at-end): pulled while hiltpush waits for them to drain.
#          That K follows what the last one showed: the gadget's hold varies.
# Pulling the cable is the gadget's pull-up switched off: the host sees the
# device leave at once (data and tail: as soon as the simulator has gone).
rnd() { RS=$(( (RS * 1103515245 + 12345) % 2147483648 )); R=$(( (RS >> 8) % $1 )); }
now_cs() { read -r up _ </proc/uptime; echo "${up%.*}${up#*.}"; }
# WHERE: what hiltpush is doing, read without starting a process: drain
# (watching its output queue, or tcdrain), reply (a read bounded by the
# reply time-out, or one waiting it out on a hung-up port), send, or ended.
where() {
  WHERE=send
  [ -e /tmp/st ] && { WHERE=ended; return; }
  n=0
  while [ $n -lt 50 ] && read -r nr a1 a2 a3 _ </proc/$HPID/syscall && [ "$nr" = running ]; do n=$((n + 1)); done
  case "$nr $a1 $a2" in
    "7 0x0 0x0" | "16 "*" 0x5409") WHERE=drain ;;
    "7 "*" 0x1") [ $((a3)) -le 500 ] && WHERE=reply ;;
    "230 "*) WHERE=reply ;;
  esac
}
# watch UNTIL: once the data flows, until hiltpush is at one of UNTIL, or
# has ended, or its writes stay stuck for half a second (WHERE=blocked).
watch() {
  wait_for /tmp/out "OK, Write p.bin" 60 || return
  i=0 same=0 last=
  while [ $i -lt 1500 ]; do
    where
    case " $1 ended " in *" $WHERE "*) return ;; esac
    while read -r k v; do [ "$k" = wchar: ] && w=$v; done </proc/$HPID/io
    if [ "$w" = "$last" ]; then same=$((same + 1)); else same=0; fi
    last=$w
    [ $same -ge 25 ] && { WHERE=blocked; return; }
    sleep 0.02; i=$((i + 1))
  done
}
sc_random_unplug() {
  soft=$(ls /sys/class/udc/*/soft_connect | head -1)
  RS=$SEED K=3994 points=0 tries=0 missed=0 wheres=""
  say "random-unplug: seed $SEED (HP_USB_RIG_SEED=$SEED repeats it)"
  while [ $points -lt 16 ] && [ $tries -lt 24 ]; do
    tries=$((tries + 1))
    set -- data tail reply drain; shift $((points % 4)); kind=$1
    rnd 64; j=$((R + 1))
    case $kind in
      data) rnd 8000; size=$((R + 100)); rnd $((size - 64)); at=$R ;;
      drain) rnd 1000; at=$R size=$((R + K + j % 7 - 3)) ;;
      *) rnd 4000; size=$((R + 1000)) at=$((size - j)) ;;
    esac
    head -c $size /tmp/all.bin >/tmp/p.bin
    case $kind in
      data | tail) start_sim board 0 --hang-up-after $at ;;
      *) start_sim board 0 --stall-after $at ;;
    esac
    sim=${SIMS##* }
    hp_bg /tmp/p.bin
    HPID=; i=0
    while [ -z "$HPID" ] && [ $i -lt 100 ]; do HPID=$(pidof hiltpush); sleep 0.05; i=$((i + 1)); done
    case $kind in
      reply) watch reply ;;
      drain) watch "drain reply" ;;
      *)
        ( sleep 60; kill $sim ) 2>/dev/null &
        dog=$!
        wait $sim
        where
        kill $dog 2>/dev/null
        grep -q "hanging up after $at of" /tmp/board.err || fail "seed $SEED: the board never got to byte $at"
        ;;
    esac
    [ -e /tmp/st ] && WHERE=ended
    echo disconnect >$soft
    pulled=$(now_cs)
    hp_wait
    took=$(( $(now_cs) - pulled ))
    stop_sims; unplug; plug || return
    point="seed $SEED point $((points + 1)) ($kind, the board gone at byte $at of $size, hiltpush $WHERE)"
    case $kind:$WHERE in
      drain:blocked) K=$((K - 6)) ;;
      drain:reply | drain:ended) K=$((K + 6)) ;;
    esac
    if [ $WHERE = ended ]; then
      say "random-unplug: $point: hiltpush had ended before the unplug (status $ST); drawing another"
      missed=$((missed + 1))
      continue
    fi
    points=$((points + 1)) wheres="$wheres $WHERE"
    say "random-unplug: $point: status $ST, ended $((took * 10)) ms after the unplug: $(grep -a '^ERROR' /tmp/out)"
    grep -qxF "OK, Write p.bin" /tmp/out || fail "$point: the port did not take the upload"
    [ $took -le 1000 ] || fail "$point: it ended $((took / 100)) s after the unplug"
    case $ST in
      0) cmp -s /tmp/p.bin /tmp/board.flash/p.bin || fail "$point: status 0 without a complete copy on the board" ;;
      2) grep -q "^ERROR, Upload stopped after [0-9]* of $size bytes: ." /tmp/out ||
           fail "$point: status 2 without \"ERROR, Upload stopped after N of $size bytes: ...\"" ;;
      *) fail "$point: status $ST" ;;
    esac
  done
  count() { echo "$wheres" | tr ' ' '\n' | grep -c "^$1\$"; }
  say "random-unplug: seed $SEED: $points points ($missed missed); hiltpush was sending at $(count send)," \
    "blocked at $(count blocked), draining at $(count drain), awaiting the reply at $(count reply)"
  [ $points -ge 12 ] || fail "seed $SEED: only $points points in $tries tries"
  for w in drain reply; do [ "$(count $w)" -gt 0 ] || fail "seed $SEED: no point found hiltpush at $w"; done
  start_sim board 0
  hp /tmp/8k.bin
  status_is 0
  same_file /tmp/8k.bin /tmp/board.flash/8k.bin
}

# --- Ordinary users -----------------------------------------------------------------------
sc_exclusive_open() {
  # The second port is served (silently): a port whose far end nobody has
  # open leaves the question in cdc-acm's URBs, and closing it then waits
  # 30 s, longer than the first upload lasts.
  start_sim board 0
  start_sim other 1 --silent
  rm -f /tmp/first.st
  ( timeout $T su -s /bin/sh saber -c "$HP -s /tmp/all.bin" >/tmp/first.out 2>&1; echo $? >/tmp/first.st ) &
  first=$!
  wait_for /tmp/first.out "Remaining, Bytes" 60 || return
  # Without the lock, only the exclusive mode keeps out a program that does
  # not ask for one (a modem manager, a terminal program); it holds for
  # ordinary users only.
  timeout 5 su -s /bin/sh saber -c "cat /dev/ttyACM0" >/tmp/cat.out 2>&1
  cat_st=$?
  say "cat /dev/ttyACM0 as saber while hiltpush holds it: status $cat_st: $(cat /tmp/cat.out)"
  grep -q "Device or resource busy" /tmp/cat.out || fail "cat as saber was let in while hiltpush held the port"
  t0=$(date +%s)
  as saber -i
  say "exclusive-open: the second run took $(( $(date +%s) - t0 )) s"
  picture "a second hiltpush while the first uploads (user saber)"
  status_is 2
  has_line "hiltpush: /dev/ttyACM0: Device or resource busy"
  has_line 'hiltpush: another program holds /dev/ttyACM0 (a terminal program, ModemManager, another hiltpush); "fuser -v /dev/ttyACM0" or "lsof /dev/ttyACM0" shows which'
  has_line "No Writable Ilvara Sabers Found."
  [ -e /tmp/first.st ] && fail "the first upload ended before the checks: they prove nothing"
  wait $first
  cp /tmp/first.out /tmp/out
  ST=$(cat /tmp/first.st)
  status_is 0
  has_line "OK, Write Complete, 307200 Bytes"
  same_file /tmp/all.bin /tmp/board.flash/all.bin
}
sc_port_held_by_another_program() {
  start_sim board 0
  start_sim other 1 --silent
  cat /dev/ttyACM0 >/tmp/cat.out &
  holder=$!
  sleep 0.5
  hp -i
  picture "hiltpush -i while \"cat /dev/ttyACM0\" holds the port"
  kill $holder; wait $holder 2>/dev/null
  say "what cat read meanwhile: $(tr '\n' '|' </tmp/cat.out)"
  [ "$ST" -lt 124 ] || fail "hiltpush hung"
}
sc_permission_denied() {
  start_sim board 0
  as guest /tmp/one.bin
  picture "hiltpush one.bin as a user outside group dialout"
  status_is 2
  has_line "hiltpush: /dev/ttyACM0: Permission denied"
  has_line 'hiltpush: /dev/ttyACM0 belongs to the group dialout; join it with "sudo usermod -aG dialout $USER" and log in again'
  has_line "No Writable Ilvara Sabers Found."
  [ -e /tmp/board.flash/one.bin ] && fail "the upload went through"
}

# What the driver itself shows, for the record: its counters, and what
# one-byte writes get into it while the gadget side is open but not read.
driver_facts() {
  stty -F /dev/ttyGS0 raw -echo
  sleep 600 </dev/ttyGS0 &
  holder=$!
  /rig/tty_probe /dev/ttyACM0 200000 | sed 's/^/RIG| driver: ttyACM0: /'
  kill $holder; wait $holder 2>/dev/null
  stop_sims; unplug; plug
}

echo
plug
selected driver-facts && driver_facts
for s in upload-empty upload-one-byte upload-hum-wav upload-300k-all-bytes \
         info list slist trans erase-all discovery-silent-first discovery-chatty-first \
         unplug-during-upload unplug-during-verification unplug-during-listing unplug-during-erase \
         stall-at-end random-unplug exclusive-open port-held-by-another-program permission-denied; do
  run $s
done
