/* SPDX-License-Identifier: MIT */
/* MPEG transport stream type catalogue: packet classes, the null packet and
 * the elementary-stream types of program map tables.
 *
 * Constant data and pure functions only; safe from any thread. The header
 * compiles as C11 and as C++17 or later, and everything it declares has C
 * linkage, so C and C++ code can share one copy of the catalogue. */
#ifndef MPEGTS_TYPES_H
#define MPEGTS_TYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define MPEGTS_ENUM_BASE : uint32_t
#else
#define MPEGTS_ENUM_BASE
#endif

/* Packet classes. Each class owns one bit (PSI 20, SI 21, CA 22, PES 23,
 * DATA 24, NULL 25, TS 28); a member of a class is the class bit plus one
 * low bit of its own. */
typedef enum mpegts_packet_type MPEGTS_ENUM_BASE {
    MPEGTS_PACKET_UNKNOWN = 0x00000000,
    MPEGTS_PACKET_TS = 0x10000000,
    MPEGTS_PACKET_PSI = 0x00100000,
    MPEGTS_PACKET_PAT = 0x00100001,
    MPEGTS_PACKET_CAT = 0x00100002,
    MPEGTS_PACKET_PMT = 0x00100004,
    MPEGTS_PACKET_SI = 0x00200000,
    MPEGTS_PACKET_NIT = 0x00200001,
    MPEGTS_PACKET_SDT = 0x00200002,
    MPEGTS_PACKET_EIT = 0x00200004,
    MPEGTS_PACKET_TDT = 0x00200008,
    MPEGTS_PACKET_CA = 0x00400000,
    MPEGTS_PACKET_ECM = 0x00400001,
    MPEGTS_PACKET_EMM = 0x00400002,
    MPEGTS_PACKET_PES = 0x00800000,
    MPEGTS_PACKET_VIDEO = 0x00800001,
    MPEGTS_PACKET_AUDIO = 0x00800002,
    MPEGTS_PACKET_SUB = 0x00800004,
    MPEGTS_PACKET_DATA = 0x01000000,
    MPEGTS_PACKET_NULL = 0x02000000
} mpegts_packet_type_t;

#undef MPEGTS_ENUM_BASE

#ifdef __cplusplus
static_assert(sizeof(mpegts_packet_type_t) == 4, "packet classes are 32 bits wide");
#else
_Static_assert(sizeof(mpegts_packet_type_t) == 4, "packet classes are 32 bits wide");
#endif

/* One MPEG-TS null packet (ISO/IEC 13818-1, PID 0x1FFF): header 47 1F FF 10
 * (payload only, continuity counter 0), then 184 zero payload bytes. */
extern const uint8_t null_ts[188];

/* Short display name of a packet class: "PAT", "CAT", "PMT", "VIDEO",
 * "AUDIO", "SUB", "DATA", "ECM" or "EMM" for exactly those classes, "UNKN"
 * for any other value. Never null; the text is static. */
const char *mpegts_type_name(mpegts_packet_type_t type);

/* A stream type: the class of its packets and a human-readable description.
 * A record whose pkt_type is MPEGTS_PACKET_UNKNOWN is an empty slot. */
typedef struct stream_type {
    mpegts_packet_type_t pkt_type;
    const char *description;
} stream_type_t;

/* Describes the stream_type code of a program map table entry, after ISO/IEC
 * 13818-1:2015 Table 2-34 (only 0x01-0x1B and 0x24 have records). Never null:
 * a code without a record of its own gives the shared "Reserved" record below
 * 0x80 and the shared "User private" record from 0x80 up, both of class
 * MPEGTS_PACKET_DATA. Records are static and constant; the same code always
 * gives the same pointer. */
const stream_type_t *mpegts_stream_type(uint8_t type_id);

/* Classifies a private stream by the tag of one of its descriptors (ETSI EN
 * 300 468 V1.16.1): VBI teletext (0x46), teletext (0x56) and subtitling (0x59) give
 * MPEGTS_PACKET_SUB, AC-3 (0x6A) gives MPEGTS_PACKET_AUDIO, any other tag
 * MPEGTS_PACKET_DATA. Finding the descriptor is the caller's business. */
mpegts_packet_type_t mpegts_priv_type(uint8_t desc_type);

#ifdef __cplusplus
}
#endif

#endif /* MPEGTS_TYPES_H */
