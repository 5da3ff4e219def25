// SPDX-License-Identifier: MIT
// The flood to a multicast group, on the loopback interface only, with a
// hop limit of 0: the kernel sends nothing further. A datagram of the group
// reaches every socket of the group's family bound to its port, at every
// address or the group's, while any socket of the machine has joined the
// group on the loopback interface: joining is per interface, not per socket.
// A receiver that leaves refuses nothing: the flood ends once none has
// been reached for a second.
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>

#include "datagrams.h"
#include "netns.h"

namespace {

// A non-blocking socket connected to `group`, that sends on the loopback
// interface only, to this machine's receivers (loop), with a hop limit of
// 0.
unique_fd group_socket(const multicast_group &group) {
    const bool ipv6 = group.ipv6();
    unique_fd s(socket(group.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int lo = static_cast<int>(if_nametoindex("lo")), on = 1, none = 0;
    ip_mreqn via_lo{}; // and from 127.0.0.1, not from 0.0.0.0
    via_lo.imr_address.s_addr = htonl(INADDR_LOOPBACK);
    via_lo.imr_ifindex = lo;
    const bool set =
        s && lo > 0 &&
        (ipv6 ? setsockopt(s.get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &lo, sizeof lo) == 0 &&
                    setsockopt(s.get(), IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &on, sizeof on) == 0 &&
                    setsockopt(s.get(), IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &none, sizeof none) == 0
              : setsockopt(s.get(), IPPROTO_IP, IP_MULTICAST_IF, &via_lo, sizeof via_lo) == 0 &&
                    setsockopt(s.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) == 0 &&
                    setsockopt(s.get(), IPPROTO_IP, IP_MULTICAST_TTL, &none, sizeof none) == 0);
    if (!set ||
        connect(s.get(), reinterpret_cast<const sockaddr *>(&group.address), group.size) != 0) {
        throw_errno("no socket to send to " + group.text + " from");
    }
    return s;
}

class group_transport final : public datagram_transport {
  public:
    explicit group_transport(const multicast_group &group)
        : datagram_transport(port_of(group)), group_(group) {}

    const char *mode() const override {
        return "group";
    }
    std::string why_not_reached(const listening_sockets &l) const override {
        const std::string port = std::to_string(port_);
        if (l.open.empty()) {
            return "";
        }
        const bool family = std::any_of(l.open.begin(), l.open.end(),
                                        [&](const udp_socket &s) { return of_family(s); });
        if (!family) {
            return "it listens on port " + port + " with an " + (group_.ipv6() ? "IPv4" : "IPv6") +
                   " socket, where " + group_.text + " is an " + (group_.ipv6() ? "IPv6" : "IPv4") +
                   " group: not flooded";
        }
        const bool bound = std::any_of(l.open.begin(), l.open.end(), [&](const udp_socket &s) {
            return of_family(s) && bound_to_group(s);
        });
        if (!bound) {
            return "it listens on " + address_text(l.open.front()) + " port " + port +
                   ", where the datagrams of " + group_.text + " do not arrive: not flooded";
        }
        return "it listens on port " + port + " but has not joined " + group_.text +
               " on the loopback interface";
    }
    flood_output open(const std::vector<listening_sockets> &) override {
        return {group_socket(group_), group_.text};
    }
    bool ended_by_consumer(int) const override {
        return false;
    }
    bool ends_when_unreached() const override {
        return true;
    }

  private:
    static unsigned port_of(const multicast_group &g) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(g.address);
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(g.address);
        return ntohs(g.ipv6() ? in6.sin6_port : in.sin_port);
    }
    bool of_family(const udp_socket &s) const {
        const bool v4_mapped = s.ipv6 && s.address[10] == 0xff && s.address[11] == 0xff;
        return group_.ipv6() ? s.ipv6 && !v4_mapped : !s.ipv6;
    }
    bool bound_to_group(const udp_socket &s) const {
        if (!group_.ipv6() && s.ipv6) {
            return bound_to_any(s);
        }
        const auto &in = reinterpret_cast<const sockaddr_in &>(group_.address);
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(group_.address);
        return bound_to_any(s) ||
               (group_.ipv6() ? std::memcmp(s.address.data(), &in6.sin6_addr, 16) == 0
                              : std::memcmp(s.address.data(), &in.sin_addr, 4) == 0);
    }
    kernel_state read_state() const override {
        return {members_on_loopback(group_, igmp_)};
    }
    reach reaches(const udp_socket &s, const kernel_state &state) const override {
        if (state.members == 0 || !bound_to_group(s)) {
            return reach::not_receiving;
        }
        if (of_family(s)) {
            return reach::receiving;
        }
        // An IPv6 socket takes an IPv4 group's datagrams only if it joined
        // the group itself, which no table of the kernel's says.
        return !group_.ipv6() && s.ipv6 ? reach::unknown : reach::not_receiving;
    }

    const multicast_group group_;
    mutable proc_table igmp_{group_.ipv6() ? "/proc/net/igmp6" : "/proc/net/igmp"};
};

} // namespace

std::unique_ptr<transport> make_group_transport(const run_options &options) {
    return std::make_unique<group_transport>(options.transport.group);
}
