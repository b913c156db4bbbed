#!/bin/sh
# Hex file reading: TORVEX's checkhex against GNU objcopy (-I ihex -O binary)
# on the same Intel hex files, made by objcopy from random images of
# BENCH_HEX_MB (default "16 128") MiB. For each size it prints the median of
# three runs of each, their ratio (target: at most 0.5) and TORVEX's peak
# memory (max RSS, target: below 16 MB whatever the size).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
torvex="$root/${BUILD:-build}/torvex"
sizes=${BENCH_HEX_MB:-16 128}
if [ ! -x "$torvex" ]; then
    echo "hex_bench: build first (make)" >&2
    exit 1
fi
for tool in objcopy /usr/bin/time; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "hex_bench: $tool is needed" >&2
        exit 1
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# Prints "seconds max-RSS-KB" of one run of the command with standard input
# from $work/in, in $work; output is dropped.
measure() {
    t0=$(date +%s.%N)
    (cd "$work" && /usr/bin/time -f "%M" -o "$work/rss" "$@" < "$work/in" > /dev/null 2>&1)
    t1=$(date +%s.%N)
    awk -v t0="$t0" -v t1="$t1" -v rss="$(cat "$work/rss")" 'BEGIN { printf "%.4f %d\n", t1 - t0, rss }'
}

median3() {   # $1..$3: numbers
    printf '%s\n%s\n%s\n' "$1" "$2" "$3" | sort -g | sed -n 2p
}

echo "Reading Intel hex: checkhex against objcopy -I ihex -O binary (median of 3 runs):"
for mb in $sizes; do
    head -c $((mb * 1048576)) /dev/urandom > "$work/image.bin"
    objcopy -I binary -O ihex "$work/image.bin" "$work/image.hex"
    rm -f "$work/image.bin"
    cat "$work/image.hex" > /dev/null   # both start from a warm cache
    printf 'checkhex image.hex\nexit\n' > "$work/in"
    t=""
    o=""
    rss=0
    for i in 1 2 3; do
        set -- $(measure "$torvex")
        t="$t $1"
        [ "$2" -gt "$rss" ] && rss=$2
        set -- $(measure objcopy -I ihex -O binary "$work/image.hex" "$work/out.bin")
        o="$o $1"
        rm -f "$work/out.bin"
    done
    if ! (cd "$work" && "$torvex" < in) | grep -q '^Hex file OK'; then
        echo "hex_bench: checkhex failed on the $mb MiB file" >&2
        exit 1
    fi
    tm=$(median3 $t)
    om=$(median3 $o)
    awk -v mb="$mb" -v hex="$(wc -c < "$work/image.hex")" -v t="$tm" -v o="$om" -v rss="$rss" 'BEGIN {
        printf "%4d MiB image (%5.1f MB of hex)  checkhex %6.3f s  objcopy %6.3f s  ratio %5.2f  checkhex max RSS %5.1f MB\n",
               mb, hex / 1e6, t, o, (o > 0 ? t / o : 0), rss / 1024
    }'
    rm -f "$work/image.hex"
done
