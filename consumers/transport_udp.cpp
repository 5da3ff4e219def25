// SPDX-License-Identifier: MIT
// The flood in datagrams to the consumer's UDP port, on loopback only: to
// the address it listens on there. A datagram reaches a socket bound to
// that address, or to every address of its family (an IPv6 one takes
// IPv4 too, unless the system binds IPv6 sockets to IPv6 only).
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <optional>

#include "datagrams.h"

namespace {

struct destination {
    sockaddr_storage address{};
    socklen_t size = 0;
    bool ipv4() const {
        return address.ss_family == AF_INET;
    }
};

// Where to send the flood for a consumer listening on `sockets`: the
// address an IPv4 socket is bound to in 127.0.0.0/8 (or an IPv6 socket,
// v4-mapped), 127.0.0.1 for the IPv4 wildcard, ::1 for ::1 or the IPv6
// wildcard. IPv4 first. Nothing when no socket is on loopback.
std::optional<destination> loopback_destination(std::vector<udp_socket> sockets, unsigned port) {
    std::stable_sort(sockets.begin(), sockets.end(),
                     [](const auto &a, const auto &b) { return !a.ipv6 && b.ipv6; });
    destination to;
    for (const auto &s : sockets) {
        const bool v4 = !s.ipv6 || (s.address[10] == 0xff && s.address[11] == 0xff);
        if (v4 && (on_loopback(s) || bound_to_any(s))) {
            auto &in = reinterpret_cast<sockaddr_in &>(to.address);
            in = {AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
            if (on_loopback(s)) {
                std::memcpy(&in.sin_addr, s.address.data() + (s.ipv6 ? 12 : 0), 4);
            }
            to.size = sizeof in;
            return to;
        }
        if (s.ipv6 && (on_loopback(s) || bound_to_any(s))) {
            auto &in6 = reinterpret_cast<sockaddr_in6 &>(to.address);
            in6 = {AF_INET6, htons(static_cast<std::uint16_t>(port)), 0, in6addr_loopback, 0};
            to.size = sizeof in6;
            return to;
        }
    }
    return std::nullopt;
}

// "127.0.0.1:5000", "[::1]:5000".
std::string destination_text(const destination &to) {
    const auto &in = reinterpret_cast<const sockaddr_in &>(to.address);
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(to.address);
    char text[INET6_ADDRSTRLEN];
    inet_ntop(to.address.ss_family,
              to.ipv4() ? static_cast<const void *>(&in.sin_addr) : &in6.sin6_addr, text,
              sizeof text);
    const std::string port = std::to_string(ntohs(to.ipv4() ? in.sin_port : in6.sin6_port));
    return to.ipv4() ? std::string(text) + ":" + port : "[" + std::string(text) + "]:" + port;
}

// A non-blocking socket connected to `to`, whose error queue keeps the
// refusals that sendmmsg does not report (IP_RECVERR).
unique_fd connected_socket(const destination &to) {
    unique_fd s(socket(to.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    if (!s ||
        setsockopt(s.get(), to.ipv4() ? IPPROTO_IP : IPPROTO_IPV6,
                   to.ipv4() ? IP_RECVERR : IPV6_RECVERR, &on, sizeof on) != 0 ||
        connect(s.get(), reinterpret_cast<const sockaddr *>(&to.address), to.size) != 0) {
        throw_errno("no socket to send from");
    }
    return s;
}

bool ipv6_only_by_default() {
    const auto text = read_file("/proc/sys/net/ipv6/bindv6only");
    return text && text->front() == '1';
}

class udp_transport final : public datagram_transport {
  public:
    explicit udp_transport(unsigned port)
        : datagram_transport(port), v6_only_(ipv6_only_by_default()) {}

    const char *mode() const override {
        return "udp";
    }
    std::string why_not_reached(const listening_sockets &l) const override {
        return l.open.empty() ? ""
                              : "it listens on " + address_text(l.open.front()) + " port " +
                                    std::to_string(port_) + ", not on loopback: not flooded";
    }
    flood_output open(const std::vector<listening_sockets> &listening) override {
        const auto to = loopback_destination(listening.front().open, port_);
        if (!to) {
            return {};
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            destination_ = *to;
        }
        return {connected_socket(*to), destination_text(*to)};
    }
    std::string ended_text(int error, const std::string &to, const std::string &at) const override {
        return error == ECONNREFUSED ? to + " refused the flood" + at + ": nobody listened"
                                     : transport::ended_text(error, to, at);
    }
    bool ended_by_consumer(int error) const override {
        return error == ECONNREFUSED;
    }

  private:
    reach reaches(const udp_socket &s, const kernel_state &) const override {
        return reaches(s) ? reach::receiving : reach::not_receiving;
    }
    bool reaches(const udp_socket &s) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!destination_) {
            return on_loopback(s) || bound_to_any(s); // it would be flooded
        }
        const bool v4_mapped = s.ipv6 && s.address[10] == 0xff && s.address[11] == 0xff;
        const unsigned char *bound = s.address.data() + (v4_mapped ? 12 : 0);
        if (destination_->ipv4()) {
            const auto &in = reinterpret_cast<const sockaddr_in &>(destination_->address);
            if (!s.ipv6 || v4_mapped) {
                return bound_to_any(s) || std::memcmp(bound, &in.sin_addr, 4) == 0;
            }
            return bound_to_any(s) && !v6_only_; // a dual-stack socket
        }
        return s.ipv6 && !v4_mapped && (bound_to_any(s) || on_loopback(s));
    }

    const bool v6_only_;
    mutable std::mutex mutex_; // the destination, set as the flood starts, read by the sampler
    std::optional<destination> destination_;
};

} // namespace

std::unique_ptr<transport> make_udp_transport(const run_options &options) {
    return std::make_unique<udp_transport>(options.transport.port);
}
