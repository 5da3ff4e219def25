// SPDX-License-Identifier: MIT
#include "netns.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "posix.h"
#include "procfs.h"

namespace {

void write_file(const char *path, const std::string &text) {
    const unique_fd fd = open_file(path, O_WRONLY);
    if (write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw_errno(std::string("cannot write ") + path);
    }
}

void bring_up_loopback() {
    const unique_fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    if (!s || ioctl(s.get(), SIOCGIFFLAGS, &lo) != 0) {
        throw_errno("cannot read the loopback interface's flags");
    }
    lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
    if (ioctl(s.get(), SIOCSIFFLAGS, &lo) != 0) {
        throw_errno("cannot bring the loopback interface up");
    }
}

// Adds a route for all multicast groups of `family` to the loopback
// interface (rtnetlink, rtnetlink(7)): for IPv4 an ordinary one; for IPv6 a
// local one, as the kernel turns any other route through lo into a reject.
void route_groups_to_loopback(int family) {
    struct {
        nlmsghdr header;
        rtmsg route;
        char attributes[64];
    } request{};
    request.header.nlmsg_type = RTM_NEWROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    const bool ipv6 = family == AF_INET6;
    request.route.rtm_family = static_cast<unsigned char>(family);
    request.route.rtm_dst_len = ipv6 ? 8 : 4;
    request.route.rtm_table = ipv6 ? RT_TABLE_LOCAL : RT_TABLE_MAIN;
    request.route.rtm_protocol = RTPROT_BOOT;
    request.route.rtm_scope = ipv6 ? RT_SCOPE_HOST : RT_SCOPE_LINK;
    request.route.rtm_type = ipv6 ? RTN_LOCAL : RTN_UNICAST;
    const auto add = [&](unsigned short type, const void *data, std::size_t size) {
        auto *attribute = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(&request) +
                                                     NLMSG_ALIGN(request.header.nlmsg_len));
        attribute->rta_type = type;
        attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        std::memcpy(RTA_DATA(attribute), data, size);
        request.header.nlmsg_len =
            NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
    };
    unsigned char groups[16] = {};
    groups[0] = ipv6 ? 0xff : 0xe0; // ff00::/8, 224.0.0.0/4
    add(RTA_DST, groups, ipv6 ? 16 : 4);
    const int lo = static_cast<int>(if_nametoindex("lo"));
    add(RTA_OIF, &lo, sizeof lo);

    const unique_fd s(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!s || send(s.get(), &request, request.header.nlmsg_len, 0) < 0) {
        throw_errno("cannot ask for a route to the loopback interface");
    }
    char answer[512];
    const ssize_t n = recv(s.get(), answer, sizeof answer, 0);
    const auto *reply = reinterpret_cast<const nlmsghdr *>(answer);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) ||
        reply->nlmsg_type != NLMSG_ERROR) {
        throw_errno("no answer to a route for the loopback interface");
    }
    nlmsgerr error_message;
    std::memcpy(&error_message, answer + NLMSG_HDRLEN, sizeof error_message);
    const int error = error_message.error;
    if (error != 0) {
        errno = -error;
        throw_errno("cannot route the multicast groups to the loopback interface");
    }
}

} // namespace

void enter_private_network() {
    if (unshare(CLONE_NEWNET) != 0) {
        // Not root: as root of a user namespace of its own, mapped to the
        // user it is.
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (errno != EPERM || unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            throw_errno("no network namespace of its own (it takes root, or unprivileged user "
                        "namespaces)");
        }
        write_file("/proc/self/setgroups", "deny");
        write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    bring_up_loopback();
    route_groups_to_loopback(AF_INET);
    route_groups_to_loopback(AF_INET6);
}

namespace {

// The interface and flags of the route that `address` takes, from the
// kernel's tables in /proc/net: the longest prefix that holds it.
struct route {
    std::string interface;
    unsigned long flags = 0;
};

std::optional<route> ipv4_route(in_addr address) {
    std::istringstream table(read_file("/proc/net/route").value_or(""));
    std::string line, interface;
    std::getline(table, line); // the heading
    std::optional<route> best;
    int best_length = -1;
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...: addresses
    // in hexadecimal, as the kernel holds them (network order).
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string destination, gateway, flags, skip, mask;
        fields >> interface >> destination >> gateway >> flags >> skip >> skip >> skip >> mask;
        const auto dst = static_cast<std::uint32_t>(std::strtoul(destination.c_str(), nullptr, 16));
        const auto m = static_cast<std::uint32_t>(std::strtoul(mask.c_str(), nullptr, 16));
        const int length = __builtin_popcount(m);
        if ((address.s_addr & m) == dst && length > best_length) {
            best = route{interface, std::strtoul(flags.c_str(), nullptr, 16)};
            best_length = length;
        }
    }
    return best;
}

std::optional<route> ipv6_route(const in6_addr &address) {
    std::istringstream table(read_file("/proc/net/ipv6_route").value_or(""));
    std::optional<route> best;
    int best_length = -1;
    // destination, its prefix length, source, its prefix length, next hop,
    // metric, references, use, flags, interface: in hexadecimal.
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string destination, length_text, skip, flags, interface;
        fields >> destination >> length_text >> skip >> skip >> skip >> skip >> skip >> skip >>
            flags >> interface;
        const int length = static_cast<int>(std::strtoul(length_text.c_str(), nullptr, 16));
        bool holds = destination.size() == 32;
        for (int bit = 0; holds && bit < length; ++bit) {
            const auto byte = static_cast<unsigned>(std::strtoul(
                destination.substr(static_cast<std::size_t>(bit / 8) * 2, 2).c_str(), nullptr, 16));
            holds = ((byte ^ address.s6_addr[bit / 8]) >> (7 - bit % 8) & 1) == 0;
        }
        if (holds && length > best_length) {
            best = route{interface, std::strtoul(flags.c_str(), nullptr, 16)};
            best_length = length;
        }
    }
    return best;
}

} // namespace

unsigned members_on_loopback(const multicast_group &group) {
    proc_table once(group.ipv6() ? "/proc/net/igmp6" : "/proc/net/igmp");
    return members_on_loopback(group, once);
}

unsigned members_on_loopback(const multicast_group &group, proc_table &igmp) {
    std::istringstream table(std::string(igmp.read()));
    char hex[33];
    if (group.ipv6()) {
        // Index, interface, group (32 hexadecimal digits), users, ...
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(group.address).sin6_addr;
        for (int i = 0; i < 16; ++i) {
            std::snprintf(hex + 2 * i, 3, "%02x", in6.s6_addr[i]);
        }
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::string index, interface, address;
            unsigned users = 0;
            if (fields >> index >> interface >> address >> users && interface == "lo" &&
                address == hex) {
                return users;
            }
        }
        return 0;
    }
    // An interface's line ("1\tlo        :     1      V3"), then one line per
    // group: the address as the kernel holds it, in hexadecimal, and users.
    std::snprintf(hex, sizeof hex, "%08X",
                  reinterpret_cast<const sockaddr_in &>(group.address).sin_addr.s_addr);
    bool on_lo = false;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string first;
        unsigned users = 0;
        fields >> first;
        if (!line.empty() && line[0] != '\t') {
            std::string interface;
            fields >> interface;
            on_lo = interface == "lo";
        } else if (on_lo && first == hex && fields >> users) {
            return users;
        }
    }
    return 0;
}

std::optional<std::string> missing_route(const multicast_group &group) {
    if (group.ipv6()) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(group.address).sin6_addr;
        const auto found = ipv6_route(in6);
        if (found && found->interface == "lo" && (found->flags & RTF_REJECT) == 0) {
            return std::nullopt;
        }
        char prefix[INET6_ADDRSTRLEN];
        in6_addr sixteen{};
        std::memcpy(&sixteen, &in6, 2);
        inet_ntop(AF_INET6, &sixteen, prefix, sizeof prefix);
        return std::string("ip -6 route add local ") + prefix + "/16 dev lo table local";
    }
    const auto &in = reinterpret_cast<const sockaddr_in &>(group.address).sin_addr;
    const auto found = ipv4_route(in);
    if (found && found->interface == "lo") {
        return std::nullopt;
    }
    return "ip route add " +
           std::to_string(reinterpret_cast<const unsigned char *>(&in.s_addr)[0]) +
           ".0.0.0/8 dev lo";
}
