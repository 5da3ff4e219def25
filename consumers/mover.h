// SPDX-License-Identifier: MIT
// Moves tsflood's output on to a consumer without ever blocking, and counts
// exactly what the consumer was given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <poll.h>
#include <utility>
#include <vector>

#include "posix.h"

class flood_mover {
  public:
    static constexpr std::size_t packet_size = 188;
    static constexpr std::size_t datagram_size = 7 * packet_size; // 1316 bytes, the IPTV convention

    // From the pipe `in` (tsflood's output) into the pipe `out` (the
    // consumer's input), or with `datagrams` as whole datagrams on the
    // connected UDP socket `out`. Both descriptors are non-blocking.
    //
    // With `bits_per_second` above 0 the flood is paced, in pieces of 1316
    // bytes: a datagram, or 7 packets written whole into the pipe. Piece n is due at the
    // first step's time plus n gaps, an absolute time, so the pace does not
    // drift; pieces that are late go at once, at most `burst` back to back
    // and then a gap, until the flood has caught up.
    flood_mover(int in, int out, bool datagrams, double bits_per_second = 0);
    static constexpr std::uint64_t burst = 4;

    // The descriptors to poll before the next step (fd -1 where it is
    // known to be ready), and what poll said of them.
    std::array<pollfd, 2> wants() const;
    void polled(const std::array<pollfd, 2> &fds);
    bool ready() const {
        return in_ready_ && out_ready_;
    }

    enum class step_result { moved, early, blocked, ended };
    // Moves what it can without waiting: into a pipe at most `most` bytes,
    // over UDP whole datagrams; paced, only what is due (else `early`).
    // After `ended`, error() is the errno that ended it, or 0 when
    // tsflood's output ended.
    step_result step(std::size_t most);
    bool paced() const {
        return gap_ > 0;
    }
    double gap() const { // seconds between pieces, when paced
        return gap_;
    }
    time_point next_due() const; // of the next piece, when paced
    void restart_pace();         // the next piece due now, the pace from it
    int error() const {
        return error_;
    }

    std::uint64_t bytes() const {
        return bytes_;
    }
    std::uint64_t datagrams() const {
        return datagrams_;
    }
    // When the first byte went; nothing before.
    std::optional<time_point> first_byte() const {
        return first_byte_;
    }

    // Each datagram from now on begins with an RTP header (RFC 3550): version
    // 2, payload type 33 (MPEG-2 TS, RFC 3551), a sequence number one up
    // from the last, the 90 kHz time the piece was due (sent, unpaced), and
    // `ssrc`.
    void use_rtp(std::uint32_t ssrc, std::uint16_t first_sequence, std::uint32_t first_timestamp);
    static constexpr std::size_t rtp_header_size = 12;
    // The sequence numbers of the first and the last datagram sent.
    std::optional<std::pair<std::uint16_t, std::uint16_t>> sequences() const;

  private:
    void count(std::size_t n);
    step_result splice_step(std::size_t most);
    step_result piece_step(std::size_t most);
    int send_datagrams(std::size_t whole); // how many went, or -1 and errno
    int write_pieces(std::size_t whole);
    void count_sent(std::size_t datagrams);
    int queued_error();

    int in_, out_;
    bool datagrams_mode_;
    bool in_ready_ = true, out_ready_ = true;
    int error_ = 0;
    std::uint64_t bytes_ = 0, datagrams_ = 0;
    std::optional<time_point> first_byte_;
    std::vector<unsigned char> buffer_; // datagrams read from tsflood, not yet sent
    std::size_t buffered_ = 0;
    double gap_ = 0; // seconds from one piece to the next; 0: unpaced
    std::optional<time_point> pace_start_;
    struct rtp_state {
        std::uint32_t ssrc;
        std::uint16_t first_sequence;
        std::uint32_t first_timestamp;
        time_point epoch; // of the timestamps
        std::uint64_t datagrams_before;
    };
    std::optional<rtp_state> rtp_;
    std::uint64_t pieces_before_ = 0; // of the pace's start
    time_point after_burst_;          // when a burst has just gone, the next may go
};
