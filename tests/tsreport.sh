#!/bin/sh
# An independent MPEG-TS parser (tstools' tsreport) must count every packet of
# a stretch of the flood on the null PID. Skipped (77) where it is not installed.
set -eu
tsflood=$1
command -v tsreport >/dev/null 2>&1 || { echo "tsreport not installed"; exit 77; }

packets=100000
capture=$(mktemp)
trap 'rm -f "$capture"' EXIT
"$tsflood" 2>/dev/null | head -c $((packets * 188)) >"$capture"

summary=$(tsreport -justpid 0x1fff "$capture" | tail -n 1)
echo "$summary"
[ "$summary" = "Read $packets TS packets, $packets with PID 1fff" ]
