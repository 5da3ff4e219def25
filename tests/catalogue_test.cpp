// The transport-stream type catalogue: null packet, class names, stream types.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
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

// Exactly the nine named classes have names; class bits, unnamed members and
// other numbers are "UNKN" (no bits are masked).
TEST(TypeName, NamesExactlyTheNineNamedClasses) {
    const struct {
        mpegts_packet_type_t type;
        const char *name;
    } named[] = {
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
    for (const auto &c : named) {
        EXPECT_STREQ(mpegts_type_name(c.type), c.name);
    }
    for (std::uint32_t other : {0x00000000u, 0x10000000u, 0x00100000u, 0x00200000u, 0x00200001u,
                                0x00200002u, 0x00200004u, 0x00200008u, 0x00400000u, 0x00800000u,
                                0x02000000u, 0x00100003u, 0x10800001u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(mpegts_type_name(static_cast<mpegts_packet_type_t>(other)), "UNKN")
            << std::hex << other;
    }
}

// Every one of the 256 codes against the rules: the filled codes carry their
// class and a text of their own, every other code shares one fallback record
// per half of the range, and the same code always gives the same pointer.
TEST(StreamType, EveryCodeFollowsTheCatalogueRules) {
    const std::set<int> video = {0x01, 0x02, 0x10, 0x1B, 0x24};
    const std::set<int> audio = {0x03, 0x04, 0x0F, 0x11};
    const stream_type_t *const reserved = mpegts_stream_type(0x00);
    const stream_type_t *const user_private = mpegts_stream_type(0xFF);
    ASSERT_NE(reserved, nullptr);
    ASSERT_NE(user_private, nullptr);
    EXPECT_STREQ(reserved->description, "Reserved");
    EXPECT_STREQ(user_private->description, "User private");

    int filled = 0;
    for (int code = 0; code < 256; ++code) {
        SCOPED_TRACE(code);
        const auto id = static_cast<std::uint8_t>(code);
        const stream_type_t *const entry = mpegts_stream_type(id);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry, mpegts_stream_type(id));
        ASSERT_NE(entry->description, nullptr);
        const bool has_slot = (code >= 0x01 && code <= 0x1B) || code == 0x24;
        if (!has_slot) {
            EXPECT_EQ(entry, code < 0x80 ? reserved : user_private);
            continue;
        }
        ++filled;
        EXPECT_NE(entry, reserved);
        EXPECT_NE(entry, user_private);
        const mpegts_packet_type_t expected = video.count(code)   ? MPEGTS_PACKET_VIDEO
                                              : audio.count(code) ? MPEGTS_PACKET_AUDIO
                                                                  : MPEGTS_PACKET_DATA;
        EXPECT_EQ(entry->pkt_type, expected);
    }
    EXPECT_EQ(filled, 28);
    EXPECT_EQ(reserved->pkt_type, MPEGTS_PACKET_DATA);
    EXPECT_EQ(user_private->pkt_type, MPEGTS_PACKET_DATA);
}

TEST(StreamType, TextsThatCallersRelyOn) {
    EXPECT_STREQ(mpegts_stream_type(0x02)->description, "MPEG-2 video, ISO/IEC 13818-2");
    EXPECT_STREQ(mpegts_stream_type(0x1B)->description, "MPEG-4 AVC/H.264, ISO/IEC 14496-10");
    EXPECT_STREQ(mpegts_stream_type(0x24)->description, "HEVC/H.265, ISO/IEC 23008-2");
    EXPECT_STREQ(mpegts_stream_type(0x19)->description,
                 "DSM-CC Synchronized Download Protocol metadata, ISO/IEC 13818-6");
    // Two records, one text.
    EXPECT_NE(mpegts_stream_type(0x09), mpegts_stream_type(0x0E));
    EXPECT_STREQ(mpegts_stream_type(0x09)->description, "Auxiliary data, ISO/IEC 13818-1");
    EXPECT_STREQ(mpegts_stream_type(0x0E)->description, "Auxiliary data, ISO/IEC 13818-1");
    // A stream type's class has a short name.
    EXPECT_STREQ(mpegts_type_name(mpegts_stream_type(0x0F)->pkt_type), "AUDIO");
    EXPECT_STREQ(mpegts_type_name(mpegts_stream_type(0x06)->pkt_type), "DATA");
    EXPECT_STREQ(mpegts_type_name(mpegts_stream_type(0x80)->pkt_type), "DATA");
}

// Every one of the 256 tags: teletext, VBI teletext and subtitling are
// subtitles, AC-3 is audio, anything else is data.
TEST(PrivateStream, EveryTagHasAClass) {
    for (int tag = 0; tag < 256; ++tag) {
        SCOPED_TRACE(tag);
        const mpegts_packet_type_t expected = tag == 0x46 || tag == 0x56 || tag == 0x59
                                                  ? MPEGTS_PACKET_SUB
                                              : tag == 0x6A ? MPEGTS_PACKET_AUDIO
                                                            : MPEGTS_PACKET_DATA;
        EXPECT_EQ(mpegts_priv_type(static_cast<std::uint8_t>(tag)), expected);
    }
}

} // namespace
