#!/usr/bin/env bash
# What a person sees in a terminal: the program runs in a tmux pane and the
# pane's screen is read back.
#   screen_test.sh upload SABER_SIM HILTPUSH [wine]
#       an upload of café.wav: the board's reply shows é, the escape
#       sequences in its serial number are shown as text (the screen is not
#       cleared, the title not set), the progress line leaves nothing behind,
#       a key typed at the prompt ends the run
#       (wine: HILTPUSH is hiltpush.exe, run by Wine's own console in the
#       pane, ANSI code page 1252; WINEPREFIX of the running Wine rig)
#   screen_test.sh demo SOURCE_DIR BUILD_DIR
#       scripts/demo beside a saber: Enter alone at its question leaves the
#       saber alone
set -u
mode=$1
export LC_ALL=C.UTF-8   # the pane's text is UTF-8; Wine takes code page 1252
unset TMUX
t=$(mktemp -d "${TMPDIR:-/tmp}/hiltpush-screen.XXXXXX")
sock=hiltpush-screen-$$-${t##*.}
simpid=
cleanup() {
    tmux -L "$sock" kill-server 2>/dev/null
    [ -z "$simpid" ] || { kill "$simpid"; wait "$simpid"; } 2>/dev/null
    # Ours until the simulator took it over (and removed it on its way out).
    [ "$(readlink "${WINEPREFIX:-}/dosdevices/com${com:-}")" != /dev/null ] || rm -f "$WINEPREFIX/dosdevices/com$com"
    rm -rf "$t"
}
trap cleanup EXIT
tm() { tmux -u -L "$sock" -f "$t/tmux.conf" "$@"; }
screen() { tm capture-pane -p -S - -E - -t hp; }
fail() { echo "FAIL: $*"; echo "the screen:"; screen | sed 's/^/  | /'; exit 1; }
# Polls the screen (with its scroll-back) until it holds TEXT.
wait_screen() {
    local end=$((SECONDS + $2)) s
    while s=$(screen) && ! grep -qF -- "$1" <<<"$s"; do
        grep -qF "[exit " <<<"$s" && fail "the run ended without \"$1\" on the screen"
        [ $SECONDS -lt $end ] || fail "no \"$1\" on the screen within $2 s"
        sleep 0.2
    done
}
# Starts a board simulator; its first output line says it serves.
start_sim() {
    mkfifo "$t/ready"
    "$@" >"$t/ready" 2>"$t/sim.err" &
    simpid=$!
    read -r port <"$t/ready" || { cat "$t/sim.err"; exit 1; }
}
# The pane keeps its last screen after the command ended, with the status.
printf 'set -g remain-on-exit on\nset -g history-limit 5000\n' >"$t/tmux.conf"
pane() { tm new-session -d -s hp -x 120 -y 50 -c "$t" "$1; echo \"[exit \$?]\"" || exit 1; }

if [ "$mode" = demo ]; then
    root=$2 build=$3
    start_sim "$build/saber-sim" --device-map "$t/map" --flash "$t/saber" --log "$t/wire.log"
    pane "HILTPUSH_SERIALCOMM='$t/map' BUILD_DIR='$build' '$root/scripts/demo'"
    wait_screen "[y/N]" 120
    tm send-keys -t hp Enter
    wait_screen "[exit " 300
    if grep -q 'port opened' "$t/wire.log" || [ -n "$(ls -A "$t/saber")" ]; then
        fail "Enter alone at the question let scripts/demo open the saber's port $port"
    fi
    screen | grep -qx '\[exit 0\]' || fail "scripts/demo did not end with status 0"
    screen | grep -q '^Uploading to the board simulator' || fail "no line says the simulator is used"
    echo "PASS: Enter alone at the demo's question leaves the saber alone"
    exit 0
fi

sim=$(realpath "$2") exe=$(realpath "$3") wine=${4:-}
head -c 12288 /dev/urandom >"$t/café.wav"
# A serial number that retitles the window, rings and clears the screen.
serial='12\x1b]0;owned\x07\x1b[2J34'
shown_serial='S=12\x1B]0;owned\x07\x1B[2J34'
if [ -n "$wine" ]; then
    # A COM number of our own (taken atomically), then the simulator
    # enters it in the registry.
    com=$(python3 "$HP_WINE_RIG" add-com /dev/null) || exit 1
    com=${com#COM}
    start_sim "$sim" --wine-prefix "$WINEPREFIX" --com "$com" --flash "$t/flash" --serial "$serial"
    run="wine '$exe'"
    stored=$'caf\xe9.wav'   # the name in code page 1252, as the board got it
else
    start_sim "$sim" --device-map "$t/map" --flash "$t/flash" --serial "$serial"
    run="HILTPUSH_SERIALCOMM='$t/map' '$exe'"
    stored=café.wav
fi
# The program starts once everything it draws is recorded as well.
pane "tmux -L '$sock' wait-for go; $run café.wav"
tm pipe-pane -t hp -o "cat >>'$t/drawn'"
tm wait-for -S go
wait_screen "==PRESS ANY KEY TO FINISH==" 300
screen | grep -qF "[exit " && fail "the key wait ended before a key was pressed"
# A key typed while the prompt is drawn but before the wait began is
# discarded as typed-ahead; another follows until the run ends. (Wine's
# console passes its first key on only seconds later.)
end=$((SECONDS + 180))
until screen | grep -qF "[exit "; do
    [ $SECONDS -lt $end ] || fail "no key sent to the terminal ended the key wait"
    tm send-keys -t hp x
    for _ in $(seq 25); do screen | grep -qF "[exit " && break; sleep 0.2; done
done

shown=$(screen)
grep -qx '\[exit 0\]' <<<"$shown" || fail "the upload did not end with status 0"
grep -qF "Remaining, Bytes: " "$t/drawn" || fail "no progress line was drawn"
# The progress line is rewritten in one row and blanked: the board's
# acceptance, an empty row, its closing reply.
grep -A2 -x 'OK, Write café.wav' <<<"$shown" | tr '\n' '|' |
    grep -qx 'OK, Write café.wav||OK, Write Complete, 12288 Bytes|' ||
    fail "not the board's acceptance (é included), one blanked row and its closing reply"
grep -E 'Remaining|Bytes: [0-9]+,|Time [0-9]' <<<"$shown" && fail "progress fragments stayed on the screen"
grep -qxF "$shown_serial" <<<"$shown" || fail "the board's serial number is not shown as text: $shown_serial"
[ "$(tm display-message -p -t hp '#{pane_title}')" != owned ] || fail "the board set the window's title"
cmp -s "$t/café.wav" "$t/flash/$stored" || fail "the board does not hold café.wav as sent"
echo "PASS: the upload's screen, é and the board's escapes as text included, and a key ends the run"
