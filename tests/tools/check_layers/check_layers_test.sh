#!/bin/sh
# check_layers_test.sh SCRIPT CASE: runs scripts/check-layers.sh on a made-up
# source tree in a temporary folder.
set -u
script=$1
case_name=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# put FILE LINE...: writes the lines into $tmp/src/FILE.
put() {
    f="$tmp/src/$1"
    shift
    mkdir -p "$(dirname "$f")"
    : >"$f"
    for l in "$@"; do printf '%s\n' "$l" >>"$f"; done
}

# A tree that uses every allowed kind of include once.
good_tree() {
    rm -rf "$tmp/src"
    put platform/Board.h '#pragma once' '#include <string>'
    put platform/linux/LinuxBoard.cpp '#include "platform/Board.h"'
    put sim/SimBoard.cpp '#include "sim/SimBoard.h"' '#include "platform/Board.h"'
    put sim/SimBoard.h '#pragma once'
    put formats/Asf.cpp '#include "formats/Asf.h"' '#include <cstdint>'
    put formats/Asf.h '#pragma once'
    put core/DR_shared.h '#pragma once'
    put core/DR_common.h '#include "core/DR_shared.h"'
    put core/dr_ringbuffer.h '#pragma once'
    put core/WorkerHandshake.h '#include "core/DR_shared.h"'
    put config/param.cpp '#include "config/param.h"' '#include "platform/Board.h"' '#include "core/DR_shared.h"'
    put config/param.h '#pragma once'
    put storage/SDFunc.cpp '#include "core/DR_common.h"' '#include "formats/Asf.h"' '#include "gtest/gtest.h"'
    put storage/SDFunc.h '#  include "core/dr_ringbuffer.h"'
    put osd/list.cpp '#include "osd/glyphs/font.h"' '#include "platform/Board.h"'
    put osd/glyphs/font.h '#pragma once'
    put recording/Mux.cpp '#include "storage/SDFunc.h"' '#include "core/WorkerHandshake.h"' '#include "osd/list.h"'
    put sensors/Gps.cpp '#include "config/param.h"' '#include "core/DR_shared.h"'
    put playback/Demux.cpp '#include "formats/Asf.h"'
    put core/App.cpp '#include "core/App.h"' '#include "recording/Mux.h"' '#include "sensors/Gps.h"' \
        '#include "playback/Demux.h"' '#include "storage/SDFunc.h"' '#include "platform/Board.h"'
    put core/main.cpp '#include "core/App.h"' '#include "sim/SimBoard.h"' '#include "platform/Board.h"'
}

# expect_forbidden FILE INCLUDE EDGE: the good tree with one more include line
# fails, and the report names the file, its line and the edge.
expect_forbidden() {
    good_tree
    printf '#include "%s"\n' "$2" >>"$tmp/src/$1"
    line=$(wc -l <"$tmp/src/$1" | tr -d ' ')
    out=$(sh "$script" "$tmp/src" 2>&1)
    rc=$?
    [ "$rc" -eq 1 ] || fail "$1 including $2: exit status $rc, expected 1"
    echo "$out" | grep -qxF "$1:$line: $3" || fail "$1 including $2: no line '$1:$line: $3' in: $out"
    echo "$out" | grep -qxF "check-layers: 1 include(s) break the layer table" ||
        fail "$1 including $2: no summary in: $out"
}

case "$case_name" in
GoodTreePasses)
    good_tree
    out=$(sh "$script" "$tmp/src" 2>&1)
    rc=$?
    [ "$rc" -eq 0 ] || fail "good tree: exit status $rc: $out"
    [ -z "$out" ] || fail "good tree: printed $out"
    # The source folder also comes from DIVIV_LAYERS_SRC.
    out=$(DIVIV_LAYERS_SRC="$tmp/src" sh "$script" 2>&1) || fail "good tree through DIVIV_LAYERS_SRC: $out"
    ;;
ForbiddenIncludesAreNamed)
    expect_forbidden storage/SDFunc.cpp sim/SimBoard.h "storage -> sim/SimBoard.h"
    expect_forbidden storage/sdcheck.cpp core/DriveRecorderApp.h "storage -> core/DriveRecorderApp.h"
    expect_forbidden osd/list.cpp storage/SDFunc.h "osd -> storage/SDFunc.h"
    expect_forbidden osd/list.cpp config/date.h "osd -> config/date.h"
    expect_forbidden osd/list.cpp core/WorkerHandshake.h "osd -> core/WorkerHandshake.h"
    expect_forbidden formats/Asf.cpp platform/Board.h "formats -> platform/Board.h"
    expect_forbidden formats/Asf.h core/DR_shared.h "formats -> core/DR_shared.h"
    expect_forbidden platform/Board.h core/DR_shared.h "platform -> core/DR_shared.h"
    expect_forbidden platform/linux/LinuxBoard.cpp sim/SimBoard.h "platform -> sim/SimBoard.h"
    expect_forbidden sim/SimBoard.cpp storage/SDFunc.h "sim -> storage/SDFunc.h"
    expect_forbidden config/param.cpp recording/Mux.h "config -> recording/Mux.h"
    expect_forbidden recording/Mux.cpp sensors/Gps.h "recording -> sensors/Gps.h"
    expect_forbidden sensors/Gps.cpp core/ModeControl.h "sensors -> core/ModeControl.h"
    expect_forbidden core/App.cpp sim/SimBoard.h "core -> sim/SimBoard.h"
    # A folder the table does not know.
    good_tree
    put video/Cam.cpp '#include "platform/Board.h"'
    out=$(sh "$script" "$tmp/src" 2>&1)
    rc=$?
    [ "$rc" -eq 1 ] || fail "unknown folder: exit status $rc"
    echo "$out" | grep -qF "video/Cam.cpp:1: folder video is not in the layer table" || fail "unknown folder: $out"
    # Every forbidden include is listed, not only the first.
    good_tree
    printf '#include "sim/SimBoard.h"\n#include "core/App.h"\n' >>"$tmp/src/storage/SDFunc.h"
    out=$(sh "$script" "$tmp/src" 2>&1)
    [ "$(echo "$out" | grep -c ' -> ')" -eq 2 ] || fail "two forbidden includes: $out"
    ;;
MissingFolderIsAnError)
    sh "$script" "$tmp/no-such-folder" >/dev/null 2>&1
    rc=$?
    [ "$rc" -eq 2 ] || fail "missing folder: exit status $rc, expected 2"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac

[ "$failures" -eq 0 ] || exit 1
echo "$case_name: ok"
