// SPDX-License-Identifier: MIT
// Processes and UDP sockets as Linux shows them in /proc.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct process_t {
    pid_t pid;
    bool zombie;
    std::uint64_t rss_kib; // resident memory, shared pages included
};

// Every process below `ancestor`: its children, theirs, and so on.
std::vector<process_t> descendants(pid_t ancestor);

// The inodes of the sockets that process `pid` holds open.
std::vector<std::uint64_t> socket_inodes(pid_t pid);

struct udp_socket_t {
    std::uint64_t inode;
    bool ipv6;
    std::array<unsigned char, 16> address; // bound to, in network order; IPv4 in the first 4
    std::uint64_t drops; // datagrams the kernel dropped at it, its receive buffer full
};

// The UDP sockets bound to local `port`, IPv4 (/proc/net/udp) and IPv6
// (/proc/net/udp6), in this network namespace.
std::vector<udp_socket_t> udp_sockets(unsigned port);

// "127.0.0.1", "::1", ...
std::string address_text(const udp_socket_t &socket);

// Who holds socket `inode`: "pid 1234 (socat)", or "a process not shown to
// this user".
std::string holder_of(std::uint64_t inode);
