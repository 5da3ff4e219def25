// SPDX-License-Identifier: MIT
#include "datagrams.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

const unsigned char v4_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool zero(const unsigned char *from, std::size_t n) {
    return std::all_of(from, from + n, [](unsigned char b) { return b == 0; });
}

// The IPv4 address of an IPv4 socket, or of an IPv6 one bound to a
// v4-mapped address; nothing else.
const unsigned char *ipv4_of(const udp_socket &s) {
    if (!s.ipv6) {
        return s.address.data();
    }
    return std::equal(v4_mapped, v4_mapped + 12, s.address.data()) ? s.address.data() + 12
                                                                   : nullptr;
}

} // namespace

bool bound_to_any(const udp_socket &s) {
    const unsigned char *v4 = ipv4_of(s);
    return v4 != nullptr ? zero(v4, 4) : zero(s.address.data(), 16);
}

bool on_loopback(const udp_socket &s) {
    const unsigned char *v4 = ipv4_of(s);
    if (v4 != nullptr) {
        return v4[0] == 127;
    }
    return zero(s.address.data(), 15) && s.address[15] == 1;
}

std::string datagram_transport::refused() const {
    const auto taken = udp_sockets(port_);
    return taken.empty() ? ""
                         : "UDP port " + std::to_string(port_) + " is in use by " +
                               holder_of(taken.front().inode);
}

measuring_sink datagram_transport::sink() const {
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof at;
    unique_fd sink(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    unique_fd out(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sink || !out || bind(sink.get(), reinterpret_cast<sockaddr *>(&at), size) != 0 ||
        getsockname(sink.get(), reinterpret_cast<sockaddr *>(&at), &size) != 0 ||
        connect(out.get(), reinterpret_cast<sockaddr *>(&at), size) != 0) {
        throw_errno("no loopback socket to measure the flood with");
    }
    return {std::move(out), std::move(sink)};
}

port_watch::look datagram_transport::look_at_port() const {
    look seen;
    seen.sockets = udp_sockets(port_, tables_);
    const kernel_state state = read_state();
    for (const udp_socket &s : seen.sockets) {
        seen.receiving.push_back(reaches(s, state));
    }
    return seen;
}
