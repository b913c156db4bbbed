#!/bin/sh
# Link soak: a random binary image is programmed into an unpaced virtual board
# (model 3) that corrupts the bytes it sends with a given probability. Prints
# the total time, the longest stall (the largest gap between two requests the
# board took in, from its trace: the longest the run made no progress),
# TORVEX's CPU seconds and whether the flash came out byte-exact.
#   SOAK_KB=256 SOAK_RATE=1e-3 SOAK_SEED=1 ./bench/link_soak.sh
# BUILD names the build directory (default build; may be absolute); SOAK_KEEP=1
# keeps the scratch directory (trace, output) for a look afterwards.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
kb=${SOAK_KB:-256}
rate=${SOAK_RATE:-1e-3}
seed=${SOAK_SEED:-1}
if [ ! -x "$build/torvex-target" ] || [ ! -x "$build/torvex" ]; then
    echo "link_soak: build first (make)" >&2
    exit 1
fi

work=$(mktemp -d)
board_pid=
cleanup() {
    if [ -n "$board_pid" ]; then
        kill "$board_pid" 2>/dev/null || true
        wait "$board_pid" 2>/dev/null || true
    fi
    if [ -n "${SOAK_KEEP:-}" ]; then echo "link_soak: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

head -c $((kb * 1024)) /dev/urandom > "$work/soak.bin"
"$build/torvex-target" --link "$work/com1" --board 3 --out-corrupt-rate "$rate" \
    --seed "$seed" --trace "$work/trace.jsonl" --image "$work/flash.img" \
    < /dev/null > "$work/board.out" 2> "$work/board.err" &
board_pid=$!
tries=0
until grep -q '^READY' "$work/board.out"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "link_soak: the board did not start" >&2
        cat "$work/board.err" >&2
        exit 1
    fi
    sleep 0.05
done

printf 'init com1\nprogram soak.bin addr=3f00000\nexit\n' > "$work/in"
t0=$(date +%s.%N)
(cd "$work" && TORVEX_COM1="$work/com1" /usr/bin/time -f "%U %S" -o "$work/cpu" \
    "$build/torvex" < "$work/in" > "$work/torvex.out" 2>&1) || true
t1=$(date +%s.%N)
kill "$board_pid" 2>/dev/null || true
wait "$board_pid" 2>/dev/null || true
board_pid=

if grep -q 'Flash programming complete' "$work/torvex.out" &&
    cmp -s -n $((kb * 1024)) "$work/soak.bin" "$work/flash.img"; then
    outcome="byte-exact"
else
    outcome="failed: $(grep -m1 -i 'FAILED\|hung up\|stalled\|blocked' "$work/torvex.out" || echo 'no message')"
fi
stall=$(awk '/"ev":"rx_frame"/ && match($0, /"t_ms":[0-9]+/) {
        t = substr($0, RSTART + 7, RLENGTH - 7) + 0
        if (seen && t - last > gap) gap = t - last
        last = t; seen = 1
    } END { printf "%.1f", gap / 1000 }' "$work/trace.jsonl")
awk -v kb="$kb" -v rate="$rate" -v t0="$t0" -v t1="$t1" -v stall="$stall" \
    -v cpu="$(cat "$work/cpu")" -v outcome="$outcome" 'BEGIN {
    split(cpu, c, " ")
    printf "%d KB  out-corrupt %s  total %.1f s  longest stall %s s  TORVEX CPU %.2f s  %s\n",
           kb, rate, t1 - t0, stall, c[1] + c[2], outcome
}'
