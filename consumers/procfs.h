// SPDX-License-Identifier: MIT
// Processes and UDP sockets as Linux shows them in /proc.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "posix.h"

// A table of /proc read over and over, such as /proc/net/udp: held open,
// and read again from its start into a buffer that is kept, so that a read
// costs no open and, once the buffer has grown, no allocation.
class proc_table {
  public:
    explicit proc_table(const char *path);
    // Its whole text now; empty when it cannot be read. Valid until the
    // next read.
    std::string_view read();

  private:
    const char *path_;
    unique_fd fd_;
    std::string text_;
};

// A process as /proc/PID/stat shows it (proc(5)).
struct process_stat {
    pid_t pid = 0, ppid = 0, session = 0;
    bool zombie = false;
    std::uint64_t start_ticks = 0;   // since boot: with the pid, who the process is
    double cpu_seconds = 0;          // user and system, its own
    double children_cpu_seconds = 0; // of the children it waited for
    std::uint64_t rss_kib = 0;       // resident memory, shared pages included
    bool ignores_sigchld = false;    // its ended children are reaped by the kernel
};

// One line of /proc/PID/stat; nothing when it is not one.
std::optional<process_stat> parse_stat(const std::string &line);

// Every process below `ancestor`: its children, theirs, and so on; but for
// `apart`, if not 0, and its tree: its descendants and its session.
std::vector<process_stat> descendants(pid_t ancestor, pid_t apart = 0);
std::optional<process_stat> stat_of(pid_t pid);

// Sends `sig` to the process `p` was, and to no other that took its pid since.
void signal_process(const process_stat &p, int sig);

// The inodes of the sockets that process `pid` holds open; nothing when its
// descriptors cannot be read (errno says why).
std::optional<std::vector<std::uint64_t>> socket_inodes(pid_t pid);

struct udp_socket {
    std::uint64_t inode;
    bool ipv6;
    std::array<unsigned char, 16> address; // bound to, in network order; IPv4 in the first 4
    std::uint64_t drops;  // datagrams the kernel dropped at it, its receive buffer full
    std::uint64_t queued; // bytes in its receive queue, each datagram's buffer counted whole
};

// The kernel's tables of UDP sockets, IPv4 and IPv6, held open to be read
// again and again by one thread at a time.
struct udp_tables {
    proc_table v4{"/proc/net/udp"}, v6{"/proc/net/udp6"};
};

// The UDP sockets bound to local `port`, IPv4 (/proc/net/udp) and IPv6
// (/proc/net/udp6), in this network namespace; read from `tables` where
// they are read often.
std::vector<udp_socket> udp_sockets(unsigned port);
std::vector<udp_socket> udp_sockets(unsigned port, udp_tables &tables);

// "127.0.0.1", "::1", ...
std::string address_text(const udp_socket &socket);

// "pid 1234 (socat)".
std::string process_name(pid_t pid);

// Who holds socket `inode`: "pid 1234 (socat)", or "a process not shown to
// this user".
std::string holder_of(std::uint64_t inode);

// The UDP counters of this network namespace (/proc/net/snmp, IPv4 and IPv6
// summed): datagrams sent, datagrams read by the receivers, and datagrams
// dropped at a receive buffer that was full.
struct udp_counters {
    std::uint64_t out = 0, in = 0, rcvbuf_errors = 0;
};
udp_counters udp_counters_now();
