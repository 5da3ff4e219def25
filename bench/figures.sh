#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Draws the figures of bench/README.md and consumers/measurements.md, as SVG
# files in bench/figures/, from the measurements in bench/data/ (JSON lines
# that tsflood-consumers --json and throughput --sweep --json printed). With
# --measure it first measures them again on this machine (how long that takes
# is in bench/README.md); it needs a quiet machine, the release build, root
# (VLC runs as nobody, the multicast receivers in a network namespace of their
# own) and the Debian consumers of consumers/measurements.md.
#
#   bench/figures.sh             draw from bench/data/
#   bench/figures.sh --measure   measure into bench/data/, then draw
set -euo pipefail
cd "$(dirname "$0")/.."
data=bench/data
figures=bench/figures

for tool in gnuplot jq; do
    command -v "$tool" >/dev/null ||
        { echo "bench/figures.sh: $tool is missing: apt-get install gnuplot-nox jq" >&2; exit 1; }
done

# The Debian UDP consumers, each with the label its lines get.
port=5000
udp_labels=("socat into tsreport" "ffmpeg" "GStreamer" "VLC" "dvbinfo")
udp_consumers=(
    "socat -u -T 1 UDP-RECV:$port - | tsreport -stdin"
    "ffmpeg -hide_banner -nostdin -f mpegts -i udp://127.0.0.1:$port -f null -"
    "gst-launch-1.0 -q udpsrc port=$port ! tsdemux ! fakesink"
    "runuser -u nobody -- env HOME=/tmp cvlc -q -A dummy -V dummy udp://@127.0.0.1:$port"
    "dvbinfo -u -i 127.0.0.1:$port"
)
# The Debian consumers through a pipe, for the long flood.
pipe_labels=("tsreport" "ffmpeg" "GStreamer" "dvbinfo" "VLC")
pipe_consumers=(
    "tsreport -stdin"
    "ffmpeg -hide_banner -nostdin -f mpegts -i pipe:0 -f null -"
    "gst-launch-1.0 -q fdsrc fd=0 ! tsdemux ! fakesink"
    "dvbinfo -f /dev/stdin"
    "runuser -u nobody -- env HOME=/tmp cvlc -q -A dummy -V dummy --play-and-exit -"
)
rates=(1M 2M 5M 10M 20M 50M 100M 200M 500M 1G 2G)
# Receivers of one multicast group, flooded together in a network of the
# harness's own: how many, and at what rates.
group=239.1.1.1
group_receiver="socat -u -T 1 UDP4-RECV:$port,ip-add-membership=$group:127.0.0.1,reuseaddr - | wc -c"
group_sizes=(1 2 4 8)
group_rates=(50M 100M 200M)

if [[ ${1:-} == --measure ]]; then
    consumers=build/release/tsflood-consumers
    [[ -x $consumers ]] || { echo "bench/figures.sh: no $consumers: cmake --workflow --preset release" >&2; exit 1; }
    mkdir -p "$data"
    {
        grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //; s/$/, /' | tr -d '\n'
        echo "$(nproc) CPUs, Linux $(uname -r), $(date -u +%Y-%m-%d)"
    } >"$data/machine.txt"
    build/release/bench/throughput --sweep --json >"$data/pipe-sizes.jsonl"
    : >"$data/udp-rates.jsonl"
    for rate in "${rates[@]}"; do
        "$consumers" --json -s 5 -u "$port" -r "$rate" "${udp_consumers[@]}" >>"$data/udp-rates.jsonl" || true
    done
    "$consumers" --json --find-limit -s 10 -u "$port" "${udp_consumers[@]}" >"$data/udp-limits.jsonl" || true
    "$consumers" --json -s 600 -g 10 "${pipe_consumers[@]}" >"$data/long-flood.jsonl" || true
    : >"$data/multicast.jsonl"
    for rate in "${group_rates[@]}"; do
        for size in "${group_sizes[@]}"; do
            receivers=()
            for ((k = 0; k < size; k++)); do receivers+=("$group_receiver"); done
            "$consumers" --json --netns --together -s 5 -r "$rate" -u "$group:$port" "${receivers[@]}" |
                jq -c --argjson n "$size" '. + {receivers: $n}' >>"$data/multicast.jsonl" || true
        done
    done
fi

mkdir -p "$figures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
machine=$(cat "$data/machine.txt")

# The figure's gnuplot preamble: SVG of a given title, with the machine and
# date below it.
svg() {
    printf 'set terminal svg size 900,520 dynamic font "sans,13" background "white"\n'
    printf 'set output "%s"\nset title "%s\\n{/*0.8 %s}"\nset key outside right\nset grid\n' \
        "$figures/$1" "$2" "$machine"
}

# % dropped against offered rate, one line per consumer, its loss-free rate
# marked on the axis with a filled triangle that points down.
points=(1 2 4 6 12) # plus, cross, square, circle, diamond: no triangle
plot="plot"
for i in "${!udp_consumers[@]}"; do
    jq -r --arg c "${udp_consumers[$i]}" 'select(.command == $c and .asked_bits_per_s != null)
        | "\(.asked_bits_per_s / 1e6) \(100 * .dropped / .datagrams_sent)"' \
        "$data/udp-rates.jsonl" >"$work/rates-$i"
    # The unpaced flood, the first try of the search, ends the line.
    jq -r --arg c "${udp_consumers[$i]}" 'select(.command == $c) | .tries[0]
        | "\(.rate_bits_per_s / 1e6) \(.dropped_percent)"' "$data/udp-limits.jsonl" >>"$work/rates-$i"
    sort -g -o "$work/rates-$i" "$work/rates-$i"
    jq -r --arg c "${udp_consumers[$i]}" 'select(.command == $c and .limit_bits_per_s != null)
        | "\(.limit_bits_per_s / 1e6) 0"' "$data/udp-limits.jsonl" >"$work/limit-$i"
    plot+=" '$work/rates-$i' with linespoints lw 2 pt ${points[$i]} lc $((i + 1)) title '${udp_labels[$i]}',"
    plot+=" '$work/limit-$i' with points pt 11 ps 2.5 lc $((i + 1)) notitle,"
done
{
    svg udp-drops.svg "Datagrams dropped at the consumer's socket, 5 s at each offered rate; ▼ its loss-free rate (10 s)"
    printf 'set logscale x\nset xlabel "offered rate, Mbit/s (datagrams of 1316 bytes, paced)"\n'
    printf 'set ylabel "dropped, %%"\nset yrange [-4:100]\n%s\n' "${plot%,}"
} | gnuplot

# Resident memory of each consumer's process tree over a long flood.
plot="plot"
for i in "${!pipe_consumers[@]}"; do
    jq -r --arg c "${pipe_consumers[$i]}" 'select(.command == $c) | .rss_kib[] | "\(.[0]) \(.[1] / 1024)"' \
        "$data/long-flood.jsonl" >"$work/memory-$i"
    plot+=" '$work/memory-$i' with lines lw 2 lc $((i + 1)) title '${pipe_labels[$i]}',"
done
{
    svg memory.svg "Resident memory of each consumer, flooded through a pipe for 10 minutes"
    printf 'set xlabel "seconds since the consumer started"\nset ylabel "resident memory, MiB"\n'
    printf 'set logscale y\nset xrange [0:610]\n%s\n' "${plot%,}"
} | gnuplot

# The benchmark's rate against pipe size.
plot="plot"
i=0
while IFS= read -r writer; do
    jq -r --arg w "$writer" 'select(.writer == $w) | "\(.pipe_bytes / 1024) \(.gib_per_s)"' \
        "$data/pipe-sizes.jsonl" >"$work/pipe-$i"
    plot+=" '$work/pipe-$i' with linespoints lw 2 lc $((i + 1)) title '$writer',"
    i=$((i + 1))
done < <(jq -r .writer "$data/pipe-sizes.jsonl" | awk '!seen[$0]++')
{
    svg pipe-sizes.svg "Rate through a pipe against its size, writer and reader on separate CPUs"
    printf 'set logscale x 2\nset xtics (64, 128, 256, 512, 1024)\nset xlabel "pipe size, KiB"\n'
    printf 'set ylabel "GiB/s, median of 7 rounds"\nset yrange [0:*]\n%s\n' "${plot%,}"
} | gnuplot
# Receivers of one group together: what they dropped in all, against how
# many there are, at each rate.
plot="plot"
for i in "${!group_rates[@]}"; do
    rate=${group_rates[$i]}
    jq -r -s --arg r "$rate" --argjson bits "${rate%M}e6" '
        map(select(.asked_bits_per_s == $bits)) | group_by(.receivers)[]
        | "\(.[0].receivers) \(100 * (map(.dropped) | add) / (map(.datagrams_sent) | add))"' \
        "$data/multicast.jsonl" >"$work/group-$i"
    plot+=" '$work/group-$i' with linespoints lw 2 pt ${points[$i]} lc $((i + 1)) title '$rate""bit/s',"
done
{
    svg multicast.svg "socat receivers of one group on loopback, flooded together for 5 s: datagrams dropped in all"
    printf 'set logscale x 2\nset xtics (1, 2, 4, 8)\nset xlabel "receivers"\n'
    printf 'set ylabel "dropped, %% of datagrams sent to them"\nset yrange [0:*]\n%s\n' "${plot%,}"
} | gnuplot
echo "drew $figures/udp-drops.svg, $figures/memory.svg, $figures/pipe-sizes.svg and $figures/multicast.svg"
