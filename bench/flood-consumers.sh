#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Floods real transport stream consumers, one after another, and prints one
# table row for each: how many packets it was sent and at what rate, what it
# counted itself, and how it ended.
#
#   bench/flood-consumers.sh [-s SECONDS] [-g GRACE] [-t TSFLOOD] [-P BYTES | -u PORT] COMMAND...
#
#   bench/flood-consumers.sh 'tsreport -stdin' 'dvbinfo -f /dev/stdin'
#   bench/flood-consumers.sh -u 5000 'socat -u UDP-RECV:5000 /dev/null'
#
# Through a pipe (the default), COMMAND reads the flood on its standard input.
# Between the two, bench/relay (built with the release preset) moves the flood
# on as it comes and counts it. After SECONDS it is stopped: it passes on the
# rest of the packet in progress and ends, so the consumer meets the end of a
# well-formed stream and its count is the exact number of packets the
# consumer was sent. -P BYTES sizes the consumer's pipe (F_SETPIPE_SZ).
#
# With -u PORT, COMMAND listens on 127.0.0.1:PORT. The relay sends the flood
# there in datagrams of 7 whole packets (1316 bytes, the IPTV convention), and
# the row adds the datagrams sent and those the kernel dropped at the
# consumer's socket (/proc/net/udp): a null-only stream lets no consumer see
# its own loss.
#
# Each COMMAND runs under sh -c, in a process group of its own. Once its input
# has ended it has GRACE seconds (3) to end by itself; then its whole group is
# ended, so nothing it started is left running. Of its output, the first and
# last lines are kept; the row shows the last lines that speak of packets,
# else its last line. SECONDS is a whole number (default 5); TSFLOOD defaults
# to the release build's, else the one on the PATH. Exit status 1 when a
# consumer was sent nothing.
set -euo pipefail

seconds=5
grace=3
listen=5 # seconds a UDP consumer may take to start listening
pipe_size=
port=
tsflood=$(dirname "$0")/../build/release/tsflood
relay=$(dirname "$0")/../build/release/bench/relay
while getopts s:g:t:P:u: option; do
    case $option in
    s) seconds=$OPTARG ;;
    g) grace=$OPTARG ;;
    t) tsflood=$OPTARG ;;
    P) pipe_size=$OPTARG ;;
    u) port=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[[ -z $pipe_size || -z $port ]] || { echo "-P sizes a pipe; -u sends datagrams: choose one" >&2; exit 2; }
[[ -x $tsflood ]] || tsflood=$(command -v tsflood) || { echo "no tsflood to run" >&2; exit 1; }
[[ -x $relay ]] || { echo "no $relay: cmake --workflow --preset release" >&2; exit 1; }

work=$(mktemp -d)
started=() # processes and consumers' process groups ("-PID"), ended on the way out
trap 'kill -KILL -- "${started[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

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
        sleep 0.05
    done
}

# "exit N" or "signal NAME" for the status of process $1. Bash's notice of a
# job killed by a signal is not wanted.
status_of() {
    local code=0
    { wait "$1" || code=$?; } 2>/dev/null
    if ((code > 128)); then echo "signal $(kill -l $((code - 128)))"; else echo "exit $code"; fi
}

# Ends process group $1: SIGTERM, then SIGKILL to whatever is left after 1 s.
end_group() {
    kill -TERM -- "-$1" 2>/dev/null || return 0
    local at
    at=$(now_us)
    while kill -0 -- "-$1" 2>/dev/null && (($(now_us) - at < 1000000)); do sleep 0.05; done
    kill -KILL -- "-$1" 2>/dev/null || true
}

# The UDP sockets bound to port $1: "sockets drops", summed over IPv4 and IPv6.
sockets_on() {
    awk -v port="$(printf '%04X' "$1")" 'FNR > 1 && substr($2, length($2) - 3) == port { ++n; drops += $13 }
        END { print n + 0, drops + 0 }' /proc/net/udp /proc/net/udp6
}

# Keeps the first 5 and the last 40 lines of its input, each cut to 200
# characters, so a chatty consumer costs no disk.
keep_ends() {
    exec awk 'NR <= 5 { print substr($0, 1, 200); next } { tail[NR % 40] = substr($0, 1, 200) }
        END { for (i = (NR - 39 > 6 ? NR - 39 : 6); i <= NR; ++i) print tail[i % 40] }'
}

# Bytes per second as "1.65 GiB/s" or "335 MiB/s".
rate() {
    awk -v r="$1" 'BEGIN { if (r >= 2 ^ 30) printf "%.2f GiB/s", r / 2 ^ 30; else printf "%.0f MiB/s", r / 2 ^ 20 }'
}

# Text made safe for a Markdown table cell, its lines joined by " / ".
cell() { paste -s -d '\v' | sed 's/\v/ \/ /g; s/|/\\|/g; s/</\&lt;/g'; }

if [[ -n $port ]] && read -r sockets _ < <(sockets_on "$port") && ((sockets > 0)); then
    echo "UDP port $port is in use: a consumer must have it to itself" >&2
    exit 1
fi
if [[ -n $port ]]; then
    echo "| consumer | packets sent | datagrams sent | dropped at its socket | rate | consumer said at the end | consumer ended |"
    echo "|---|---:|---:|---:|---:|---|---|"
else
    echo "| consumer | packets sent | rate | consumer said at the end | consumer ended |"
    echo "|---|---:|---:|---|---|"
fi
status=0
for command in "$@"; do
    rm -rf "${work:?}"/*
    mkfifo "$work/said" "$work/stream" "$work/flood"
    keep_ends <"$work/said" >"$work/kept" &
    keeper=$!
    stream=$work/stream
    [[ -z $port ]] || stream=/dev/null
    setsid sh -c "$command" <"$stream" >"$work/said" 2>&1 &
    consumer=$!
    started+=("$keeper" "-$consumer")

    start=$(now_us)
    ended="" drops=n/a relay_options=()
    [[ -z $pipe_size ]] || relay_options=(-P "$pipe_size")
    if [[ -n $port ]]; then
        relay_options=(-u "$port")
        while read -r sockets _ < <(sockets_on "$port") && ((sockets == 0)); do
            if ! kill -0 "$consumer" 2>/dev/null; then
                ended="$(status_of "$consumer") after $(since "$start") s, before it listened"
            elif (($(now_us) - start > listen * 1000000)); then
                ended="not listening on port $port after $listen s: ended"
            fi
            [[ -z $ended ]] || break
            sleep 0.05
        done
    fi
    if [[ -z $ended ]]; then
        "$tsflood" 2>/dev/null >"$work/flood" &
        flood=$!
        "$relay" "${relay_options[@]}" <"$work/flood" >"$stream" 2>"$work/relay" &
        relaying=$!
        started+=("$flood" "$relaying")
        ended_within "$relaying" "$seconds" "$start" || kill -TERM "$relaying"
        # It passes on the rest of a packet within a second, or gives up.
        ended_within "$relaying" 2 "$(now_us)" || kill -KILL "$relaying"
        { wait "$relaying" || true; } 2>/dev/null
        [[ -z $port ]] || read -r _ drops < <(sockets_on "$port")
        kill "$flood" 2>/dev/null || true # if its next write has not ended it yet
        { wait "$flood" || true; } 2>/dev/null
        input_end=$(now_us)
        if ended_within "$consumer" "$grace" "$input_end"; then
            ended="$(status_of "$consumer") after $(since "$start") s"
        else
            ended="still running $grace s after its input ended: ended"
        fi
    fi
    end_group "$consumer" # the consumer, or what it left behind in its group
    { wait "$consumer" || true; } 2>/dev/null
    ended_within "$keeper" 1 "$(now_us)" || kill "$keeper" 2>/dev/null || true
    started=()
    # The relay's last words: "sent N bytes in D datagrams, R bytes/s ...".
    read -r sent datagrams speed < <(awk '/^sent/ { print $2, $5, $7 }' "$work/relay" 2>/dev/null) || true
    sent=${sent:-0}
    ((sent > 0)) || status=1
    if ((${speed:-0} > 0)); then speed=$(rate "$speed"); else speed=n/a; fi
    said=$({ grep -i 'packet' "$work/kept" || grep . "$work/kept" || true; } | tail -n 2 | cell)
    if [[ -z $datagrams && -s $work/relay ]]; then
        said="$(tail -n 1 "$work/relay" | cell)${said:+ / $said}"
    fi
    packets="$((sent / 188))"
    ((sent % 188 == 0)) || packets+=" and $((sent % 188)) bytes"
    if [[ -n $port ]]; then
        echo "| \`${command//|/\\|}\` | $packets | ${datagrams:-0} | $drops | $speed | $said | $ended |"
    else
        echo "| \`${command//|/\\|}\` | $packets | $speed | $said | $ended |"
    fi
done
exit "$status"
