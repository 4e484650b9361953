#!/bin/sh
# Checks that every project include in src/ points down or sideways in the
# layer table below, and lists each include that does not.
#
#   scripts/check-layers.sh [SRC_DIR]     (default: the src/ beside this script;
#                                          DIVIV_LAYERS_SRC also names it)
#
# An include is a line #include "folder/header.h" whose folder is a folder of
# SRC_DIR; a file's layer is its top folder under SRC_DIR (core/main.cpp is
# the layer "main"). Includes within one folder are always allowed.
# Exit status: 0 when every include is allowed, 1 when one is not, 2 when the
# source folder cannot be read.
set -eu

src="${1:-${DIVIV_LAYERS_SRC:-$(dirname "$0")/../src}}"
if [ ! -d "$src" ]; then
    echo "check-layers: no source folder $src" >&2
    exit 2
fi

# The shared record and its ring buffers: core headers every layer above the
# board may use. Workers also follow the record's start/stop handshake.
shared="core/DR_shared.h core/dr_ringbuffer.h core/DR_common.h"
handshake="core/WorkerHandshake.h"
services="config storage osd"
workers="recording sensors playback"

# layer: what it may include (folders, or single headers as folder/header).
table="
platform:
sim: platform
formats:
config: platform formats $shared
storage: platform formats $shared
osd: platform formats $shared
recording: platform formats $services $shared $handshake
sensors: platform formats $services $shared $handshake
playback: platform formats $services $shared $handshake
core: platform formats $services $workers
main: core platform formats $services $workers sim
"

folders=$(cd "$src" && find . -mindepth 1 -maxdepth 1 -type d | sed 's|^\./||' | tr '\n' ' ')

grep -rnE --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.c' \
    '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[A-Za-z0-9_]+/' "$src" |
awk -v src="$src/" -v table="$table" -v folders="$folders" '
BEGIN {
    n = split(table, rows, "\n")
    for (i = 1; i <= n; i++) {
        if (rows[i] !~ /:/) continue
        layer = rows[i]; sub(/:.*/, "", layer)
        known[layer] = 1
        rest = rows[i]; sub(/^[^:]*:/, "", rest)
        m = split(rest, targets, " ")
        for (j = 1; j <= m; j++) allowed[layer, targets[j]] = 1
    }
    m = split(folders, f, " ")
    for (j = 1; j <= m; j++) project[f[j]] = 1
    bad = 0
}
{
    # path:line:text (paths hold no colon in this tree)
    path = $0; sub(/:.*/, "", path)
    line = $0; sub(/^[^:]*:/, "", line); text = line; sub(/:.*/, "", line); sub(/^[^:]*:/, "", text)
    rel = substr(path, length(src) + 1)
    sub(/^\/+/, "", rel)
    from = rel; sub(/\/.*/, "", from)
    if (rel == "core/main.cpp") from = "main"
    header = text; sub(/^[^"]*"/, "", header); sub(/".*/, "", header)
    to = header; sub(/\/.*/, "", to)
    if (!(to in project)) next                 # not a folder of ours
    if (to == from) next
    if (!(from in known)) {
        printf "%s:%s: folder %s is not in the layer table (includes %s)\n", rel, line, from, header
        bad++
        next
    }
    if ((from, to) in allowed || (from, header) in allowed) next
    printf "%s:%s: %s -> %s\n", rel, line, from, header
    bad++
}
END {
    if (bad > 0) {
        printf "check-layers: %d include(s) break the layer table\n", bad
        exit 1
    }
}
'
