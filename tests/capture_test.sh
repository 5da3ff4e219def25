#!/bin/sh
# SPDX-License-Identifier: MIT
# A paced RTP flood to a multicast group, as a capture on the loopback
# interface sees it: datagrams of 12 + 1316 bytes from 127.0.0.1 to the
# group, with a time to live of 0 (the IP header's ninth byte), so that no
# router would pass them on.
#   capture_test.sh HARNESS MODEL_CONSUMER
# Exit status 77 (skipped) without tcpdump, or where the harness cannot
# make a network namespace of its own.
set -eu
harness=$1 model=$2
command -v tcpdump >/dev/null || { echo "needs tcpdump"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
group=239.1.2.5 port=5006
# tcpdump runs beside the receiver, in the harness's network; the receiver
# listens once the capture has started.
"$harness" --netns -u "$group:$port" --rtp -r 1M -s 1 -g 1 \
    "tcpdump -i lo -l -nn -x -c 8 udp port $port >$work/capture 2>/dev/null & sleep 0.5; exec $model udp $group:$port" \
    >/dev/null 2>"$work/said" || true
if grep -q -e "no network namespace" -e "cannot become a child subreaper" "$work/said"; then
    cat "$work/said"
    exit 77
fi
cat "$work/capture"
test "$(grep -c "IP 127.0.0.1.[0-9]* > $group.$port: UDP, length 1328" "$work/capture")" -eq 8
# Version 4, header of 20 bytes, length 1356; TTL 0 and protocol 17 (UDP).
test "$(grep -E -c "0x0000: +4500 054c [0-9a-f]{4} [0-9a-f]{4} 0011 " "$work/capture")" -eq 8
