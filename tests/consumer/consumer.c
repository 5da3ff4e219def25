/* Prints one lookup of the installed catalogue, from C. */
#include <mpegts/types.h>
#include <stdio.h>

int main(void) {
    const stream_type_t *type = mpegts_stream_type(0x24);
    printf("%s: %s\n", mpegts_type_name(type->pkt_type), type->description);
    return 0;
}
