// SPDX-License-Identifier: MIT
// MPEG transport stream type catalogue: constant tables and pure lookups.
#include "mpegts/types.h"

#include <array>
#include <cstddef>
#include <cstdint>

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

struct stream_row_t {
    std::uint8_t code;
    mpegts_packet_type_t pkt_type;
    const char *description;
};

// ISO/IEC 13818-1:2015 (fifth edition), Table 2-34: stream_type assignments.
// The catalogue keeps choices of its own, which callers rely on: codes without
// a row here (0x1C-0x23, and 0x25 up, 0x7F included although the table assigns
// it to IPMP streams) take the shared fallback records below, and 0x09 (Rec.
// ITU-T H.222.1 in the table) carries the text of 0x0E.
constexpr stream_row_t table_2_34[] = {
    {0x01, MPEGTS_PACKET_VIDEO, "MPEG-1 video, ISO/IEC 11172-2"                                  },
    {0x02, MPEGTS_PACKET_VIDEO, "MPEG-2 video, ISO/IEC 13818-2"                                  },
    {0x03, MPEGTS_PACKET_AUDIO, "MPEG-1 audio, ISO/IEC 11172-3"                                  },
    {0x04, MPEGTS_PACKET_AUDIO, "MPEG-2 audio, ISO/IEC 13818-3"                                  },
    {0x05, MPEGTS_PACKET_DATA,  "Private sections, ISO/IEC 13818-1"                              },
    {0x06, MPEGTS_PACKET_DATA,  "Private PES, ISO/IEC 13818-1"                                   },
    {0x07, MPEGTS_PACKET_DATA,  "MHEG, ISO/IEC 13522-5"                                          },
    {0x08, MPEGTS_PACKET_DATA,  "DSM-CC, ISO/IEC 13818-1"                                        },
    {0x09, MPEGTS_PACKET_DATA,  "Auxiliary data, ISO/IEC 13818-1"                                },
    {0x0A, MPEGTS_PACKET_DATA,  "DSM-CC multiprotocol encapsulation, ISO/IEC 13818-6"            },
    {0x0B, MPEGTS_PACKET_DATA,  "DSM-CC U-N messages, ISO/IEC 13818-6"                           },
    {0x0C, MPEGTS_PACKET_DATA,  "DSM-CC stream descriptors, ISO/IEC 13818-6"                     },
    {0x0D, MPEGTS_PACKET_DATA,  "DSM-CC sections, ISO/IEC 13818-6"                               },
    {0x0E, MPEGTS_PACKET_DATA,  "Auxiliary data, ISO/IEC 13818-1"                                },
    {0x0F, MPEGTS_PACKET_AUDIO, "ADTS AAC, ISO/IEC 13818-7"                                      },
    {0x10, MPEGTS_PACKET_VIDEO, "MPEG-4 Part 2, ISO/IEC 14496-2"                                 },
    {0x11, MPEGTS_PACKET_AUDIO, "LATM AAC, ISO/IEC 14496-3"                                      },
    {0x12, MPEGTS_PACKET_DATA,  "MPEG-4 FlexMux PES, ISO/IEC 14496-1"                            },
    {0x13, MPEGTS_PACKET_DATA,  "MPEG-4 FlexMux sections, ISO/IEC 14496-1"                       },
    {0x14, MPEGTS_PACKET_DATA,  "DSM-CC Synchronized Download Protocol, ISO/IEC 13818-6"         },
    {0x15, MPEGTS_PACKET_DATA,  "Metadata in PES"                                                },
    {0x16, MPEGTS_PACKET_DATA,  "Metadata in sections"                                           },
    {0x17, MPEGTS_PACKET_DATA,  "DSM-CC Data Carousel metadata, ISO/IEC 13818-6"                 },
    {0x18, MPEGTS_PACKET_DATA,  "DSM-CC Object Carousel metadata, ISO/IEC 13818-6"               },
    {0x19, MPEGTS_PACKET_DATA,  "DSM-CC Synchronized Download Protocol metadata, ISO/IEC 13818-6"},
    {0x1A, MPEGTS_PACKET_DATA,  "MPEG-2 IPMP stream, ISO/IEC 13818-11"                           },
    {0x1B, MPEGTS_PACKET_VIDEO, "MPEG-4 AVC/H.264, ISO/IEC 14496-10"                             },
    {0x24, MPEGTS_PACKET_VIDEO, "HEVC/H.265, ISO/IEC 23008-2"                                    },
};

// The rows above spread over all 256 codes; a code given twice does not compile.
template <std::size_t n>
constexpr std::array<stream_type_t, 256> index_by_code(const stream_row_t (&rows)[n]) {
    std::array<stream_type_t, 256> slots{};
    for (const stream_row_t &row : rows) {
        if (slots[row.code].pkt_type != MPEGTS_PACKET_UNKNOWN) {
            throw "stream type code listed twice";
        }
        slots[row.code] = {row.pkt_type, row.description};
    }
    return slots;
}

constexpr std::array<stream_type_t, 256> stream_types = index_by_code(table_2_34);

// Codes without a record of their own: 0x00-0x7F, then 0x80-0xFF.
constexpr stream_type_t reserved_stream[2] = {
    {MPEGTS_PACKET_DATA, "Reserved"    },
    {MPEGTS_PACKET_DATA, "User private"},
};

// ETSI EN 300 468 V1.16.1 (2016-08), Table 12, descriptor tag values: the tags
// that classify a private stream.
constexpr std::uint8_t vbi_teletext_descriptor = 0x46;
constexpr std::uint8_t teletext_descriptor = 0x56;
constexpr std::uint8_t subtitling_descriptor = 0x59;
constexpr std::uint8_t ac3_descriptor = 0x6A;

struct private_class_t {
    std::uint8_t tag;
    mpegts_packet_type_t type;
};

constexpr private_class_t private_classes[] = {
    {vbi_teletext_descriptor, MPEGTS_PACKET_SUB  },
    {teletext_descriptor,     MPEGTS_PACKET_SUB  },
    {subtitling_descriptor,   MPEGTS_PACKET_SUB  },
    {ac3_descriptor,          MPEGTS_PACKET_AUDIO},
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

const stream_type_t *mpegts_stream_type(uint8_t type_id) {
    const stream_type_t &slot = stream_types[type_id];
    if (slot.pkt_type != MPEGTS_PACKET_UNKNOWN) {
        return &slot;
    }
    return &reserved_stream[type_id >> 7];
}

mpegts_packet_type_t mpegts_priv_type(uint8_t desc_type) {
    for (const private_class_t &entry : private_classes) {
        if (entry.tag == desc_type) {
            return entry.type;
        }
    }
    return MPEGTS_PACKET_DATA;
}

} // extern "C"
