#!/usr/bin/env bash
# Benchmark (not a test): hiltpush's CPU per byte of an upload over the
# kernel's real USB serial driver (cdc-acm, in the tests/usb QEMU rig)
# against the one-write-per-byte floor (bench/floor_writer.cpp) over the same
# driver, to the same simulator, in the same VM. Prints the medians and their
# ratio. Needs a built native tree.
#
#   bench/usb_driver.sh [BUILD-DIR]     (default build/linux)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
exec tests/usb/usb_rig.sh --build "$build" --mode bench
