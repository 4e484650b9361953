#!/bin/sh
# Installs every Debian package DiViv needs to build, test and run its demo.
# Quick when everything is present: apt-get runs only for missing packages.
set -eu

PACKAGES="
cmake g++ make pkg-config ccache
libgtest-dev libgmock-dev libbenchmark-dev
libdirectfb-dev libdirectfb-extra fonts-dejavu-core libfreetype-dev
libx264-dev libavcodec-dev libavformat-dev libavutil-dev libswscale-dev ffmpeg
libspandsp-dev libpng-dev
clang libclang-rt-14-dev
gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
"

missing=""
for p in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done

[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
