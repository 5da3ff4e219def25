// SPDX-License-Identifier: MIT
#include "mover.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pacer.h"

namespace {

constexpr std::size_t pieces_per_step = 64;

} // namespace

flood_mover::flood_mover(int in, int out, bool datagrams, bool pieces)
    : in_(in), out_(out), datagrams_mode_(datagrams), pieces_mode_(datagrams || pieces),
      buffer_(pieces_mode_ ? pieces_per_step * datagram_size : 0) {}

std::array<pollfd, 2> flood_mover::wants() const {
    return {
        pollfd{in_ready_ ? -1 : in_,   POLLIN,  0},
        pollfd{out_ready_ ? -1 : out_, POLLOUT, 0}
    };
}

void flood_mover::polled(const std::array<pollfd, 2> &fds) {
    // An error or hang-up is readiness too: the next step meets it.
    in_ready_ = in_ready_ || fds[0].revents != 0;
    out_ready_ = out_ready_ || fds[1].revents != 0;
    if (!out_ready_) {
        starved_since_.reset(); // the flood waits for the consumer
    } else if (!in_ready_ && !starved_since_) {
        starved_since_ = clock_type::now(); // the consumer waits for tsflood
    }
}

void flood_mover::count(std::size_t n) {
    if (!first_byte_) {
        first_byte_ = clock_type::now();
    }
    bytes_ += n;
}

flood_mover::step_result flood_mover::step(std::size_t most, std::uint64_t pieces) {
    if (!pieces_mode_) {
        return splice_step(most);
    }
    if (pieces != any_pieces) {
        most = static_cast<std::size_t>(
            std::min<std::uint64_t>(most, pieces * datagram_size - bytes_ % datagram_size));
    }
    return piece_step(most, pieces != any_pieces);
}

// One splice from pipe to pipe: the pages move, nothing is copied.
flood_mover::step_result flood_mover::splice_step(std::size_t most) {
    const ssize_t n = splice(in_, nullptr, out_, nullptr, most, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n > 0) {
        starved_since_.reset();
        count(static_cast<std::size_t>(n));
        return step_result::moved;
    }
    if (n < 0 && errno == EAGAIN) {
        in_ready_ = out_ready_ = false; // one of them; poll tells which
        return step_result::blocked;
    }
    if (n < 0 && errno == EINTR) {
        return step_result::blocked;
    }
    error_ = n == 0 ? 0 : errno; // 0: tsflood's output ended; EPIPE: the consumer's input closed
    return step_result::ended;
}

// Reads what tsflood has into the rest of the buffer, what is left in it
// moved to the front first. False when tsflood's output ended or failed
// (error_ says which).
bool flood_mover::top_up() {
    if (unsent_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + unsent_, buffered_);
        unsent_ = 0;
    }
    const ssize_t n = read(in_, buffer_.data() + buffered_, buffer_.size() - buffered_);
    if (n > 0) {
        buffered_ += static_cast<std::size_t>(n);
        starved_since_.reset();
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        error_ = n == 0 ? 0 : errno;
        return false;
    }
    return true;
}

// Tops up the buffer from tsflood when it holds less than `most` bytes,
// then sends the whole pieces in it, as many as `most` bytes hold: as
// datagrams, or each in one write to the pipe, which takes it whole or not
// at all (it is under PIPE_BUF). A paced flood reads a buffer's worth at a
// time, not a read per piece, and after its pieces went rather than when
// they are due.
flood_mover::step_result flood_mover::piece_step(std::size_t most, bool paced) {
    const std::size_t wanted = std::min(most, buffer_.size());
    if (buffered_ < wanted && !top_up()) {
        return step_result::ended;
    }
    const std::size_t whole = std::min(buffered_, most) / datagram_size;
    if (whole == 0) {
        in_ready_ = false;
        return step_result::blocked;
    }
    const int sent = datagrams_mode_ ? send_datagrams(whole) : write_pieces(whole);
    if (sent < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            out_ready_ = errno != EAGAIN;
            return step_result::blocked;
        }
        error_ = errno; // ECONNREFUSED: nobody listens any more
        return step_result::ended;
    }
    count_sent(static_cast<std::size_t>(sent));
    // sendmmsg says nothing of an error after its first datagram: a
    // consumer's socket that closed shows in the error queue instead.
    if (static_cast<std::size_t>(sent) < whole && (error_ = queued_error()) != 0) {
        return step_result::ended;
    }
    if (paced && buffered_ < wanted && !top_up()) {
        return step_result::ended;
    }
    return step_result::moved;
}

void flood_mover::use_rtp(std::uint32_t ssrc, std::uint16_t first_sequence,
                          std::uint32_t first_timestamp, const pacer *paced) {
    rtp_ = rtp_state{ssrc, first_sequence, first_timestamp, clock_type::now(), datagrams_, paced};
}

std::optional<std::pair<std::uint16_t, std::uint16_t>> flood_mover::sequences() const {
    if (!rtp_ || datagrams_ == rtp_->datagrams_before) {
        return std::nullopt;
    }
    const auto sequence = [this](std::uint64_t n) {
        return static_cast<std::uint16_t>(rtp_->first_sequence + n);
    };
    return std::pair(sequence(0), sequence(datagrams_ - rtp_->datagrams_before - 1));
}

int flood_mover::send_datagrams(std::size_t whole) {
    mmsghdr messages[pieces_per_step];
    iovec parts_of[pieces_per_step][2];
    unsigned char headers[pieces_per_step][rtp_header_size];
    const time_point now = clock_type::now();
    for (std::size_t i = 0; i < whole; ++i) {
        std::size_t parts = 0;
        if (rtp_) {
            const std::uint64_t n = datagrams_ - rtp_->datagrams_before + i;
            // The piece's due time where paced, else now.
            const double at = seconds_between(
                rtp_->epoch, rtp_->paced != nullptr ? rtp_->paced->due_of(pieces() + i) : now);
            const auto sequence = static_cast<std::uint16_t>(rtp_->first_sequence + n);
            const auto timestamp =
                static_cast<std::uint32_t>(rtp_->first_timestamp + std::llround(at * 90000));
            unsigned char *h = headers[i];
            h[0] = 0x80; // version 2, no padding, extension or contributors
            h[1] = 33;   // no marker; MPEG-2 transport stream
            h[2] = static_cast<unsigned char>(sequence >> 8);
            h[3] = static_cast<unsigned char>(sequence);
            for (int b = 0; b < 4; ++b) { // network order
                h[4 + b] = static_cast<unsigned char>(timestamp >> (24 - 8 * b));
                h[8 + b] = static_cast<unsigned char>(rtp_->ssrc >> (24 - 8 * b));
            }
            parts_of[i][parts++] = {h, rtp_header_size};
        }
        parts_of[i][parts++] = {buffer_.data() + unsent_ + i * datagram_size, datagram_size};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = parts_of[i];
        messages[i].msg_hdr.msg_iovlen = parts;
    }
    // Begun before the call: on loopback the kernel delivers them within it.
    if (begun_.load(std::memory_order_relaxed) < datagrams_ + whole) {
        begun_.store(datagrams_ + whole, std::memory_order_release);
    }
    return sendmmsg(out_, messages, static_cast<unsigned>(whole), MSG_DONTWAIT);
}

int flood_mover::write_pieces(std::size_t whole) {
    int written = 0;
    for (std::size_t i = 0; i < whole; ++i, ++written) {
        if (write(out_, buffer_.data() + unsent_ + i * datagram_size, datagram_size) < 0) {
            out_ready_ = errno != EAGAIN;
            return written > 0 ? written : -1;
        }
    }
    return written;
}

void flood_mover::count_sent(std::size_t sent) {
    const std::size_t sent_bytes = sent * datagram_size;
    unsent_ += sent_bytes;
    buffered_ -= sent_bytes;
    datagrams_ += datagrams_mode_ ? sent : 0;
    count(sent_bytes);
}

// The errno of the oldest error (an ICMP port unreachable is ECONNREFUSED)
// in the socket's error queue, which IP_RECVERR or IPV6_RECVERR keeps; 0 when
// it holds none.
int flood_mover::queued_error() {
    char control[512];
    msghdr message{};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(out_, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
        return 0;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
            (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            return static_cast<int>(error.ee_errno);
        }
    }
    return 0;
}
