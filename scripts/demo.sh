#!/bin/sh
# Builds DiViv and runs it on a fresh simulated board through a short
# scenario (scripts/demo-scenario.txt): start-up, automatic recording, the
# STOP key, the file list, the REC key, host command 9 0, ignition off and
# switch-off. The recorder takes its parameters from the card's setup file
# (argument 1), which its first start writes. The board's timeline is printed at the end; the board root
# (card, EEPROM image, logs, screenshots) stays in demo-board/.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target DiViv boardsim diviv-media
BOARD="$(pwd)/demo-board"
rm -rf "$BOARD"
build/tools/boardsim/boardsim init "$BOARD"
mkdir -p "$BOARD/screens"
REPO="$(pwd)"
status=0
# Screenshot paths in the scenario are relative to the board root. Until the
# writer muxes recordings, its stand-in keeps the captured H.264 stream.
(cd "$BOARD" && DIVIV_DUMP_VIDEO="$BOARD/sim/video.h264" "$REPO/build/tools/boardsim/boardsim" run "$BOARD" \
    --scenario "$REPO/scripts/demo-scenario.txt" -- "$REPO/build/src/core/DiViv" 1) || status=$?
echo
echo "demo: board root in $BOARD"
echo "demo: screenshots in $BOARD/screens (start.png, recording.png, filelist.png)"
echo "demo: the captured H.264 stream in $BOARD/sim/video.h264 (diviv-media frames reads its pictures back)"
echo "demo: card partitions in $BOARD/mnt/mmc0_p1 and $BOARD/mnt/mmc0_p2"
echo "demo: persistent log entries in $BOARD/sim/log_record.log"
exit $status
