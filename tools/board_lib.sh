# Sourced by `make run` and the benchmark scripts: the virtual board ($board) in the
# background, started and stopped by process id.
board_pid=

# board_start WHO OUT ERR OPTIONS...: starts the board with OPTIONS, its
# output in OUT and ERR, and waits for its READY line (WHO names the script
# in the message when it does not come).
board_start() {
    who=$1 out=$2 err=$3
    shift 3
    : > "$out"
    "$board" "$@" < /dev/null > "$out" 2> "$err" &
    board_pid=$!
    tries=0
    until grep -q '^READY' "$out"; do
        tries=$((tries + 1))
        if [ "$tries" -gt 100 ] || ! kill -0 "$board_pid" 2> /dev/null; then
            echo "$who: the board did not start" >&2
            cat "$err" >&2
            exit 1
        fi
        sleep 0.05
    done
}

board_stop() {
    if [ -n "$board_pid" ]; then
        kill "$board_pid" 2> /dev/null || true
        wait "$board_pid" 2> /dev/null || true
    fi
    board_pid=
}
