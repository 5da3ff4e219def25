// SPDX-License-Identifier: MIT
// The bound for tsflood's design: the same 262,072-byte block of null packets
// written over and over, with nothing else in the loop.
#include <cstring>
#include <unistd.h>

#include "mpegts/types.h"

static unsigned char block[1394 * sizeof null_ts];

int main() {
    for (std::size_t at = 0; at < sizeof block; at += sizeof null_ts) {
        std::memcpy(block + at, null_ts, sizeof null_ts);
    }
    while (write(STDOUT_FILENO, block, sizeof block) == static_cast<ssize_t>(sizeof block)) {
    }
    return 1;
}
