#!/bin/sh
# `make run`: a virtual board (model 3) on a pseudo-terminal and TORVEX
# attached to it as COM1, with the board's console as COM2, working in
# examples/. The board keeps its flash in build/board3-flash.img, so programs
# stay stored from one run to the next (delete the file for a blank board).
# The board stops when TORVEX ends.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/${BUILD:-build}"
board="$build/torvex-target"
torvex="$build/torvex"
if [ ! -x "$board" ] || [ ! -x "$torvex" ]; then
    echo "run-board: build first (make)" >&2
    exit 1
fi

link="$build/board-com1"
console="$build/board-com2"
image="$build/board3-flash.img"
trace="$build/board-trace.jsonl"
. "$root/tools/board_lib.sh"
trap board_stop EXIT
trap 'exit 130' INT TERM
board_start run-board "$build/board.out" "$build/board.err" --link "$link" --console "$console" \
    --board 3 --image "$image" --trace "$trace"

echo "Virtual board 3 on COM1 ($link), its console on COM2; flash kept in $image."
echo "Sample files: hello.hex, table.bin; type 'demo' to run demo.flc, 'exit' to leave."
cd "$root/examples"
status=0
TORVEX_COM1="$link" TORVEX_COM2="$console" "$torvex" "$@" || status=$?
# A failed command is part of the rehearsal, not a failure of `make run`.
case $status in
    0) ;;
    1) echo "TORVEX ended with status 1: a command failed during the session." ;;
    2) echo "TORVEX ended with status 2: a signal or lost output ended the session." ;;
    *) exit "$status" ;;
esac
