#!/bin/bash
# Soak run: the recorder records a long scripted drive on a fresh simulated
# board in many short files, on a small card so that loop recording deletes
# the oldest ones all the time, while this script samples the recorder
# process every few seconds: resident and virtual memory (VmRSS, VmSize from
# /proc/PID/status), open descriptors (/proc/PID/fd) and threads.
#
#   scripts/soak.sh HOURS [--build DIR] [--board DIR] [--interval SEC]
#                         [--file-seconds N] [--tolerance PCT]
#   scripts/soak.sh --judge TSV SECONDS [--tolerance PCT]
#
# HOURS may be fractional (0.05 is three minutes). At the end it prints the
# table and a verdict. Memory is flat when, after the warm-up (the first
# fifth of the run, at most 5 minutes), the mean of the last quarter of the
# samples is within the tolerance (default 5 %, at least 2 MB) of the mean of
# the first quarter; descriptors and threads are flat when the count seen
# most often in the last quarter equals the one seen most often in the first
# and no sample of the last quarter is above every sample of the first.
# Exit status: 0 flat, 1 growth (or the recorder ended early), 2 usage or
# set-up failure. The samples stay in BOARD/soak.tsv, the console and
# board timeline in BOARD/soak.log; --judge gives the verdict over such a
# table again (a run of SECONDS), e.g. with another tolerance.
set -u
REPO="$(cd "$(dirname "$0")/.." && pwd)"

# The comment above; on standard output for --help, else on standard error.
usage() {
    local text
    text=$(awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0")
    if [ "${1:-2}" -eq 0 ]; then echo "$text"; exit 0; fi
    echo "$text" >&2
    exit 2
}

# judge TSV SECONDS [ENDED_EARLY]: the verdict over a table of samples of a
# run of SECONDS; status 0 flat, 1 growth (or ENDED_EARLY is 1).
judge() {
    awk -v tol="$TOLERANCE" -v total="$2" -v ended_early="${3:-0}" '
    function mean(col, from, to,   s, i) { s = 0; for (i = from; i <= to; ++i) s += v[i, col]; return s / (to - from + 1) }
    function mode(col, from, to,   c, i, best, bestn) {
        split("", c); bestn = 0
        for (i = from; i <= to; ++i) if (++c[v[i, col]] > bestn || (c[v[i, col]] == bestn && v[i, col] < best)) { best = v[i, col]; bestn = c[v[i, col]] }
        return best
    }
    function maxof(col, from, to,   m, i) { m = v[from, col]; for (i = from; i <= to; ++i) if (v[i, col] > m) m = v[i, col]; return m }
    NR == 1 { next }
    { t = $1; if (t < warm) next; ++n; for (c = 1; c <= 6; ++c) v[n, c] = $c }
    BEGIN { warm = total / 5; if (warm > 300) warm = 300; FS = "\t" }
    END {
        if (n < 8) { print "soak: VERDICT: too few samples after the warm-up (" n ")"; exit 1 }
        q = int(n / 4); a1 = 1; a2 = q; b1 = n - q + 1; b2 = n
        bad = 0
        printf "soak: after a %d s warm-up, %d samples; first quarter (%d..%d s) against last quarter (%d..%d s):\n", warm, n, v[a1,1], v[a2,1], v[b1,1], v[b2,1]
        split("rss_kb vmsize_kb", names, " ")
        for (k = 2; k <= 3; ++k) {
            m1 = mean(k, a1, a2); m2 = mean(k, b1, b2); allow = m1 * tol / 100; if (allow < 2048) allow = 2048
            ok = (m2 - m1 <= allow)
            printf "  %-10s mean %10.0f -> %10.0f  (%+.0f kB, allowed +%.0f kB)  %s\n", names[k-1], m1, m2, m2 - m1, allow, ok ? "flat" : "GROWS"
            bad += !ok
        }
        split("fds threads", cn, " ")
        for (k = 4; k <= 5; ++k) {
            o1 = mode(k, a1, a2); o2 = mode(k, b1, b2); x1 = maxof(k, a1, a2); x2 = maxof(k, b1, b2)
            ok = (o1 == o2 && x2 <= x1)
            printf "  %-10s most often %4d -> %4d, highest %4d -> %4d  %s\n", cn[k-3], o1, o2, x1, x2, ok ? "flat" : "GROWS"
            bad += !ok
        }
        printf "  after the warm-up, first sample: rss %d kB, vmsize %d kB, fds %d, threads %d; last: rss %d kB, vmsize %d kB, fds %d, threads %d\n", v[1,2], v[1,3], v[1,4], v[1,5], v[n,2], v[n,3], v[n,4], v[n,5]
        if (ended_early) { print "soak: VERDICT: the recorder ended before the drive was over"; exit 1 }
        print (bad ? "soak: VERDICT: GROWTH" : "soak: VERDICT: flat")
        exit bad ? 1 : 0
    }' "$1"
}

[ $# -ge 1 ] || usage
case "$1" in -h|--help) usage 0 ;; esac
TOLERANCE=5
if [ "$1" = "--judge" ]; then
    # Judges the table of an earlier run again: --judge TSV SECONDS [--tolerance PCT]
    [ $# -ge 3 ] || usage
    [ "${4:-}" != "--tolerance" ] || TOLERANCE="${5:-5}"
    judge "$2" "$3"
    exit $?
fi
HOURS="$1"
shift
BUILD="$REPO/build"
BOARD=""
INTERVAL=""
FILE_SECONDS=5
while [ $# -gt 0 ]; do
    case "$1" in
        --build) mkdir -p "$2" && BUILD="$(cd "$2" && pwd)" || exit 2; shift 2 ;;
        --board) BOARD="$2"; shift 2 ;;
        --interval) INTERVAL="$2"; shift 2 ;;
        --file-seconds) FILE_SECONDS="$2"; shift 2 ;;
        --tolerance) TOLERANCE="$2"; shift 2 ;;
        -h|--help) usage 0 ;;
        *) echo "soak: unknown option $1" >&2; usage ;;
    esac
done
case "$HOURS" in
    ''|*[!0-9.]*|*.*.*) echo "soak: HOURS must be a number, e.g. 1 or 0.05" >&2; exit 2 ;;
esac
SECONDS_TOTAL=$(awk -v h="$HOURS" 'BEGIN { printf "%d", h * 3600 }')
if [ "$SECONDS_TOTAL" -lt 60 ]; then
    echo "soak: a run shorter than a minute says nothing (HOURS >= 0.017)" >&2
    exit 2
fi
# About 120 samples over the run, never closer than 2 s.
[ -n "$INTERVAL" ] || INTERVAL=$(( SECONDS_TOTAL / 120 > 2 ? SECONDS_TOTAL / 120 : 2 ))

DIVIV="$BUILD/src/core/DiViv"
BOARDSIM="$BUILD/tools/boardsim/boardsim"
if [ ! -x "$DIVIV" ] || [ ! -x "$BOARDSIM" ]; then
    echo "soak: building DiViv and boardsim (Release) in $BUILD"
    cmake -S "$REPO" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null &&
        cmake --build "$BUILD" -j2 --target DiViv boardsim >/dev/null || { echo "soak: build failed" >&2; exit 2; }
fi

[ -n "$BOARD" ] || BOARD="$(mktemp -d /tmp/diviv-soak.XXXXXX)"
# Only an empty folder or an earlier soak board is taken over.
if [ -n "$(ls -A "$BOARD" 2>/dev/null)" ] && [ ! -f "$BOARD/soak-scenario.txt" ]; then
    echo "soak: $BOARD holds other files; give an empty or new folder" >&2
    exit 2
fi
# An absolute path: boardsim runs the recorder in the board's folder.
mkdir -p "$BOARD" && BOARD="$(cd "$BOARD" && pwd)" || exit 2
rm -rf "$BOARD"
# Partition 1 of 64 MB: beside the 30 MB the writer keeps free, room for a
# few dozen short files, so loop recording deletes one for each new one.
"$BOARDSIM" init "$BOARD" --card-mb 128 >/dev/null || { echo "soak: cannot create the board" >&2; exit 2; }
printf '[HOLMAX]\nREC_DURATION=%s\n' "$FILE_SECONDS" > "$BOARD/mnt/mmc0_p1/setup.ini"

# The drive: one-minute laps of speed and engine changes with a contact
# input, the GPS route, a status and a ring-buffer report from the host, a
# jolt every ten minutes (an event file); at the end recording stops and the
# recorder is ended by the host.
SCENARIO="$BOARD/soak-scenario.txt"
laps=$(( (SECONDS_TOTAL + 30) / 60 ))
[ "$laps" -ge 1 ] || laps=1
{
    echo '0 wait line "Start auto recoding" within 120'
    echo '+0 gps route loop'
    echo '+0 speed 40'
    echo '+0 engine 1800'
    for ((lap = 1; lap <= laps; ++lap)); do
        echo "+15 speed 80"
        echo "+0 engine 3200"
        echo "+5 host 1"
        echo "+10 contact 3 on"
        echo "+1 contact 3 off"
        echo "+9 speed 30"
        echo "+0 engine 1500"
        echo "+5 host 19"
        if (( lap % 10 == 0 )); then echo "+0 shock -1.2 0 0"; fi
        echo "+15 speed 40"
        echo "+0 engine 1800"
    done
    echo '+0 host 9 0'
    echo '+0 wait line "DiViv : Recording Stop" within 60'
    echo '+2 host 0'
    echo '+0 expect exit 0 within 60'
} > "$SCENARIO"

LOG="$BOARD/soak.log"
TSV="$BOARD/soak.tsv"
echo "soak: $HOURS h ($SECONDS_TOTAL s) on $BOARD, ${FILE_SECONDS} s files, a sample every $INTERVAL s"
(cd "$BOARD" && exec "$BOARDSIM" run "$BOARD" --scenario "$SCENARIO" --timeout $(( SECONDS_TOTAL + 600 )) \
    -- "$DIVIV" 1) > "$LOG" 2>&1 &
SIM=$!
# Interrupted: boardsim ends the recorder and removes the board's queues.
trap 'kill "$SIM" 2>/dev/null; wait "$SIM"; exit 2' INT TERM

# The recorder is boardsim's child.
PID=""
for _ in $(seq 1 100); do
    PID=$(awk -v p="$SIM" '$1 == "PPid:" && $2 == p { print FILENAME }' /proc/[0-9]*/status 2>/dev/null |
          head -n 1 | cut -d/ -f3)
    [ -n "$PID" ] && break
    sleep 0.1
done
if [ -z "$PID" ]; then
    echo "soak: the recorder did not start (see $LOG)" >&2
    kill "$SIM" 2>/dev/null
    exit 2
fi

printf 'seconds\trss_kb\tvmsize_kb\tfds\tthreads\tfiles\n' > "$TSV"
printf '%8s %10s %10s %5s %7s %6s\n' seconds rss_kb vmsize_kb fds threads files
START=$(date +%s)
# Sampled while the drive lasts: the recording's stop and the end of the
# process are no part of the steady state.
while [ -d "/proc/$PID" ] && ! grep -q "acknowledged 9: host 9 0" "$LOG"; do
    status=$(cat "/proc/$PID/status" 2>/dev/null) || break
    rss=$(awk '$1 == "VmRSS:" { print $2 }' <<<"$status")
    vms=$(awk '$1 == "VmSize:" { print $2 }' <<<"$status")
    thr=$(awk '$1 == "Threads:" { print $2 }' <<<"$status")
    fds=$(ls "/proc/$PID/fd" 2>/dev/null | wc -l)
    files=$(grep -c "AM : Next File is" "$LOG")
    now=$(( $(date +%s) - START ))
    # A zombie has no memory left: that sample is the end, not a figure.
    if [ -n "$rss" ] && [ -n "$vms" ]; then
        printf '%d\t%s\t%s\t%s\t%s\t%s\n' "$now" "$rss" "$vms" "$fds" "$thr" "$files" >> "$TSV"
        printf '%8d %10s %10s %5s %7s %6s\n' "$now" "$rss" "$vms" "$fds" "$thr" "$files"
    fi
    sleep "$INTERVAL"
done
wait "$SIM"
sim_status=$?
grep -q "acknowledged 9: host 9 0" "$LOG"
ended_early=$?
ELAPSED=$(( $(date +%s) - START ))

files=$(grep -c "AM : Next File is" "$LOG")
deleted=$(grep -c "Delete OK" "$LOG")
left=$(find "$BOARD/mnt/mmc0_p1/DATA" -name '*.ASF' 2>/dev/null | wc -l)
echo "soak: boardsim ended with status $sim_status after $ELAPSED s; files recorded $files, deleted by loop recording $deleted, on the card $left"

judge "$TSV" "$SECONDS_TOTAL" "$ended_early"
verdict=$?
if [ "$sim_status" -ne 0 ]; then
    echo "soak: the scenario failed (boardsim status $sim_status):"
    grep "FAILED" "$LOG" | head -n 20
    [ "$verdict" -ne 0 ] || verdict=1
fi
echo "soak: samples in $TSV, console and timeline in $LOG"
exit $verdict
