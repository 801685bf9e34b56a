#!/bin/sh
# scripts/demo beside an attached saber (a second simulator that the device
# map names): without --board the demo must use its own simulator and never
# open the saber's port; with --board the file must land on the saber, which
# shows that the first run could have reached it.
# Usage: board_only_when_asked.sh SOURCE_DIR BUILD_DIR
set -eu
root=$1 build=$2
t=$(mktemp -d "${TMPDIR:-/tmp}/hiltpush-demo-check.XXXXXX")
simpid=
trap '[ -z "$simpid" ] || { kill "$simpid"; wait "$simpid"; } 2>/dev/null; rm -rf "$t"' EXIT
fail() { echo "FAIL: $*"; sed 's/^/  | /' "$t/out"; exit 1; }

mkfifo "$t/ready"
"$build/saber-sim" --device-map "$t/map" --flash "$t/flash" --log "$t/wire.log" >"$t/ready" 2>"$t/sim.err" &
simpid=$!
exec 3<"$t/ready"
read -r port <&3
demo() { HILTPUSH_SERIALCOMM="$t/map" BUILD_DIR="$build" "$root/scripts/demo" "$@" </dev/null >"$t/out" 2>&1; }

demo || fail "scripts/demo ended with status $?"
if grep -q 'port opened' "$t/wire.log" || [ -n "$(ls -A "$t/flash")" ]; then
    fail "scripts/demo without --board opened the saber's port $port"
fi
grep -q '^Uploading to the board simulator' "$t/out" || fail "no line says the simulator is used"

demo --board "$root/assets/font/on.wav" || fail "scripts/demo --board ended with status $?"
grep -q "^Uploading to the saber on $port" "$t/out" || fail "no line names the saber's port $port"
cmp "$root/assets/font/on.wav" "$t/flash/on.wav" || fail "scripts/demo --board did not upload to the saber"
echo "PASS: the saber is written only with --board"
