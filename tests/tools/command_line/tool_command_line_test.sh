#!/bin/sh
# tool_command_line_test.sh NAME PROGRAM: help and unknown options of one
# companion program, run in an empty folder that must stay empty.
set -u
name=$1
program=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $name $*"
    failures=$((failures + 1))
}

# run ARGS...: runs the program in the empty folder; sets rc, out, err.
run() {
    mkdir -p "$work/cwd"
    (cd "$work/cwd" && DIVIV_ROOT='' "$program" "$@" >"$work/out" 2>"$work/err")
    rc=$?
    out=$(cat "$work/out")
    err=$(cat "$work/err")
    left=$(find "$work/cwd" -mindepth 1 -maxdepth 1 | sed "s|^$work/cwd/||" | tr '\n' ' ')
    if [ -n "$left" ]; then
        fail "$*: left $left in the folder it ran in"
        rm -rf "$work/cwd"
    fi
}

# expect_help ARGS...: usage on standard output, nothing on standard error, 0.
expect_help() {
    run "$@"
    [ "$rc" -eq 0 ] || fail "$*: exit status $rc, expected 0"
    case "$out" in usage:*) ;; *) fail "$*: standard output does not start with the usage: $out" ;; esac
    [ -z "$err" ] || fail "$*: wrote to standard error: $err"
}

# expect_refused ARGS... -- WORD: non-zero exit, a message naming WORD on
# standard error, nothing on standard output.
expect_refused() {
    word=$1
    shift
    run "$@"
    [ "$rc" -ne 0 ] || fail "$*: exit status 0 for an unknown option"
    echo "$err" | grep -qF -- "unknown option $word" || fail "$*: no 'unknown option $word' on standard error: $err"
    [ -z "$out" ] || fail "$*: wrote to standard output: $out"
}

expect_help --help
expect_help -h
expect_refused --frobnicate --frobnicate
expect_refused -x -x

case "$name" in
osdshot)
    # The option is never taken as the output folder, wherever it stands.
    expect_refused --frobnicate out --frobnicate
    ;;
fontgen)
    expect_help font.ttf out --help
    expect_refused --frobnicate font.ttf out --frobnicate
    ;;
boardsim)
    for verb in init run ctl; do
        expect_help "$verb" --help
        expect_refused --frobnicate "$verb" --frobnicate
    done
    expect_help init board --help
    expect_refused --frobnicate init board --frobnicate
    expect_refused --frobnicate run board --frobnicate -- true
    run frobnicate
    [ "$rc" -ne 0 ] || fail "frobnicate: exit status 0 for an unknown command"
    echo "$err" | grep -qF "unknown command frobnicate" || fail "frobnicate: $err"
    ;;
diviv-media)
    for cmd in mux info extract frames g726; do
        expect_help "$cmd" --help
    done
    expect_help mux --video in.h264 --help
    expect_refused --frobnicate info in.asf --frobnicate
    expect_refused --frobnicate g726 encode --frobnicate 4 in.wav out.g726
    ;;
diviv-host)
    # Nothing is sent when the words are refused: the queue ids name no queue.
    expect_help --queues 1 2 status --help
    expect_refused --frobnicate --queues 1 2 status --frobnicate
    ;;
esac

[ "$failures" -eq 0 ] || exit 1
echo "$name: ok"
