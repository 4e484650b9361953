#!/bin/sh
# Figures of playback on the simulated board (run from the source tree after
# building DiViv and boardsim in BUILD, default build): a 60 s recording is
# made, picked in the file list and played to its end; the CPU time of the
# video decoder thread ("vdec") and of every other thread of the recorder
# while it plays, each as a share of one core.
set -eu
BUILD="${BUILD:-build}"
REPO="$(pwd)"
BOARDSIM="$REPO/$BUILD/tools/boardsim/boardsim"
DIVIV="$REPO/$BUILD/src/core/DiViv"
WORK="$(mktemp -d /tmp/diviv-playfig-XXXXXX)"
B="$WORK/board"
"$BOARDSIM" init "$B" >/dev/null
printf '[HOLMAX]\nREC_DURATION=60\n' > "$B/mnt/mmc0_p1/setup.ini"
cat > "$B/scenario.txt" <<'SC'
0 wait line "Start auto recoding" within 30
+0 speed 50
+66 key stop
+0 wait line "DiViv : Recording Stop" within 20
+2 key select
+0 wait line "File List Mode Start" within 20
+1 key down
+1 key select
+0 wait line "DiViv : Playback Start" within 20
+0 wait line "VD : Total Decoded Frames" within 120
+2 host 0
+0 expect exit 0 within 30
SC
(cd "$B" && "$BOARDSIM" run "$B" --scenario "$B/scenario.txt" --timeout 300 -- "$DIVIV" > "$B/run.log" 2>&1) &
RUN=$!
P=""
while [ -z "$P" ]; do P=$(pgrep -n -f "^$DIVIV" || true); sleep 0.2; done
# While the decoder thread lives: one sample a second of every thread's
# user + system ticks.
while kill -0 "$P" 2>/dev/null; do
    if grep -qx vdec /proc/"$P"/task/*/comm 2>/dev/null; then
        for t in /proc/"$P"/task/*; do
            echo "$(basename "$t") $(cat "$t/comm" 2>/dev/null) $(awk '{print $14 + $15}' "$t/stat" 2>/dev/null)"
        done >> "$WORK/cpu.txt" 2>/dev/null || true
        echo "mark $(date +%s.%N)" >> "$WORK/cpu.txt"
    fi
    sleep 1
done
wait $RUN || true
grep -o "VD : Total Decoded Frames : [0-9]*" "$B/run.log" || echo "playback did not finish (see $B/run.log)"
HZ=$(getconf CLK_TCK)
# Ticks spent between the first and the last sample, per thread.
awk -v hz="$HZ" '
    $1 == "mark" { if (!t0) t0 = $2; t1 = $2; next }
    { if (!($1 in first)) first[$1] = $3; last[$1] = $3; name[$1] = $2 }
    END {
        for (k in last) { d = last[k] - first[k]; if (name[k] == "vdec") dec += d; else rest += d }
        s = t1 - t0
        if (s <= 0) { print "playback: no samples"; exit 1 }
        printf "playback over %.1f s: decoder %.2f %% of one core, everything else %.2f %%\n", s, 100 * dec / hz / s, 100 * rest / hz / s
    }' "$WORK/cpu.txt"
rm -rf "$WORK"
