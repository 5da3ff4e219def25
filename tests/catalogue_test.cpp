// SPDX-License-Identifier: MIT
// The transport-stream type catalogue, checked by its rules rather than by a
// copy of its tables, plus the records callers rely on.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "mpegts/types.h"

namespace {

// "CLASS: description" of a stream type code.
std::string describe(int code) {
    const stream_type_t *type = mpegts_stream_type(static_cast<std::uint8_t>(code));
    return std::string(mpegts_type_name(type->pkt_type)) + ": " + type->description;
}

// The null packet. Nine classes are named after their enumerators; class
// values, SI members, NULL, TS, UNKNOWN, combinations and other numbers are
// "UNKN": the match is exact, no bits are masked. Of the 256 descriptor tags
// (ETSI EN 300 468), VBI teletext, teletext and subtitling give subtitles and
// AC-3 gives audio; every other tag gives data.
#define NAMED(type) std::make_pair(MPEGTS_PACKET_##type, #type)
TEST(Catalogue, NullPacketClassNamesAndDescriptorTags) {
    EXPECT_EQ(std::string(null_ts, null_ts + sizeof null_ts),
              std::string("\x47\x1F\xFF\x10") + std::string(184, '\0'));
    for (auto [type, name] : {NAMED(PAT), NAMED(CAT), NAMED(PMT), NAMED(VIDEO), NAMED(AUDIO),
                              NAMED(SUB), NAMED(DATA), NAMED(ECM), NAMED(EMM)}) {
        EXPECT_STREQ(mpegts_type_name(type), name);
    }
    for (std::uint32_t other : {0x00000000u, 0x10000000u, 0x00100000u, 0x00200000u, 0x00200001u,
                                0x00200002u, 0x00200004u, 0x00200008u, 0x00400000u, 0x00800000u,
                                0x02000000u, 0x00100003u, 0x10800001u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(mpegts_type_name(static_cast<mpegts_packet_type_t>(other)), "UNKN") << other;
    }
    std::string tags; // the tags that do not give data
    for (int tag = 0; tag < 256; ++tag) {
        const mpegts_packet_type_t type = mpegts_priv_type(static_cast<std::uint8_t>(tag));
        if (type != MPEGTS_PACKET_DATA) {
            tags += std::to_string(tag) + ':' + mpegts_type_name(type) + ' ';
        }
    }
    EXPECT_EQ(tags, "70:SUB 86:SUB 89:SUB 106:AUDIO ");
}

// All 256 codes: 0x01-0x1B and 0x24 have records of their own, each with a
// text of its own but for 0x09 and 0x0E; every other code takes the shared
// fallback record of its half of the range; a code always gives one pointer.
// Then the records callers rely on.
TEST(Catalogue, StreamTypesFollowTheCatalogueRules) {
    const stream_type_t *const fallback[] = {mpegts_stream_type(0x00), mpegts_stream_type(0xFF)};
    std::map<std::string, int> classes;
    std::set<std::string> texts;
    for (int code = 0; code < 256; ++code) {
        const stream_type_t *const entry = mpegts_stream_type(static_cast<std::uint8_t>(code));
        ASSERT_NE(entry, nullptr) << code;
        EXPECT_EQ(entry, mpegts_stream_type(static_cast<std::uint8_t>(code))) << code;
        const bool own = (code >= 0x01 && code <= 0x1B) || code == 0x24;
        EXPECT_EQ(entry == fallback[code < 0x80 ? 0 : 1], !own) << code;
        ++classes[mpegts_type_name(entry->pkt_type)];
        texts.insert(entry->description);
    }
    EXPECT_EQ(classes, (std::map<std::string, int>{
                           {"AUDIO", 4       },
                           {"DATA",  19 + 228},
                           {"VIDEO", 5       }
    }));
    EXPECT_EQ(texts.size(), 27U + 2U);
    EXPECT_EQ(describe(0x7F), "DATA: Reserved");
    EXPECT_EQ(describe(0x80), "DATA: User private");
    EXPECT_EQ(describe(0x1B), "VIDEO: MPEG-4 AVC/H.264, ISO/IEC 14496-10");
    EXPECT_EQ(describe(0x24), "VIDEO: HEVC/H.265, ISO/IEC 23008-2");
    EXPECT_EQ(describe(0x0F), "AUDIO: ADTS AAC, ISO/IEC 13818-7");
    EXPECT_EQ(describe(0x06), "DATA: Private PES, ISO/IEC 13818-1");
    EXPECT_EQ(describe(0x09), "DATA: Auxiliary data, ISO/IEC 13818-1");
    EXPECT_EQ(describe(0x0E), describe(0x09));
    EXPECT_NE(mpegts_stream_type(0x0E), mpegts_stream_type(0x09));
}

} // namespace
