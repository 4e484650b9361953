#!/bin/sh
# Figures of the whole recorder on the simulated board (run from the source
# tree after building DiViv, boardsim and diviv-media in BUILD, default build):
#  1. recorder overhead: 60 s of recording at 30 pictures per second in 5 s
#     files; CPU time of every thread but the capture and encoder thread, as
#     a share of one core (and the recording writer's thread alone);
#  2. supply power lost while recording: time from the loss to the card's
#     last unmount, over RUNS runs (default 20).
set -eu
BUILD="${BUILD:-build}"
RUNS="${RUNS:-20}"
REPO="$(pwd)"
BOARDSIM="$REPO/$BUILD/tools/boardsim/boardsim"
DIVIV="$REPO/$BUILD/src/core/DiViv"
WORK="$(mktemp -d /tmp/diviv-figures-XXXXXX)"

B="$WORK/overhead"
"$BOARDSIM" init "$B" >/dev/null
printf '[HOLMAX]\nREC_DURATION=5\n' > "$B/mnt/mmc0_p1/setup.ini"
cat > "$B/scenario.txt" <<'SC'
0 wait line "VCE : Set EncodeStart=1" within 30
+0 speed 60
+0 engine 2500
+60 host 0
+0 expect exit 0 within 30
SC
(cd "$B" && "$BOARDSIM" run "$B" --scenario "$B/scenario.txt" --timeout 200 -- "$DIVIV" 1 > "$B/run.log" 2>&1) &
RUN=$!
P=""
while [ -z "$P" ]; do P=$(pgrep -n -f "^$DIVIV" || true); sleep 0.2; done
# One sample a second of every thread's user + system ticks.
while kill -0 "$P" 2>/dev/null; do
    for t in /proc/"$P"/task/*; do
        echo "$(basename "$t") $(awk '{print $14 + $15}' "$t/stat" 2>/dev/null)"
    done >> "$B/cpu.txt" 2>/dev/null || true
    echo "mark $(date +%s.%N)" >> "$B/cpu.txt"
    sleep 1
done
wait $RUN || true
VCE=$(sed -n 's/^VEC : Video Capture Encoder Thread Start .*tid=\([0-9]*\).*/\1/p' "$B/run.log")
AM=$(sed -n 's/^AM : ASF Mux .*tid=\([0-9]*\).*/\1/p' "$B/run.log")
HZ=$(getconf CLK_TCK)
awk -v vce="$VCE" -v am="$AM" -v hz="$HZ" '
    $1 == "mark" { if (!t0) t0 = $2; t1 = $2; next }
    { ticks[$1] = $2 }
    END {
        for (k in ticks) { all += ticks[k]; if (k != vce) rest += ticks[k] }
        s = t1 - t0
        printf "recorder overhead: %.2f %% of one core (all threads but capture/encoder, %.1f s)\n", 100 * rest / hz / s, s
        printf "recording writer:  %.2f %% of one core\n", 100 * ticks[am] / hz / s
        printf "capture/encoder:   %.2f %% of one core\n", 100 * ticks[vce] / hz / s
    }' "$B/cpu.txt"

# Supply power lost while recording: the timeline's "power lost" to the last
# unmount.
i=0
: > "$WORK/power.txt"
while [ $i -lt "$RUNS" ]; do
    i=$((i + 1))
    B="$WORK/power$i"
    "$BOARDSIM" init "$B" >/dev/null
    printf '0 wait line "Start auto recoding" within 30\n+1 power lost\n+0 wait off within 30\n' > "$B/scenario.txt"
    (cd "$B" && "$BOARDSIM" run "$B" --scenario "$B/scenario.txt" --timeout 60 -- "$DIVIV" > "$B/run.log" 2>&1) || true
    awk '/^boardsim: +[0-9.]+ +> power lost/ { lost = $2 } /^boardsim: +[0-9.]+ +umount/ { um = $2 }
         END { if (lost != "" && um != "") printf "%.0f\n", 1000 * (um - lost) }' "$B/run.log" >> "$WORK/power.txt"
    rm -rf "$B"
done
sort -n "$WORK/power.txt" | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "power lost -> card unmounted: no run measured"; exit }
    printf "power lost -> card unmounted over %d runs: min %d ms, median %d ms, 90%% %d ms, max %d ms\n",
        NR, v[1], v[int((NR + 1) / 2)], v[int(NR * 0.9 + 0.5)], v[NR] }'
rm -rf "$WORK"
