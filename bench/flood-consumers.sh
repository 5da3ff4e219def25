#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Floods real transport stream consumers. For each command given, runs
# `tsflood | COMMAND` for a few seconds, stops tsflood, gives the consumer a
# few seconds to finish at the end of its input, and prints one table row:
# the rate tsflood sustained (from its own report lines), how the consumer
# ended, how tsflood ended, and the first line the consumer printed.
#
#   bench/flood-consumers.sh [-s SECONDS] [-t TSFLOOD] COMMAND...
#
#   bench/flood-consumers.sh 'tsreport -stdin' \
#       'ffmpeg -hide_banner -nostdin -f mpegts -i pipe:0 -f null -' \
#       'gst-launch-1.0 -q fdsrc fd=0 ! tsdemux ! fakesink' 'dvbinfo -f /dev/stdin'
#
# Each COMMAND runs under sh -c and reads the flood on its standard input.
# SECONDS is a whole number (default 5); TSFLOOD defaults to the release
# build's, else the one on the PATH. Exit status 1 when tsflood reported
# nothing for a consumer (it could not run, or its report was lost).
set -euo pipefail

seconds=5
grace=3 # seconds a consumer may take to end once its input has ended
tsflood=$(dirname "$0")/../build/release/tsflood
while getopts s:t: option; do
    case $option in
    s) seconds=$OPTARG ;;
    t) tsflood=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[[ -x $tsflood ]] || tsflood=$(command -v tsflood) || { echo "no tsflood to run" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now_us() { echo "${EPOCHREALTIME/./}"; }

# Seconds since a now_us() reading, with one decimal.
since() {
    local us=$(($(now_us) - $1))
    echo "$((us / 1000000)).$((us / 100000 % 10))"
}

# Waits while process $1 runs, at most $2 seconds from the now_us() reading
# $3; true when it has ended.
ended_within() {
    while kill -0 "$1" 2>/dev/null; do
        (($(now_us) - $3 < $2 * 1000000)) || return 1
        sleep 0.1
    done
}

# "exit N" or "signal NAME" for the status of process $1.
status_of() {
    local code=0
    wait "$1" || code=$?
    if ((code > 128)); then echo "signal $(kill -l $((code - 128)))"; else echo "exit $code"; fi
}

# Bytes per second between the first and the last report line, from lines
# "MICROSECONDS written: FIGURE UNIT". Each line counts the bytes written
# since the line before it, so the first line's figure (since start-up) is
# left out.
rate() {
    awk 'BEGIN { n = split("B KiB MiB GiB TiB PiB", units); for (i = 1; i <= n; ++i) scale[units[i]] = 1024 ^ (i - 1) }
         NR == 1 { first = $1 }
         NR > 1  { bytes += $3 * scale[$4]; last = $1 }
         END { if (NR < 2) { print "n/a"; exit }
               rate = bytes / ((last - first) / 1e6)
               if (rate >= 2 ^ 30) printf "%.2f GiB/s", rate / 2 ^ 30; else printf "%.0f MiB/s", rate / 2 ^ 20 }' "$1"
}

echo "| consumer | tsflood's rate | consumer ended | tsflood ended | consumer's first line |"
echo "|---|---:|---|---|---|"
status=0
for command in "$@"; do
    rm -f "$work"/*
    mkfifo "$work/stream" "$work/stderr"
    while IFS= read -r line; do echo "$(now_us) $line"; done <"$work/stderr" >"$work/report" &
    reporter=$!
    start=$(now_us)
    "$tsflood" >"$work/stream" 2>"$work/stderr" &
    flood=$!
    sh -c "$command" <"$work/stream" >"$work/said" 2>&1 &
    consumer=$!

    if ended_within "$flood" "$seconds" "$start"; then
        flood_ended="$(status_of "$flood") after $(since "$start") s"
    else
        kill "$flood" 2>/dev/null || true
        wait "$flood" || true
        flood_ended="stopped after $seconds s"
    fi
    input_end=$(now_us)
    if ended_within "$consumer" "$grace" "$input_end"; then
        consumer_ended="$(status_of "$consumer") after $(since "$start") s"
    else
        kill -KILL "$consumer" 2>/dev/null || true
        { wait "$consumer" || true; } 2>/dev/null # no "Killed" notice from bash
        consumer_ended="still running $grace s after its input ended: killed"
    fi
    wait "$reporter" || true
    [[ -s $work/report ]] || status=1
    # The first line the consumer printed, made safe for a Markdown table cell.
    first_line=$({ grep -m 1 . "$work/said" || true; } | cut -c 1-72 | sed 's/|/\\|/g; s/</\&lt;/g')
    echo "| \`${command//|/\\|}\` | $(rate "$work/report") | $consumer_ended | $flood_ended | $first_line |"
done
exit "$status"
