#!/bin/sh
# Builds the recorder for the board: 32-bit ARM Linux, Debian's armel port.
#
#   scripts/cross-build.sh           cross toolchain, armel libraries, build
#   scripts/cross-build.sh --test    the same, then the unit tests under qemu-arm
#   scripts/cross-build.sh --ci      the board's programs and the unit tests of
#                                    the records that cross a boundary and the
#                                    code around them, run under qemu-arm (CI)
#
# The host gets Debian's arm-linux-gnueabi cross compiler and qemu-user. The
# armel libraries the recorder links (x264, libavcodec, DirectFB, libpng, and
# spandsp and GoogleTest for the tests) go into a private sysroot fetched with
# apt from the host's own package sources, not into the host's package
# database: the host's amd64 libraries carry security updates that armel does
# not get, and a Multi-Arch "same" library only co-installs at one version.
# The same sysroot is the root qemu-arm runs the programs in.
#
# Quick when everything is present: apt runs only for missing host packages,
# the sysroot is rebuilt only when its package list changes, ccache keeps the
# objects.
#
# Environment: DIVIV_ARM_BUILD (build folder, default build-arm),
# DIVIV_ARM_SYSROOT (default /opt/diviv/armel-sysroot), DIVIV_ARM_JOBS (-j).
set -eu

cd "$(dirname "$0")/.."
SRC=$(pwd)
BUILD=${DIVIV_ARM_BUILD:-$SRC/build-arm}
SYSROOT=${DIVIV_ARM_SYSROOT:-/opt/diviv/armel-sysroot}
JOBS=${DIVIV_ARM_JOBS:-2}

RUN_TESTS=0
CI_ONLY=0
case "${1:-}" in
    "") ;;
    --test) RUN_TESTS=1 ;;
    --ci) RUN_TESTS=1; CI_ONLY=1 ;;
    -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "cross-build: unknown option '$1' (use --test or --ci)" >&2; exit 2 ;;
esac

# The CI's share of the emulated tests (a test program takes seconds to
# start under the emulator, the codec tests minutes): the record sizes and
# field places (core_test), the EEPROM record and setup file (config_test),
# storage and the index (storage_test), board paths, clock and devices
# (platform_test), the ASF objects (asf_mux_test, asf_demux_test), NMEA and
# the GPS clock (gps_test), the event rules over sensor records
# (event_detect_test), the host messages and card events (host_command_test,
# card_event_test).
CI_TESTS="core_test config_test storage_test platform_test asf_mux_test asf_demux_test gps_test event_detect_test
host_command_test card_event_test"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# Other builds may run apt at the same time: wait for the lock instead of failing.
APT_LOCK="-o DPkg::Lock::Timeout=900"

HOST_PACKAGES="cmake make pkg-config ccache gcc-arm-linux-gnueabi g++-arm-linux-gnueabi qemu-user"

# What the armel build links; their dependencies come along.
# DirectFB's FreeType font provider (libdirectfb-extra) draws the on-screen
# display's TrueType fonts: the board needs it beside libdirectfb.
ARMEL_PACKAGES="libx264-dev libavcodec-dev libavutil-dev libavformat-dev libswscale-dev libdirectfb-dev
libdirectfb-extra libpng-dev libspandsp-dev libgtest-dev libgmock-dev"
# Headers and link files the cross toolchain brings itself (its C library,
# libstdc++ and kernel headers, of the same versions); taking them from the
# sysroot too would mix two copies in one compilation.
ARMEL_SKIP="libc6-dev linux-libc-dev libstdc++-12-dev libgcc-12-dev libcrypt-dev
libnsl-dev libtirpc-dev rpcsvc-proto"

install_host_packages() {
    missing=""
    for p in $HOST_PACKAGES; do
        case "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" in
            *"install ok installed"*) ;;
            *) missing="$missing $p" ;;
        esac
    done
    [ -z "$missing" ] && return 0
    echo "cross-build: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2086
    $SUDO apt-get $APT_LOCK update -qq
    # shellcheck disable=SC2086
    $SUDO apt-get $APT_LOCK install -y -qq --no-install-recommends $missing >/dev/null
}

# The armel packages' names and the skip list, one line: the sysroot's stamp.
sysroot_stamp() {
    echo "$ARMEL_PACKAGES | $ARMEL_SKIP" | tr -s ' \n' '  '
}

make_sysroot() {
    stamp=$(sysroot_stamp)
    if [ -f "$SYSROOT/.diviv-sysroot" ] && [ "$(cat "$SYSROOT/.diviv-sysroot")" = "$stamp" ]; then
        return 0
    fi
    echo "cross-build: fetching the armel libraries into $SYSROOT"
    apt_dir="$SYSROOT.apt"
    $SUDO rm -rf "$SYSROOT" "$apt_dir"
    $SUDO mkdir -p "$SYSROOT" "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial"
    $SUDO touch "$apt_dir/state/status"
    # A private apt: the host's sources and settings, armel as the only
    # architecture, an empty package database of its own.
    apt_private="-o APT::Architecture=armel -o APT::Architectures=armel
        -o Dir::State=$apt_dir/state -o Dir::State::status=$apt_dir/state/status
        -o Dir::Cache=$apt_dir/cache -o APT::Install-Recommends=false"
    # shellcheck disable=SC2086
    $SUDO apt-get $apt_private update -qq
    # shellcheck disable=SC2086
    $SUDO apt-get $apt_private install -y -qq --download-only $ARMEL_PACKAGES >/dev/null
    for deb in "$apt_dir"/cache/archives/*.deb; do
        name=$(dpkg-deb -f "$deb" Package)
        case " $(echo "$ARMEL_SKIP" | tr '\n' ' ') " in
            *" $name "*) continue ;;
        esac
        $SUDO dpkg-deb -x "$deb" "$SYSROOT"
    done
    $SUDO rm -rf "$apt_dir"
    echo "$stamp" | $SUDO tee "$SYSROOT/.diviv-sysroot" >/dev/null
}

configure() {
    cmake -S "$SRC" -B "$BUILD" \
        -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/arm-linux-gnueabi.cmake" \
        -DDIVIV_ARM_SYSROOT="$SYSROOT" \
        -DCMAKE_BUILD_TYPE=Release \
        -DDIVIV_PC_TOOLS=OFF -DDIVIV_BENCH=OFF >/dev/null
}

# Everything the board build holds: DiViv, diviv-media, diviv-host, and the
# unit tests with the programs they run.
build() {
    if [ "$CI_ONLY" -eq 1 ]; then
        # shellcheck disable=SC2086
        cmake --build "$BUILD" -j"$JOBS" --target DiViv diviv-media diviv-host $CI_TESTS
    else
        cmake --build "$BUILD" -j"$JOBS"
    fi
}

# DirectFB lists its module folders with 32-bit readdir, which fails
# (EOVERFLOW) under qemu-user on a 64-bit PC's disk file systems: the emulated
# programs find the modules in a copy on tmpfs, named in the sysroot's
# directfbrc (qemu-arm reads /etc from the sysroot). The copy leaves out the
# graphics drivers, which probe the PC's hardware as if it were the board's
# (the OMAP driver crashes); the dummy system the tests use needs none.
emulated_directfb() {
    modules=/dev/shm/diviv-armel-directfb
    rm -rf "$modules"
    mkdir -p "$modules"
    for d in "$SYSROOT"/usr/lib/arm-linux-gnueabi/directfb-*/*; do
        [ "$(basename "$d")" = gfxdrivers ] || cp -r "$d" "$modules/"
    done
    echo "module-dir=$modules" | $SUDO tee "$SYSROOT/etc/directfbrc" >/dev/null
}

run_tests() {
    emulated_directfb
    cd "$BUILD"
    # Every test runs under qemu-arm (the toolchain file's emulator), one at
    # a time: the threaded tests wait against deadlines and the emulated
    # threads need the cores.
    if [ "$CI_ONLY" -eq 1 ]; then
        ctest --output-on-failure -R "^($(echo $CI_TESTS | tr ' ' '|'))\$"
    else
        ctest --output-on-failure
    fi
}

install_host_packages
make_sysroot
configure
build
echo "cross-build: built $(cd "$BUILD" && ls src/core/DiViv tools/diviv-media/diviv-media tools/diviv-host/diviv-host 2>/dev/null | tr '\n' ' ')in $BUILD"
if [ "$RUN_TESTS" -eq 1 ]; then
    run_tests
fi
