#!/bin/sh
# Builds DiViv and runs it on a fresh simulated board through a short
# scenario (scripts/demo-scenario.txt): start-up, automatic recording of a
# scripted drive, the STOP key, the file list, the REC key, host command 9 0,
# ignition off and switch-off. The recorder takes its parameters from the
# card's setup file (argument 1): the demo puts one there asking for 5 s
# files, which the first start merges into the parameter record. The board's
# timeline is printed at the end, then "diviv-media check" lists the
# recordings left on the card; the board root (card, EEPROM image, logs,
# screenshots) stays in demo-board/.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target DiViv boardsim diviv-media
BOARD="$(pwd)/demo-board"
rm -rf "$BOARD"
build/tools/boardsim/boardsim init "$BOARD"
mkdir -p "$BOARD/screens"
printf '[HOLMAX]\nREC_DURATION=5\n' > "$BOARD/mnt/mmc0_p1/setup.ini"
REPO="$(pwd)"
status=0
# Screenshot paths in the scenario are relative to the board root.
(cd "$BOARD" && "$REPO/build/tools/boardsim/boardsim" run "$BOARD" \
    --scenario "$REPO/scripts/demo-scenario.txt" -- "$REPO/build/src/core/DiViv" 1) || status=$?
echo
echo "demo: the recordings on the card (key pictures scrambled with the pass code 9274):"
build/tools/diviv-media/diviv-media check "$BOARD/mnt/mmc0_p1/DATA" --pass 9274 || status=$?
echo
echo "demo: the drive as a page, a GPS track and a table of the sensor records:"
build/tools/diviv-media/diviv-media report "$BOARD/mnt/mmc0_p1/DATA" --pass 9274 -o "$BOARD/trip.html" || status=$?
# In recording order: by the file number, whatever the name's prefix.
# shellcheck disable=SC2046
build/tools/diviv-media/diviv-media export $(ls "$BOARD"/mnt/mmc0_p1/DATA/*/*.ASF |
    awk '{ print substr($0, length($0) - 8) " " $0 }' | sort | cut -d' ' -f2) --pass 9274 \
    --gpx "$BOARD/trip.gpx" --csv "$BOARD/trip.csv" || status=$?
echo
echo "demo: board root in $BOARD"
echo "demo: screenshots in $BOARD/screens (start.png, recording.png, filelist.png, playback.png)"
echo "demo: the sound played back in $BOARD/sim/speaker.wav"
echo "demo: recordings in $BOARD/mnt/mmc0_p1/DATA/00 (diviv-media frames FILE --pass 9274 reads the camera's frame numbers back)"
echo "demo: card partitions in $BOARD/mnt/mmc0_p1 and $BOARD/mnt/mmc0_p2"
echo "demo: persistent log entries in $BOARD/sim/log_record.log"
echo "demo: the drive in $BOARD/trip.html (open it in a browser), trip.gpx and trip.csv"
exit $status
