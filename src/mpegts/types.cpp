// MPEG transport stream type catalogue: constant tables and pure lookups.
#include "mpegts/types.h"

namespace {

struct type_name_t {
    mpegts_packet_type_t type;
    const char *name;
};

// Classes with a short name; any other value, class bits and unnamed members
// included, is "UNKN". Matched exactly, no bits masked.
constexpr type_name_t type_names[] = {
    {MPEGTS_PACKET_PAT,   "PAT"  },
    {MPEGTS_PACKET_CAT,   "CAT"  },
    {MPEGTS_PACKET_PMT,   "PMT"  },
    {MPEGTS_PACKET_VIDEO, "VIDEO"},
    {MPEGTS_PACKET_AUDIO, "AUDIO"},
    {MPEGTS_PACKET_SUB,   "SUB"  },
    {MPEGTS_PACKET_DATA,  "DATA" },
    {MPEGTS_PACKET_ECM,   "ECM"  },
    {MPEGTS_PACKET_EMM,   "EMM"  },
};

} // namespace

extern "C" {

// ISO/IEC 13818-1 transport packet header for PID 0x1FFF; the 184 payload
// bytes are zero-initialised.
const uint8_t null_ts[188] = {0x47, 0x1F, 0xFF, 0x10};

const char *mpegts_type_name(mpegts_packet_type_t type) {
    for (const type_name_t &entry : type_names) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    return "UNKN";
}

} // extern "C"
