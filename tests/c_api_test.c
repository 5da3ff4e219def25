/* The catalogue from C: the header compiles as C11 and the lookups link and
 * answer as they do from C++. Exit status 0 when every check holds. */
#include <stdio.h>
#include <string.h>

#include "mpegts/types.h"

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main(void) {
    const stream_type_t *avc = mpegts_stream_type(0x1B);
    check(avc->pkt_type == MPEGTS_PACKET_VIDEO, "0x1B is video");
    check(strcmp(avc->description, "MPEG-4 AVC/H.264, ISO/IEC 14496-10") == 0, "0x1B text");
    check(strcmp(mpegts_stream_type(0x7F)->description, "Reserved") == 0, "0x7F reserved");
    check(strcmp(mpegts_stream_type(0x80)->description, "User private") == 0, "0x80 private");
    check(mpegts_priv_type(0x59) == MPEGTS_PACKET_SUB, "subtitling tag");
    check(mpegts_priv_type(0x6A) == MPEGTS_PACKET_AUDIO, "AC-3 tag");
    check(strcmp(mpegts_type_name(mpegts_priv_type(0x45)), "DATA") == 0, "other tag");
    check(sizeof null_ts == 188 && null_ts[0] == 0x47, "null packet");
    printf("%s: %s\n", mpegts_type_name(avc->pkt_type), avc->description);
    return failures != 0;
}
