#!/bin/sh
# Link soak, one run: a pseudo-random binary image is programmed into an unpaced
# virtual board (model 3) whose line suffers one fault with a given
# probability per byte: corrupt or drop (bytes the board receives),
# out-corrupt or out-drop (bytes it sends), none (the clean run). The flash
# is first programmed cleanly with another image, so a byte that is neither
# the old nor the new one is a wrong byte whatever became of the run.
#   SOAK_KB=256 SOAK_FAULT=out-corrupt SOAK_RATE=1e-3 SOAK_SEED=1 ./bench/link_soak.sh
# Prints the total time, the longest stall (the largest gap between two
# requests the board took in, from its trace: the longest the run made no
# progress), TORVEX's CPU seconds and the outcome: byte-exact, failed cleanly
# (a failure said, nothing wrong in flash, no temporary file left),
# WRONG BYTES, or NOT CLEAN (no success and no failure said, a crash, a
# run past SOAK_LIMIT seconds, or files left behind). SOAK_RAW=1 prints
# instead one line for bench/soak.sh: outcome wrong-bytes total-s stall-s.
# SOAK_BOARD_ARGS adds board options to the measured run: "--flash-fault
# 3F00010" (a byte the board leaves unprogrammed while saying it succeeded)
# shows the WRONG-BYTES verdict.
# BUILD names the build directory (default build; may be absolute); SOAK_KEEP=1
# keeps the scratch directory (trace, output) for a look afterwards.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
kb=${SOAK_KB:-256}
fault=${SOAK_FAULT:-out-corrupt}
rate=${SOAK_RATE:-1e-3}
seed=${SOAK_SEED:-1}
limit=${SOAK_LIMIT:-300}
if [ ! -x "$build/torvex-target" ] || [ ! -x "$build/torvex" ]; then
    echo "link_soak: build first (make)" >&2
    exit 1
fi
case "$fault" in
    none) fault_args= ;;
    corrupt | drop | out-corrupt | out-drop) fault_args="--$fault-rate $rate" ;;
    *) echo "link_soak: SOAK_FAULT is none, corrupt, drop, out-corrupt or out-drop" >&2; exit 1 ;;
esac

work=$(mktemp -d)
board="$build/torvex-target"
. "$root/tools/board_lib.sh"
cleanup() {
    board_stop
    if [ -n "${SOAK_KEEP:-}" ]; then echo "link_soak: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the board on the flash image in $work with the given extra options.
start_board() {
    board_start link_soak "$work/board.out" "$work/board.err" --link "$work/com1" --board 3 \
        --seed "$seed" --trace "$work/trace.jsonl" --image "$work/flash.img" "$@"
}

run_torvex() {  # input file, output file; the exit status is left in $work/rc
    rc=0
    (cd "$work/run" && TORVEX_COM1="$work/com1" /usr/bin/time -f "%U %S" -o "$work/cpu" \
        timeout "$limit" "$build/torvex" < "$1" > "$2" 2>&1) || rc=$?
    echo "$rc" > "$work/rc"
}

# The images follow from the seed, so a run can be repeated as it was.
image() {
    awk -v n=$((kb * 1024)) -v seed="$1" 'BEGIN { srand(seed); for (i = 0; i < n; i++) printf "%c", int(rand() * 256) }'
}
mkdir "$work/run"
image $((seed * 2 + 1)) > "$work/run/old.bin"
image $((seed * 2 + 2)) > "$work/run/soak.bin"
start_board
printf 'init com1\nprogram old.bin name=old addr=3f00000\ndelete old\nexit\n' > "$work/in.old"
run_torvex "$work/in.old" "$work/old.out"
board_stop
if ! grep -q 'Flash programming complete' "$work/old.out"; then
    echo "link_soak: the clean programming of the first image failed" >&2
    cat "$work/old.out" >&2
    exit 1
fi

rm -f "$work/trace.jsonl"
# shellcheck disable=SC2086
start_board $fault_args ${SOAK_BOARD_ARGS:-}
printf 'init com1\nprogram soak.bin addr=3f00000\nexit\n' > "$work/in"
t0=$(date +%s.%N)
run_torvex "$work/in" "$work/torvex.out"
t1=$(date +%s.%N)
board_stop

# Wrong bytes: after a success, every byte not the new image's; after a
# failure, in each flash block (64 KB here) that is neither wholly old nor
# wholly new, the bytes that differ from the nearer of the two.
differ() { { cmp -l -n $((kb * 1024)) "$1" "$work/flash.img" || true; } | awk '{ print $1 - 1 }'; }
differ "$work/run/soak.bin" > "$work/diff.new"
differ "$work/run/old.bin" > "$work/diff.old"
completed=$(grep -c 'Flash programming complete' "$work/torvex.out" || true)
wrong=$(awk -v done="$completed" '{ f = FILENAME == ARGV[1] ? 1 : 2; n[f, int($1 / 65536)]++; any[int($1 / 65536)] = 1; all[f]++ }
    END {
        if (done > 0) { print all[1] + 0; exit }
        for (b in any) { x = n[1, b] + 0; y = n[2, b] + 0; w += x < y ? x : y }
        print w + 0
    }' "$work/diff.new" "$work/diff.old")
leftovers=$(find "$work/run" -name '*.~~~' | wc -l)
said=$(grep -c -i 'FAILED\|hung up\|blocked\|aborted' "$work/torvex.out" || true)
rc=$(cat "$work/rc")
if [ "$wrong" -gt 0 ]; then
    outcome=WRONG-BYTES
elif [ "$rc" -ge 124 ] || [ "$leftovers" -gt 0 ]; then
    outcome=NOT-CLEAN
elif [ "$completed" -gt 0 ]; then
    outcome=byte-exact
elif [ "$completed" -eq 0 ] && [ "$said" -gt 0 ]; then
    outcome=failed-cleanly
else
    outcome=NOT-CLEAN
fi
stall=$(awk '/"ev":"rx_frame"/ && match($0, /"t_ms":[0-9]+/) {
        t = substr($0, RSTART + 7, RLENGTH - 7) + 0
        if (seen && t - last > gap) gap = t - last
        last = t; seen = 1
    } END { printf "%.1f", gap / 1000 }' "$work/trace.jsonl")
total=$(awk -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.1f", t1 - t0 }')
if [ -n "${SOAK_RAW:-}" ]; then
    echo "$outcome $wrong $total $stall"
    exit 0
fi
awk -v kb="$kb" -v fault="$fault" -v rate="$rate" -v total="$total" -v stall="$stall" \
    -v cpu="$(cat "$work/cpu" 2>/dev/null || echo 0 0)" -v outcome="$outcome" -v wrong="$wrong" 'BEGIN {
    split(cpu, c, " ")
    printf "%d KB  %s %s  total %s s  longest stall %s s  TORVEX CPU %.2f s  %s (%d wrong bytes)\n",
           kb, fault, rate, total, stall, c[1] + c[2], outcome, wrong
}'
