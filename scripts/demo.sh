#!/bin/sh
# Builds DiViv and runs it on a fresh simulated board.
# The board root (and the recordings on its card) stays in demo-board/.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target DiViv boardsim
BOARD="$(pwd)/demo-board"
rm -rf "$BOARD"
build/tools/boardsim/boardsim init "$BOARD"
cd "$BOARD"
DIVIV_ROOT="$BOARD" DIVIV_BOARD=sim ../build/src/core/DiViv
echo "demo: board root in $BOARD (card partitions in $BOARD/mnt/mmc0_p1 and mmc0_p2)"
