// SPDX-License-Identifier: MIT
// Moves tsflood's output on to a consumer without ever blocking, and counts
// exactly what the consumer was given.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <poll.h>
#include <utility>
#include <vector>

#include "posix.h"

class pacer;

class flood_mover {
  public:
    static constexpr std::size_t packet_size = 188;
    static constexpr std::size_t datagram_size = 7 * packet_size; // 1316 bytes, the IPTV convention

    // From the pipe `in` (tsflood's output) into the pipe `out` (the
    // consumer's input), or with `datagrams` as whole datagrams on the
    // connected UDP socket `out`. Both descriptors are non-blocking. With
    // `pieces` a pipe is written in pieces of 7 packets, each whole, as a
    // paced flood asks.
    flood_mover(int in, int out, bool datagrams, bool pieces = false);

    // The descriptors to poll before the next step (fd -1 where it is
    // known to be ready), and what poll said of them.
    std::array<pollfd, 2> wants() const;
    void polled(const std::array<pollfd, 2> &fds);
    bool ready() const {
        return in_ready_ && out_ready_;
    }

    enum class step_result { moved, blocked, ended };
    static constexpr std::uint64_t any_pieces = ~std::uint64_t{0};
    // Moves what it can without waiting: at most `most` bytes, and in
    // pieces at most `pieces` of them. After `ended`, error() is the errno
    // that ended it, or 0 when tsflood's output ended.
    step_result step(std::size_t most, std::uint64_t pieces = any_pieces);
    int error() const {
        return error_;
    }

    std::uint64_t bytes() const {
        return bytes_;
    }
    std::uint64_t datagrams() const {
        return datagrams_;
    }
    std::uint64_t pieces() const { // whole pieces of 7 packets, datagrams or not
        return bytes_ / datagram_size;
    }
    // When the first byte went; nothing before.
    std::optional<time_point> first_byte() const {
        return first_byte_;
    }
    // Since when the flood has waited for tsflood's output, the consumer
    // ready for more; nothing while it moves, or waits for the consumer.
    std::optional<time_point> starved_since() const {
        return starved_since_;
    }
    // Datagrams begun: every datagram the kernel may have processed by
    // now is below it. Read by the sampler's thread.
    const std::atomic<std::uint64_t> &begun() const {
        return begun_;
    }

    // Each datagram from now on begins with an RTP header (RFC 3550): version
    // 2, payload type 33 (MPEG-2 TS, RFC 3551), a sequence number one up
    // from the last, the 90 kHz time the piece was due by `paced` (sent,
    // unpaced), and `ssrc`.
    void use_rtp(std::uint32_t ssrc, std::uint16_t first_sequence, std::uint32_t first_timestamp,
                 const pacer *paced);
    static constexpr std::size_t rtp_header_size = 12;
    // The sequence numbers of the first and the last datagram sent.
    std::optional<std::pair<std::uint16_t, std::uint16_t>> sequences() const;

  private:
    void count(std::size_t n);
    step_result splice_step(std::size_t most);
    step_result piece_step(std::size_t most, bool paced);
    bool top_up();
    int send_datagrams(std::size_t whole); // how many went, or -1 and errno
    int write_pieces(std::size_t whole);
    void count_sent(std::size_t datagrams);
    int queued_error();

    int in_, out_;
    bool datagrams_mode_, pieces_mode_;
    bool in_ready_ = true, out_ready_ = true;
    int error_ = 0;
    std::uint64_t bytes_ = 0, datagrams_ = 0;
    std::atomic<std::uint64_t> begun_{0};
    std::optional<time_point> first_byte_;
    std::optional<time_point> starved_since_;
    std::vector<unsigned char> buffer_; // datagrams read from tsflood, not yet sent
    std::size_t unsent_ = 0;            // where they begin in it
    std::size_t buffered_ = 0;          // how many bytes of them
    struct rtp_state {
        std::uint32_t ssrc;
        std::uint16_t first_sequence;
        std::uint32_t first_timestamp;
        time_point epoch; // of the timestamps
        std::uint64_t datagrams_before;
        const pacer *paced;
    };
    std::optional<rtp_state> rtp_;
};
