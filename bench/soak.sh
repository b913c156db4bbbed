#!/bin/sh
# make soak: a 256 KB image programmed into the unpaced virtual board under
# each line fault (bench/link_soak.sh: corruption and drops of the bytes the
# board receives, corruption and drops of the bytes it sends) at 1e-4 and
# 1e-3 per byte, once per seed, and a table of what that cost against the
# clean run. Fails when any run left a wrong byte in flash (a success message
# with wrong bytes included) or ended neither with success nor with a failure
# it said (a crash, a hang past SOAK_LIMIT seconds, files left behind).
#   SOAK_SEEDS="1 2 3 4 5" SOAK_FAULTS="corrupt drop" SOAK_LEVELS="1e-4 1e-3" make soak
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seeds=${SOAK_SEEDS:-1 2 3}
faults=${SOAK_FAULTS:-corrupt drop out-corrupt out-drop}
levels=${SOAK_LEVELS:-1e-4 1e-3}
results=$(mktemp)
trap 'rm -f "$results"' EXIT

echo "Soak: ${SOAK_KB:-256} KB per run, seeds $seeds; a run takes a few seconds ..."
for seed in $seeds; do
    echo "none - $seed $(SOAK_FAULT=none SOAK_SEED=$seed SOAK_RAW=1 "$here/link_soak.sh")" >> "$results"
done
for fault in $faults; do
    for level in $levels; do
        for seed in $seeds; do
            line=$(SOAK_FAULT=$fault SOAK_RATE=$level SOAK_SEED=$seed SOAK_RAW=1 "$here/link_soak.sh")
            echo "$fault $level $seed $line" >> "$results"
            case "$line" in WRONG* | NOT*) echo "  $fault $level seed $seed: $line" ;; esac
        done
    done
done

# Columns of $results: fault level seed outcome wrong-bytes total-s stall-s
awk '
    { key = $1 " " $2; if (!(key in runs)) order[++n] = key
      runs[key]++; total[key] += $6; wrong[key] += $5
      if ($7 > stall[key]) stall[key] = $7
      if ($4 == "byte-exact") done[key]++
      else if ($4 == "failed-cleanly") clean[key]++
      else bad++ }
    END {
        base = total["none -"] / runs["none -"]
        printf "\n%-12s %-6s %5s %9s %14s %11s %14s %22s\n", "fault", "level", "seeds", "completed",
               "failed cleanly", "wrong bytes", "longest stall", "total time (x clean)"
        for (i = 1; i <= n; i++) {
            k = order[i]; split(k, f, " "); t = total[k] / runs[k]
            printf "%-12s %-6s %5d %9d %14d %11d %12.1f s %13.1f s (x%.1f)\n", f[1], f[2], runs[k], done[k],
                   clean[k], wrong[k], stall[k], t, (base > 0 ? t / base : 0)
        }
        if (bad) { printf "\nsoak FAILED: %d run(s) with wrong bytes in flash or no clean ending\n", bad; exit 1 }
        printf "\nNo wrong byte in flash; every run completed or failed cleanly.\n"
    }' "$results"
