#!/usr/bin/env bash
# Mutation score: how many small faults planted in the host and board code
# the test suite notices. Each entry of tools/mutants.txt replaces one snippet
# (which must occur exactly once in its file) in a private copy of the tree;
# the copy is rebuilt and the unit and end-to-end tests run against it.
#
#   tools/mutate.sh [-j JOBS] [-k] [-d DIR] [ID | FROM-TO ...]
#
#   -j JOBS  build jobs (default 2)
#   -d DIR   scratch copy here, kept for the next run (default: a new
#            directory under /tmp, removed at the end)
#   -k       keep the one under /tmp
#   -m       every test runs for every mutant, and the tests that failed are
#            listed after its verdict (TIMED-OUT when the run outlasted the limit)
#   ID ...   only these mutants (e.g. 3 17 40-45); default all
#
# A mutant is killed when a test fails or the tests outlast TEST_TIMEOUT
# seconds (default: four times the unmutated run, at least 60); one that does
# not compile is "stillborn" and one whose snippet is missing or not unique is
# "not applicable"; neither counts.
# The exit status is 0 whenever the run completed: the score is information.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
list="$here/tools/mutants.txt"
jobs=2 keep=0 dir="" timeout_s=${TEST_TIMEOUT:-0} stop=--stop-on-failure matrix=0
while getopts "j:kd:m" o; do
    case $o in
        j) jobs=$OPTARG ;;
        k) keep=1 ;;
        m) matrix=1 stop= ;;
        d) dir=$OPTARG keep=1 ;;
        *) sed -n '7,15p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# wanted ID: true when no ID was asked for or ID is among the arguments.
wanted() {
    [ $# -gt 0 ] || return 1
    local id=$1; shift
    [ $# -eq 0 ] && return 0
    local a
    for a in "$@"; do
        case $a in
            *-*) [ "$id" -ge "${a%-*}" ] && [ "$id" -le "${a#*-}" ] && return 0 ;;
            *) [ "$id" = "$a" ] && return 0 ;;
        esac
    done
    return 1
}

[ -n "$dir" ] || dir=$(mktemp -d /tmp/torvex-mutate.XXXXXX)
src=$dir/src bld=$dir/build log=$dir/last.log
[ $keep = 1 ] || trap 'rm -rf "$dir"' EXIT

# The tracked files as they are in the work tree. Only files that differ are
# replaced (with a new time stamp), so a kept copy is rebuilt incrementally.
sync_tree() {
    local new=$dir/new p
    rm -rf "$new" && mkdir -p "$new" "$src" || return 1
    (cd "$here" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$new" || return 1
    (cd "$new" && find . -type f -print0) | while IFS= read -r -d '' p; do
        cmp -s "$new/$p" "$src/$p" || { mkdir -p "$(dirname "$src/$p")" && cp "$new/$p" "$src/$p"; }
    done
}
sync_tree || exit 1

build() { cmake --build "$bld" -j "$jobs" </dev/null >"$log" 2>&1; }
run_tests() {
    (cd "$bld" && timeout "$timeout_s" ctest -L '^(unit|e2e)$' -j "$jobs" $stop \
        </dev/null >>"$log" 2>&1)
}

start=$(date +%s)
echo "Scratch copy: $dir (log of the last step: $log)"
cmake -S "$src" -B "$bld" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    -DTORVEX_SANITIZE=OFF >"$log" 2>&1 || { cat "$log"; exit 1; }
build || { echo "The unmutated tree does not build:"; tail -n 30 "$log"; exit 1; }
t0=$(date +%s) limit=$timeout_s timeout_s=600
run_tests || { echo "The unmutated tree fails its tests:"; tail -n 30 "$log"; exit 1; }
took=$(($(date +%s) - t0))
timeout_s=$((limit > 0 ? limit : (4 * took > 60 ? 4 * took : 60)))
echo "Unmutated tree builds and passes; its tests take $took s (limit per mutant $timeout_s s)."

# The names of the tests the last run failed (all of them when it timed out).
failed_tests() {
    grep -q 'tests FAILED:' "$log" || { printf '  TIMED-OUT'; return; }
    sed -n '/tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log" | tr '\n' ' ' |
        sed 's/^/  /'
}

# apply FILE ORIG REPL: replace ORIG by REPL when it occurs exactly once.
apply() {
    perl -0777 -i -e '
        my ($orig, $repl) = (shift, shift);
        local $/; my $t = <>; my $n = () = $t =~ /\Q$orig\E/g;
        if ($n == 1) { $t =~ s/\Q$orig\E/$repl/ } else { $bad = 1 }
        print $t; END { $? = 3 if $bad }' "$2" "$3" "$1"
}

# The entries one a line: indented lines continue the one before.
entries() {
    awk '/^[ \t]*(#|$)/ { next } /^[ \t]/ { e = e " " $0; next }
         { if (e != "") print e; e = $0 } END { if (e != "") print e }' "$list"
}

killed=0 total=0 stillborn=0 na=0
entry='^([0-9]+)[[:space:]]+([^[:space:]]+)[[:space:]]+`([^`]*)`[[:space:]]+`([^`]*)`'
while IFS= read -r line <&3; do
    [[ $line =~ $entry ]] || { echo "unreadable entry: $line"; continue; }
    id=${BASH_REMATCH[1]} file=${BASH_REMATCH[2]} orig=${BASH_REMATCH[3]} repl=${BASH_REMATCH[4]}
    wanted "$id" "$@" || continue
    f=$src/$file t0=$(date +%s)
    cp -p "$f" "$dir/saved" 2>/dev/null || { printf '%3s  %-28s not applicable\n' "$id" "$file"
        na=$((na + 1)); continue; }
    if ! apply "$f" "$orig" "$repl"; then
        verdict="not applicable"; na=$((na + 1))
    elif ! build; then
        verdict=stillborn; stillborn=$((stillborn + 1))
    elif run_tests; then
        verdict=SURVIVED; total=$((total + 1))
    else
        verdict=killed; total=$((total + 1)) killed=$((killed + 1))
    fi
    cp "$dir/saved" "$f" && touch "$f"   # newer than the mutant's object: rebuilt next time
    printf '%3s  %-28s %-15s %4s s' "$id" "$file" "$verdict" $(($(date +%s) - t0))
    [ $matrix = 0 ] || [ "$verdict" != killed ] || failed_tests
    echo
done 3< <(entries)

[ $stillborn -eq 0 ] || echo "$stillborn stillborn (did not compile), not counted"
[ $na -eq 0 ] || echo "$na not applicable (snippet missing or not unique), not counted"
echo "Run time $(($(date +%s) - start)) s."
echo "$killed of $total mutants killed (score $((total ? killed * 100 / total : 0)) %)"
exit 0
