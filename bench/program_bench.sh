#!/bin/sh
# Programming throughput against a paced virtual board (model 3): a binary
# image is programmed at 0x03F00000 at 115200 baud and at 9600 baud, and for
# each run this prints the elapsed time, the bytes that crossed the wire, the
# ratio of the elapsed time to the wire-time lower bound (bytes x 10 / baud)
# and TORVEX's CPU seconds. The flash image is compared with the file. The
# 115200 run is repeated with verify=on, and the difference is printed as the
# cost of verify (one compare exchange per programmed block, tables included).
#
# A full 512 KB image takes about ten minutes at 9600 baud, so the 9600 run
# programs BENCH_SLOW_KB (default 32) KB unless told otherwise:
#   BENCH_KB=512 BENCH_SLOW_KB=512 ./bench/program_bench.sh
# BENCH_SLOW_KB=0 skips the 9600 run.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/${BUILD:-build}"
board="$build/torvex-target"
torvex="$build/torvex"
fast_kb=${BENCH_KB:-512}
slow_kb=${BENCH_SLOW_KB:-32}
if [ ! -x "$board" ] || [ ! -x "$torvex" ]; then
    echo "program_bench: build first (make)" >&2
    exit 1
fi

work=$(mktemp -d)
. "$root/tools/board_lib.sh"
cleanup() {
    board_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_board() {   # $1 baud, $2 run name
    board_start program_bench "$work/board.out" "$work/board-$2.err" --link "$work/com1" --board 3 \
        --baud "$1" --pace --trace "$work/trace-$2.jsonl" --image "$work/flash-$2.img"
}

# Frames both ways count their full size; ACK, NAK and poll bytes one each.
wire_bytes() {
    awk '
        /"ev":"(rx_frame|tx_frame)"/ {
            if (match($0, /"size":[0-9]+/)) total += substr($0, RSTART + 7, RLENGTH - 7)
        }
        /"ev":"(rx_ack|tx_ack|rx_nak|tx_nak|rx_poll)"/ { total += 1 }
        END { print total + 0 }' "$1"
}

now() { date +%s.%N; }

run() {   # $1 baud, $2 size in KB, $3 extra words for the program command
    baud=$1
    kb=$2
    extra=${3:-}
    name="${baud}_$kb${extra:+_verify}"
    run_dir="$work/$name"
    mkdir -p "$run_dir"
    image="$run_dir/bench.bin"
    head -c $((kb * 1024)) /dev/urandom > "$image"
    start_board "$baud" "$name"
    t0=$(now)
    # One command a line: an init that finds a blank board's tables invalid
    # ends the rest of its line.
    printf 'baud=%s\ninit com1\nprogram bench.bin addr=3f00000 %s\nexit\n' "$baud" "$extra" > "$work/in-$name"
    (cd "$run_dir" && TORVEX_COM1="$work/com1" /usr/bin/time -f "%U %S" -o "$work/cpu-$name" \
        "$torvex" < "$work/in-$name" > "$work/torvex-$name.out" 2>&1) || true
    t1=$(now)
    board_stop
    if ! grep -q 'Flash programming complete' "$work/torvex-$name.out"; then
        echo "program_bench: programming failed at $baud baud:" >&2
        cat "$work/torvex-$name.out" >&2
        exit 1
    fi
    if ! cmp -s -n $((kb * 1024)) "$image" "$work/flash-$name.img"; then
        echo "program_bench: flash differs from the image at $baud baud" >&2
        exit 1
    fi
    if [ -n "$extra" ] && ! grep -q '"name":"compare_ram"' "$work/trace-$name.jsonl"; then
        echo "program_bench: $extra sent no compare at $baud baud" >&2
        exit 1
    fi
    run_bytes=$(wire_bytes "$work/trace-$name.jsonl")
    run_elapsed=$(awk -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.3f", t1 - t0 }')
    awk -v baud="$baud" -v kb="$kb" -v elapsed="$run_elapsed" -v bytes="$run_bytes" \
        -v cpu="$(cat "$work/cpu-$name")" -v extra="$extra" 'BEGIN {
        split(cpu, c, " ")
        bound = bytes * 10 / baud
        printf "%6d baud  %4d KB  elapsed %8.2f s  wire bytes %8d  lower bound %8.2f s  ratio %5.2f  TORVEX CPU %6.2f s  %s\n",
               baud, kb, elapsed, bytes, bound, elapsed / bound, c[1] + c[2], extra
    }'
}

echo "Programming a binary image into a paced board 3 (init, program, exit):"
run 115200 "$fast_kb"
plain_bytes=$run_bytes
plain_elapsed=$run_elapsed
run 115200 "$fast_kb" verify=on
awk -v kb="$fast_kb" -v b0="$plain_bytes" -v b1="$run_bytes" -v t0="$plain_elapsed" -v t1="$run_elapsed" 'BEGIN {
    printf "verify=on costs %d wire bytes (%.3f s of wire time at 115200) and %+.2f s elapsed for %d KB (%+.3f%% bytes)\n",
           b1 - b0, (b1 - b0) * 10 / 115200, t1 - t0, kb, (b1 - b0) * 100 / b0
}'
if [ "$slow_kb" -gt 0 ]; then
    run 9600 "$slow_kb"
fi
