// Prints one lookup of the installed catalogue.
#include <cstdio>
#include <mpegts/types.h>

int main() {
    const stream_type_t *type = mpegts_stream_type(0x24);
    std::printf("%s: %s\n", mpegts_type_name(type->pkt_type), type->description);
}
