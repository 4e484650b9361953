#!/bin/sh
# The power-cut campaign on the whole recorder: 50 cuts with a fixed seed,
# then 12 with a seed drawn at random and printed for replay. The boards are
# kept (their folder printed) when a campaign fails.
#
#   power_cut_campaign.sh BOARDSIM DIVIV DIVIV_MEDIA
set -u
boardsim="$1"
diviv="$2"
media="$3"
dir=$(mktemp -d "${TMPDIR:-/tmp}/diviv-campaign-XXXXXX")
status=0
"$boardsim" campaign "$dir/fixed" --cuts 50 --seed 20261208 --jobs 4 --media "$media" -- "$diviv" 1 || status=1
"$boardsim" campaign "$dir/random" --cuts 12 --jobs 4 --media "$media" -- "$diviv" 1 || status=1
if [ "$status" -eq 0 ]; then
    rm -rf "$dir"
else
    echo "power_cut_campaign: the boards are kept in $dir"
fi
exit "$status"
