// SPDX-License-Identifier: MIT
// Where each datagram of a flood went, for each receiver: read (or still
// queued), dropped at its sockets, or missed, sent while it held no socket
// that could receive it. The sockets on the port are looked at every few
// milliseconds; what a look cannot tell is given as a bound, never as an
// exact figure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "posix.h"

// Whether the flood reaches a socket, or a receiver: the kernel's tables
// do not always tell (an IPv6 socket may have joined an IPv4 group).
enum class reach { receiving, not_receiving, unknown };

// Looks at the port's sockets in a row that found the same sockets
// receiving the flood. Each look is bracketed by the flood's count of
// datagrams: those begun by the time it ended. A datagram begun between
// two looks may have met the sockets as either found them (it may be
// processed after the later look began), so every datagram begun within a
// look of a change, on either side, is of uncertain fate.
struct socket_run {
    std::vector<std::uint64_t> receiving; // inodes of the sockets that received the flood, sorted
    std::vector<std::uint64_t> unknown;   // ... that may have, or not
    std::uint64_t first = 0;              // datagrams begun by the end of the run's first look
    std::uint64_t before = 0;             // by the end of the look before its last one
    std::uint64_t last = 0;               // by the end of its last look
    time_point first_at;                  // when its first look was taken
};

// A socket of the port, as last seen.
struct socket_tally {
    std::uint64_t inode = 0;
    std::optional<std::size_t> owner; // the receiver whose process holds it, if one was seen
    std::uint64_t drops = 0;          // while the flood ran: since its first look
    std::uint64_t queued = 0;         // datagrams that may have been in its queue at its last look
};

struct receiver_ledger {
    std::uint64_t sent = 0;      // while it was in the run: every datagram of the flood
    std::uint64_t read = 0;      // read, or still queued: sent less dropped and missed
    std::uint64_t dropped = 0;   // at its sockets, their receive buffers full
    std::uint64_t missed = 0;    // sent while none of its sockets could receive them
    std::uint64_t uncertain = 0; // of `read`, how many may have been missed or dropped instead
    std::uint64_t unread = 0;    // of those, how many reached its sockets and may have been
                                 // discarded unread as one closed: never missed nor dropped
    bool received = false;       // some of the flood reached one of its sockets
    std::optional<time_point> stopped; // when it stopped receiving, for good, if it did
    bool overdrawn = false; // its sockets dropped more than reached them: another sender's too
};

// The ledger of receiver `receiver`, from the runs of looks taken from
// the flood's start (its first look before any datagram) to its end (its
// last look after all `sent`).
receiver_ledger receiver_ledger_of(std::size_t receiver, const std::vector<socket_run> &runs,
                                   const std::vector<socket_tally> &sockets, std::uint64_t sent);
