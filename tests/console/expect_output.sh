#!/bin/sh
# Runs a program with standard input from /dev/null and compares its standard
# output, byte for byte, with an expected text whose lines end in LF.
#   expect_output.sh EXPECTED EXE_NAME LF|CRLF RC -- program [args...]
# EXE_NAME replaces @EXE@ in the expected text; CRLF turns every LF into CR LF.
# HP_EXPECT_STDERR, when set, is a text that standard error must hold.
set -u
expected=$1 exe_name=$2 line_end=$3 want_rc=$4
shift 5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s/@EXE@/$exe_name/" "$expected" >"$work/want"
if [ "$line_end" = CRLF ]; then
    sed 's/$/\r/' "$work/want" >"$work/want.crlf" && mv "$work/want.crlf" "$work/want"
fi
timeout 60 "$@" </dev/null >"$work/got" 2>"$work/err"
rc=$?
status=0
if [ "$rc" != "$want_rc" ]; then
    echo "exit status $rc, expected $want_rc"
    status=1
fi
if ! cmp -s "$work/want" "$work/got"; then
    echo "output differs (expected, then got):"
    od -c "$work/want" | head -40
    echo ---
    od -c "$work/got" | head -40
    status=1
fi
if [ -n "${HP_EXPECT_STDERR:-}" ] && ! grep -qF -- "$HP_EXPECT_STDERR" "$work/err"; then
    echo "standard error lacks: $HP_EXPECT_STDERR"
    status=1
fi
if [ -s "$work/err" ]; then
    echo "stderr:"
    cat "$work/err"
fi
[ $status = 0 ] && echo "output and exit status as expected"
exit $status
