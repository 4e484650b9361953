#!/bin/bash
# soak_verdict_test.sh SOAK: the soak script's verdict (--judge) over tables
# of samples a leaking, a steady and a noisy recorder would leave.
set -u
soak=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# table NAME SECONDS STEP FORMULA: a table with a sample every STEP seconds
# over SECONDS; FORMULA is awk code setting rss, vms, fds and thr from t.
table() {
    awk -v total="$2" -v step="$3" 'BEGIN {
        print "seconds\trss_kb\tvmsize_kb\tfds\tthreads\tfiles"
        for (t = 0; t <= total; t += step) {
            rss = 50000; vms = 1000000; fds = 14; thr = 14
            '"$4"'
            printf "%d\t%d\t%d\t%d\t%d\t%d\n", t, rss, vms, fds, thr, t / 5
        }
    }' > "$work/$1.tsv"
}

# expect NAME SECONDS STATUS TEXT...: the verdict's status and lines.
expect() {
    local name=$1 seconds=$2 status=$3
    shift 3
    local out rc
    out=$(bash "$soak" --judge "$work/$name.tsv" "$seconds" 2>&1)
    rc=$?
    if [ "$rc" -ne "$status" ]; then
        echo "FAIL: $name: status $rc, expected $status"$'\n'"$out"
        failures=$((failures + 1))
    fi
    for text in "$@"; do
        if ! grep -qF -- "$text" <<<"$out"; then
            echo "FAIL: $name: no line with '$text'"$'\n'"$out"
            failures=$((failures + 1))
        fi
    done
}

# Steady after a warm-up in which everything grows: flat.
table steady 3600 30 'if (t < 240) { rss = 30000 + t * 80; fds = 9 + int(t / 60); thr = 4 + int(t / 30) }'
expect steady 3600 0 "VERDICT: flat" "warm-up"
# Noise: a descriptor open for a moment now and then (a file change) and
# memory wandering by a megabyte.
table noisy 3600 30 'if (int(t / 30) % 7 == 3) fds = 15; rss = 50000 + (int(t / 30) % 5) * 250'
expect noisy 3600 0 "VERDICT: flat"
# 10 kB lost per file of 5 s: 7 MB over the hour.
table leak 3600 30 'rss = 50000 + t * 2'
expect leak 3600 1 "VERDICT: GROWTH" "rss_kb" "GROWS"
# One descriptor kept per ten minutes.
table fdleak 3600 30 'fds = 14 + int(t / 600)'
expect fdleak 3600 1 "VERDICT: GROWTH" "fds        most often   15 ->   19"
# A thread left behind once, half-way.
table threads 3600 30 'if (t >= 1800) thr = 15'
expect threads 3600 1 "VERDICT: GROWTH" "threads    most often   14 ->   15"
# Address space that keeps growing (mappings never unmapped).
table maps 3600 30 'vms = 1000000 + t * 30'
expect maps 3600 1 "VERDICT: GROWTH" "vmsize_kb"
# A short run judged with its own warm-up (a fifth of it).
table short 180 2 'if (t < 20) rss = 30000 + t * 1000'
expect short 180 0 "after a 36 s warm-up" "VERDICT: flat"
# Too few samples to say anything is not a pass.
table few 3600 900 ''
expect few 3600 1 "too few samples"

[ "$failures" -eq 0 ] || exit 1
echo "soak verdict: ok"
