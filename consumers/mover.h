// SPDX-License-Identifier: MIT
// Moves tsflood's output on to a consumer without ever blocking, and counts
// exactly what the consumer was given.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <poll.h>
#include <vector>

class mover_t {
  public:
    using clock_type = std::chrono::steady_clock;
    static constexpr std::size_t packet_size = 188;
    static constexpr std::size_t datagram_size = 7 * packet_size; // 1316 bytes, the IPTV convention

    // From the pipe `in` (tsflood's output) into the pipe `out` (the
    // consumer's input), or with `datagrams` as whole datagrams on the
    // connected UDP socket `out`. Both descriptors are non-blocking.
    mover_t(int in, int out, bool datagrams);

    // The descriptors to poll before the next step (fd -1 where it is
    // known to be ready), and what poll said of them.
    std::array<pollfd, 2> wants() const;
    void polled(const std::array<pollfd, 2> &fds);
    bool ready() const {
        return in_ready_ && out_ready_;
    }

    enum class step_t { moved, blocked, ended };
    // Moves what it can without waiting: into a pipe at most `most` bytes,
    // over UDP whole datagrams. After `ended`, error() is the errno that
    // ended it, or 0 when tsflood's output ended.
    step_t step(std::size_t most);
    int error() const {
        return error_;
    }

    std::uint64_t bytes() const {
        return bytes_;
    }
    std::uint64_t datagrams() const {
        return datagrams_;
    }
    // Bytes per second from one second after the first byte to `end`;
    // nothing when the flood did not last a second.
    std::optional<double> rate(clock_type::time_point end) const;

  private:
    void count(std::size_t n);
    step_t splice_step(std::size_t most);
    step_t datagram_step();
    void count_sent(std::size_t datagrams);
    int queued_error();

    int in_, out_;
    bool datagrams_mode_;
    bool in_ready_ = true, out_ready_ = true;
    int error_ = 0;
    std::uint64_t bytes_ = 0, datagrams_ = 0, bytes_at_one_second_ = 0;
    clock_type::time_point first_, one_second_;
    std::vector<unsigned char> buffer_; // datagrams read from tsflood, not yet sent
    std::size_t buffered_ = 0;
};
