#!/bin/sh
# Fuzzes the parsers of outside input with libFuzzer (clang, AddressSanitizer
# and UndefinedBehaviorSanitizer), built in build-fuzz.
#
#   scripts/fuzz.sh TARGET SECONDS [LIBFUZZER-OPTION...]   one target
#   scripts/fuzz.sh all SECONDS [LIBFUZZER-OPTION...]      every target in turn
#   scripts/fuzz.sh --ci                                   every target 20 s
#   scripts/fuzz.sh --list                                 the targets
#
# TARGET is a name from --list (asf_reader, setup_ini, ...). SECONDS 0 runs
# without a time limit, e.g. `scripts/fuzz.sh nmea 0 -runs=10000000`.
# The seeds are made by the project's own tools (build-fuzz/seeds: recordings
# from `diviv-media mux`, the rest from fuzz/make_seeds.cpp); what a run
# learns is kept in build-fuzz/corpus/TARGET, a failing input in
# build-fuzz/artifacts/TARGET/. The exit status is non-zero when a target
# found a fault. FUZZ_JOBS=N runs N fuzzing processes per target.
set -eu
cd "$(dirname "$0")/.."

TARGETS="asf_reader setup_ini eeprom_record index_file nmea host_message card_event"
BUILD=build-fuzz

usage() {
    sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

[ $# -ge 1 ] || usage
case "$1" in
    --list) echo "$TARGETS"; exit 0 ;;
    --ci) set -- all 20 ;;
    -h|--help) usage ;;
esac
[ $# -ge 2 ] || usage
WHICH=$1
SECONDS_EACH=$2
shift 2
case "$SECONDS_EACH" in ''|*[!0-9]*) usage ;; esac
if [ "$WHICH" != all ]; then
    case " $TARGETS " in *" $WHICH "*) ;; *) echo "fuzz.sh: unknown target $WHICH (one of: $TARGETS)" >&2; exit 2 ;; esac
fi

scripts/install-deps.sh
JOBS="${JOBS:-2}"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DDIVIV_FUZZ=ON -DBUILD_TESTING=OFF -DDIVIV_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" -j "$JOBS" --target fuzz_all fuzz_make_seeds diviv-media >/dev/null

# The instrumented tools leak at exit by design (one process, one run).
export ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=16:max_malloc_fill_size=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

SEEDS=$BUILD/seeds
make_seeds() {
    [ -f "$SEEDS/.done" ] && return 0
    rm -rf "$SEEDS"
    mkdir -p "$SEEDS/asf_reader"
    "$BUILD/fuzz/fuzz_make_seeds" "$SEEDS"
    # Recordings: a short H.264 stream, its sound and sensor records, muxed
    # plain, with sound and records, and with scrambled key pictures.
    tmp=$(mktemp -d)
    ffmpeg -loglevel error -f lavfi -i testsrc=size=64x48:rate=30 -frames:v 12 -c:v libx264 -profile:v baseline \
        -x264-params keyint=6 -pix_fmt yuv420p -f h264 "$tmp/v.h264"
    ffmpeg -loglevel error -f lavfi -i sine=frequency=1000:sample_rate=8000 -t 0.4 -ac 1 -c:a pcm_s16le "$tmp/a.wav"
    cat "$SEEDS/nmea/moving" "$SEEDS/nmea/nofix" > "$tmp/records.txt"
    printf '\n' >> "$tmp/records.txt"
    media="$BUILD/tools/diviv-media/diviv-media"
    "$media" mux --video "$tmp/v.h264" -o "$SEEDS/asf_reader/video.asf" >/dev/null
    "$media" mux --video "$tmp/v.h264" --audio "$tmp/a.wav" --text "$tmp/records.txt" --date 1718400000 \
        -o "$SEEDS/asf_reader/full.asf" >/dev/null
    "$media" mux --video "$tmp/v.h264" --audio "$tmp/a.wav" --scramble 9274 -o "$SEEDS/asf_reader/scrambled.asf" >/dev/null
    rm -rf "$tmp"
    touch "$SEEDS/.done"
}
make_seeds

# Longest input per target: the size of what the parser is handed.
max_len() {
    case "$1" in
        host_message) echo 64 ;;
        eeprom_record) echo 512 ;;
        card_event) echo 265 ;;
        nmea) echo 128 ;;
        setup_ini|index_file) echo 2048 ;;
        asf_reader) echo 16384 ;;
    esac
}

run_one() {
    t=$1
    shift
    corpus=$BUILD/corpus/$t
    artifacts=$BUILD/artifacts/$t
    mkdir -p "$corpus" "$artifacts"
    log=$BUILD/fuzz-$t.log
    set -- -max_len="$(max_len "$t")" -print_final_stats=1 -artifact_prefix="$artifacts/" "$@"
    [ "$SECONDS_EACH" -gt 0 ] && set -- -max_total_time="$SECONDS_EACH" "$@"
    [ -n "${FUZZ_JOBS:-}" ] && set -- -jobs="$FUZZ_JOBS" -workers="$FUZZ_JOBS" "$@"
    start=$(date +%s)
    status=0
    nice -n 10 "$BUILD/fuzz/fuzz_$t" "$@" "$corpus" "$SEEDS/$t" >"$log" 2>&1 || status=$?
    took=$(( $(date +%s) - start ))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | awk '{s += $1} END {print s + 0}')
    if [ "$status" -eq 0 ]; then
        echo "fuzz $t: $runs inputs in ${took} s, no fault"
    else
        echo "fuzz $t: FAULT after ${took} s (exit $status); input in $artifacts/, log $log"
        grep -E "ERROR|SUMMARY|runtime error|deadly signal" "$log" | head -5
    fi
    return "$status"
}

failed=0
if [ "$WHICH" = all ]; then
    for t in $TARGETS; do run_one "$t" "$@" || failed=1; done
else
    run_one "$WHICH" "$@" || failed=1
fi
exit "$failed"
