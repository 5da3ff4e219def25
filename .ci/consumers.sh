#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tsflood-consumers from the release build on real consumers, in a PID
# namespace of its own, so that what is left running afterwards is what this
# step started and nothing else. tsreport must count exactly the packets it
# was sent and end by itself at the clean end of its input; over UDP, what
# it counts behind socat must be what was sent less what its socket dropped.
# A consumer that escapes into a session of its own and one that ignores the
# end of its input must be ended with all they started. Three socat
# receivers of one multicast group, flooded together in a network of the
# program's own, must each read what was sent less what its socket dropped.
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh

port=$(free_udp_port)
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --fork --pid --mount-proc env port="$port" bash -euo pipefail -c '
    consumers=build/release/tsflood-consumers
    table=$("$consumers" -s 2 "tsreport -stdin" "head -c 1000 >/dev/null; sleep 7171" \
        "setsid sleep 7172 & cat >/dev/null")
    echo "$table"
    grep -E -q "^\| \`tsreport -stdin\` \| ([0-9]+) \| [^|]* \| [^|]* \| [^|]* \| [^|]* \| Read \1 TS packets \| exit 0 after" <<<"$table"
    row=$("$consumers" --json -s 2 -u "$port" "socat -u -T 1 UDP-RECV:$port - | tsreport -stdin")
    echo "$row"
    jq -e ".datagrams_sent > 0 and .said == [\"Read \((.datagrams_sent - .dropped) * 7) TS packets\"]" \
        <<<"$row" >/dev/null
    receiver="socat -u -T 2 UDP4-RECV:$port,ip-add-membership=239.1.2.3:127.0.0.1,reuseaddr - | wc -c"
    rows=$("$consumers" --json --netns --together -s 2 -r 50M -u "239.1.2.3:$port" \
        "$receiver" "$receiver" "$receiver")
    echo "$rows"
    jq -e -s "length == 3 and all(.[]; .datagrams_sent > 0 and
        .said == [\"\((.datagrams_sent - .dropped) * 1316)\"])" <<<"$rows" >/dev/null
    # This shell is the only bash here; pgrep does not list itself.
    if left=$(pgrep -a -v -x bash); then
        echo "$left"
        echo "tsflood-consumers left these running"
        exit 1
    fi'
