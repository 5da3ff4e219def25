// SPDX-License-Identifier: MIT
// The bound for tsflood's design: the same 262,072-byte block of null packets
// written over and over, with nothing else in the loop. With an argument
// (bare_loop PIECE), each block goes out in writes of PIECE bytes instead:
// the same bytes, for what the one-write design costs against smaller writes.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "mpegts/types.h"

static unsigned char block[1394 * sizeof null_ts];

int main(int argc, char **argv) {
    const std::size_t piece = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : sizeof block;
    if (piece == 0) {
        return 2;
    }
    for (std::size_t at = 0; at < sizeof block; at += sizeof null_ts) {
        std::memcpy(block + at, null_ts, sizeof null_ts);
    }
    for (;;) {
        for (std::size_t at = 0; at < sizeof block; at += piece) {
            const std::size_t len = std::min(piece, sizeof block - at);
            if (write(STDOUT_FILENO, block + at, len) != static_cast<ssize_t>(len)) {
                return 1;
            }
        }
    }
}
