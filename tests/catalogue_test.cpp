// The transport-stream type catalogue: null packet and packet class names.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "mpegts/types.h"

namespace {

TEST(NullPacket, IsOneNullPidPacketWithZeroPayload) {
    ASSERT_EQ(sizeof null_ts, 188U);
    const std::uint8_t header[] = {0x47, 0x1F, 0xFF, 0x10};
    for (std::size_t i = 0; i < sizeof null_ts; ++i) {
        EXPECT_EQ(null_ts[i], i < sizeof header ? header[i] : 0) << "byte " << i;
    }
    const unsigned pid = (null_ts[1] & 0x1Fu) << 8 | null_ts[2];
    EXPECT_EQ(pid, 0x1FFFu);
}

// The nine named classes, then class bits, unnamed members and non-enumerators,
// which are never matched: no bits are masked.
TEST(TypeName, NamesExactlyTheNineNamedClasses) {
    const struct {
        std::uint32_t type;
        const char *name;
    } cases[] = {
        {MPEGTS_PACKET_PAT,                     "PAT"  },
        {MPEGTS_PACKET_CAT,                     "CAT"  },
        {MPEGTS_PACKET_PMT,                     "PMT"  },
        {MPEGTS_PACKET_VIDEO,                   "VIDEO"},
        {MPEGTS_PACKET_AUDIO,                   "AUDIO"},
        {MPEGTS_PACKET_SUB,                     "SUB"  },
        {MPEGTS_PACKET_DATA,                    "DATA" },
        {MPEGTS_PACKET_ECM,                     "ECM"  },
        {MPEGTS_PACKET_EMM,                     "EMM"  },
        {MPEGTS_PACKET_UNKNOWN,                 "UNKN" },
        {MPEGTS_PACKET_TS,                      "UNKN" },
        {MPEGTS_PACKET_PSI,                     "UNKN" },
        {MPEGTS_PACKET_SI,                      "UNKN" },
        {MPEGTS_PACKET_NIT,                     "UNKN" },
        {MPEGTS_PACKET_SDT,                     "UNKN" },
        {MPEGTS_PACKET_EIT,                     "UNKN" },
        {MPEGTS_PACKET_TDT,                     "UNKN" },
        {MPEGTS_PACKET_CA,                      "UNKN" },
        {MPEGTS_PACKET_PES,                     "UNKN" },
        {MPEGTS_PACKET_NULL,                    "UNKN" },
        {MPEGTS_PACKET_PAT | MPEGTS_PACKET_CAT, "UNKN" },
        {MPEGTS_PACKET_VIDEO | 0x10000000u,     "UNKN" },
        {0xFFFFFFFFu,                           "UNKN" },
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(mpegts_type_name(static_cast<mpegts_packet_type_t>(c.type)), c.name)
            << std::hex << "0x" << c.type;
    }
}

} // namespace
