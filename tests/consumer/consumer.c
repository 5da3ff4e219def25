/* SPDX-License-Identifier: MIT */
/* The catalogue's whole interface from C, built against the installed package
 * as C11 with warnings as errors. Prints one line that the install test
 * compares. */
#include <mpegts/types.h>
#include <stdio.h>

int main(void) {
    const stream_type_t *hevc = mpegts_stream_type(0x24);
    printf("%s: %s, tag 0x6A: %s, null packet: %02X, %u bytes\n", mpegts_type_name(hevc->pkt_type),
           hevc->description, mpegts_type_name(mpegts_priv_type(0x6A)), null_ts[0],
           (unsigned)sizeof null_ts);
}
