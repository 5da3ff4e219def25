// SPDX-License-Identifier: MIT
// The wait for UDP consumers to listen, and where the flood then goes: on
// loopback only, to a consumer's socket or to a multicast group.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>

#include "netns.h"
#include "phases.h"

namespace {

constexpr auto listen_wait = std::chrono::seconds(10); // not part of -s

struct destination {
    sockaddr_storage address{};
    socklen_t size = 0;
};

// Where to send the flood for a consumer listening on `sockets`, on loopback
// only: the address an IPv4 socket is bound to in 127.0.0.0/8 (or an IPv6
// socket, v4-mapped), 127.0.0.1 for the IPv4 wildcard, ::1 for ::1 or the
// IPv6 wildcard (which takes IPv6 whether or not it takes IPv4). IPv4 first.
// Nothing when no socket is on loopback.
std::optional<destination> loopback_destination(std::vector<udp_socket> sockets, unsigned port) {
    static const unsigned char v4_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const auto zero = [](const unsigned char *from, std::size_t n) {
        return std::all_of(from, from + n, [](unsigned char b) { return b == 0; });
    };
    std::stable_sort(sockets.begin(), sockets.end(),
                     [](const auto &a, const auto &b) { return !a.ipv6 && b.ipv6; });
    destination to;
    for (const auto &s : sockets) {
        const unsigned char *v4 = !s.ipv6 ? s.address.data()
                                  : std::equal(v4_mapped, v4_mapped + 12, s.address.data())
                                      ? s.address.data() + 12
                                      : nullptr;
        if (v4 != nullptr && (v4[0] == 127 || zero(v4, 4))) {
            auto &in = reinterpret_cast<sockaddr_in &>(to.address);
            in = {AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
            if (v4[0] == 127) {
                std::memcpy(&in.sin_addr, v4, sizeof in.sin_addr);
            }
            to.size = sizeof in;
            return to;
        }
        if (s.ipv6 &&
            (zero(s.address.data(), 16) || (zero(s.address.data(), 15) && s.address[15] == 1))) {
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
    const bool ipv4 = to.address.ss_family == AF_INET;
    const auto &in = reinterpret_cast<const sockaddr_in &>(to.address);
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(to.address);
    char text[INET6_ADDRSTRLEN];
    inet_ntop(to.address.ss_family, ipv4 ? static_cast<const void *>(&in.sin_addr) : &in6.sin6_addr,
              text, sizeof text);
    const std::string port = std::to_string(ntohs(ipv4 ? in.sin_port : in6.sin6_port));
    return ipv4 ? std::string(text) + ":" + port : "[" + std::string(text) + "]:" + port;
}

// A non-blocking socket connected to `to`, whose error queue keeps the
// refusals that sendmmsg does not report (IP_RECVERR).
unique_fd connected_socket(const destination &to) {
    const bool ipv4 = to.address.ss_family == AF_INET;
    unique_fd s(socket(to.address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    if (!s ||
        setsockopt(s.get(), ipv4 ? IPPROTO_IP : IPPROTO_IPV6, ipv4 ? IP_RECVERR : IPV6_RECVERR, &on,
                   sizeof on) != 0 ||
        connect(s.get(), reinterpret_cast<const sockaddr *>(&to.address), to.size) != 0) {
        throw_errno("no socket to send from");
    }
    return s;
}

// A non-blocking socket connected to `group`, that sends on the loopback
// interface only, to this machine's receivers (loop), with a hop limit of
// 0: the kernel sends nothing further.
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

} // namespace

listener_result wait_for_listener(run_context &ctx) {
    ctx.show(status_line::phase_type::listening);
    const std::size_t n = ctx.consumers.size();
    const time_point until = ctx.consumers.front().started + listen_wait;
    const std::string port = std::to_string(ctx.options.port);
    listener_result r;
    r.why_not.resize(n);
    std::vector<listening_sockets> heard(n);
    std::optional<time_point> all_listened; // but some have not joined the group
    for (bool waiting = true; waiting;) {
        waiting = false;
        const bool late = clock_type::now() >= until;
        for (std::size_t k = 0; k < n; ++k) {
            heard[k] = ctx.sampler->listening(ctx.consumers[k].tree);
            // Its first process may end and leave another to listen: it has
            // ended only if a walk begun after the reap found none alive.
            const auto &reaped = ctx.consumers[k].process.ended();
            const bool ended = reaped && !heard[k].alive && heard[k].alive_at > reaped->at;
            std::string &why = r.why_not[k];
            if (ctx.signals.count() > 0) {
                why = "stopped by " + ctx.stop_text() + " before " +
                      (heard[k].open.empty() ? "it listened" : "the flood");
            } else if (!heard[k].open.empty()) {
                continue;
            } else if (!heard[k].unreadable.empty() && (heard[k].unknown || ended || late)) {
                // The socket on the port is likely its own, but its drops
                // could not be told apart from another's.
                why = "its sockets cannot be read: " + heard[k].unreadable +
                      " (a process not dumpable, or another user's)";
            } else if (heard[k].listened) {
                why = "it closed its socket on port " + port + " before it was flooded";
            } else if (ended || late) {
                why = (ended ? "never listened on port " : "not listening on port ") + port +
                      (ended ? "" : " after 10 s");
            } else {
                waiting = true;
            }
        }
        // A socket on the port that has not joined the group on lo reads
        // nothing: its receiver is not ready yet.
        const auto listening =
            static_cast<unsigned>(std::count(r.why_not.begin(), r.why_not.end(), ""));
        if (!waiting && listening > 0 && ctx.options.group && ctx.signals.count() == 0 &&
            members_on_loopback(*ctx.options.group) < listening) {
            // Joining follows listening at once: a second is plenty.
            if (!all_listened) {
                all_listened = clock_type::now();
            }
            if (!late && clock_type::now() < *all_listened + std::chrono::seconds(1)) {
                waiting = true;
            } else if (n == 1) {
                r.why_not.front() = "it listens on port " + port + " but has not joined " +
                                    ctx.options.group->text + " on the loopback interface";
            } else {
                r.note = "only " + std::to_string(members_on_loopback(*ctx.options.group)) +
                         " of the " + std::to_string(listening) + " receivers that listen joined " +
                         ctx.options.group->text +
                         " on the loopback interface: one that has not joined reads "
                         "the group only while another receiver holds it";
            }
        }
        if (waiting) {
            ctx.attend(
                ctx.wait(std::min(until, clock_type::now() + std::chrono::milliseconds(20))));
        }
    }
    if (std::all_of(r.why_not.begin(), r.why_not.end(),
                    [](const std::string &why) { return !why.empty(); })) {
        return r; // nobody to flood
    }
    if (const auto &group = ctx.options.group) {
        r.socket = group_socket(*group);
        r.to = group->text;
        return r;
    }
    const auto to = loopback_destination(heard.front().open, ctx.options.port);
    if (!to) {
        r.why_not.front() = "it listens on " + address_text(heard.front().open.front()) + " port " +
                            port + ", not on loopback: not flooded";
        return r;
    }
    r.socket = connected_socket(*to);
    r.to = destination_text(*to);
    return r;
}
