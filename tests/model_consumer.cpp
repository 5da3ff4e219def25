// SPDX-License-Identifier: MIT
// A consumer whose behaviour the tests know exactly:
//   model_consumer fds                      prints its open descriptors, then reads its input
//   model_consumer udp WHERE [N] [hidden]   reads datagrams on 127.0.0.1:PORT, or of the
//                                           group GROUP:PORT ([GROUP]:PORT), until N (0: no
//                                           end) or half a second without one, then prints
//                                           how many bytes it read; hidden: not dumpable,
//                                           its /proc/PID/fd unreadable
//   model_consumer rtp WHERE                the same, checking RTP headers: prints bytes,
//                                           gaps in the sequence, and datagrams not of
//                                           payload type 33 with 7 packets
//   model_consumer runs WHERE GAP_US        reads datagrams as udp does, each with the time it
//                                           arrived, until a fifth of a second without one, then
//                                           prints the longest run of them each under half
//                                           GAP_US after the one before
//   model_consumer relay PORT               writes what it reads on 127.0.0.1:PORT to stdout
//   model_consumer deaf PORT                binds 127.0.0.1:PORT with a small buffer, reads nothing
//   model_consumer orphan-spin SECONDS      ignores SIGCHLD, so the kernel reaps its child,
//                                           which spins SECONDS of CPU; then sleeps
//   model_consumer hold MIB SECONDS         holds MIB MiB, touched, for SECONDS, then ends
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <net/if.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void read_input() {
    char chunk[1 << 16];
    while (read(STDIN_FILENO, chunk, sizeof chunk) > 0) {
    }
}

// A socket bound to 127.0.0.1:PORT, or for GROUP:PORT ([GROUP]:PORT for
// IPv6) to the port alone, shared, and joined to the group on lo.
int bound_socket(const std::string &where, int buffer) {
    const std::size_t colon = where.rfind(':');
    const bool group = colon != std::string::npos, ipv6 = group && where.front() == '[';
    const auto port =
        htons(static_cast<std::uint16_t>(std::atoi(where.c_str() + (group ? colon + 1 : 0))));
    const int s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    const int on = 1, lo = static_cast<int>(if_nametoindex("lo"));
    if (buffer > 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{AF_INET, port, {htonl(group ? INADDR_ANY : INADDR_LOOPBACK)}, {}};
    sockaddr_in6 at6{};
    at6.sin6_family = AF_INET6;
    at6.sin6_port = port;
    const bool bound = ipv6 ? bind(s, reinterpret_cast<sockaddr *>(&at6), sizeof at6) == 0
                            : bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
    bool joined = !group;
    if (ipv6) {
        ipv6_mreq join{};
        inet_pton(AF_INET6, where.substr(1, colon - 2).c_str(), &join.ipv6mr_multiaddr);
        join.ipv6mr_interface = static_cast<unsigned>(lo);
        joined = setsockopt(s, IPPROTO_IPV6, IPV6_JOIN_GROUP, &join, sizeof join) == 0;
    } else if (group) {
        ip_mreqn join{};
        inet_pton(AF_INET, where.substr(0, colon).c_str(), &join.imr_multiaddr);
        join.imr_ifindex = lo;
        joined = setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0;
    }
    if (!bound || !joined) {
        std::perror(where.c_str());
        std::exit(1);
    }
    return s;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "fds") {
        DIR *dir = opendir("/proc/self/fd");
        std::string open;
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(dir)) {
                open += std::string(open.empty() ? "" : " ") + entry->d_name;
            }
        }
        closedir(dir);
        std::printf("fds: %s\n", open.c_str());
        std::fflush(stdout);
        read_input();
    } else if ((mode == "udp" || mode == "rtp") && argc > 2) {
        if (argc > 4) {
            prctl(PR_SET_DUMPABLE, 0);
        }
        const int s = bound_socket(argv[2], 0);
        const long most = argc > 3 ? std::atol(argv[3]) : 0;
        unsigned char datagram[2048];
        unsigned long long bytes = 0, gaps = 0, foreign = 0;
        std::optional<unsigned> last; // RTP sequence number
        for (long n = 0; most == 0 || n < most; ++n) {
            const timeval idle{n == 0 ? 10 : 0, n == 0 ? 0 : 500000};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
            const ssize_t got = recv(s, datagram, sizeof datagram, 0);
            if (got < 0) {
                break;
            }
            bytes += static_cast<unsigned long long>(got);
            if (mode == "rtp") {
                // Version 2, no padding, extension or contributors, payload
                // type 33, 7 packets; sequence numbers one up each time.
                const unsigned sequence = unsigned{datagram[2]} << 8 | datagram[3];
                foreign += got != 1328 || datagram[0] != 0x80 || (datagram[1] & 0x7f) != 33 ||
                           datagram[12] != 0x47;
                gaps += last && sequence != ((*last + 1) & 0xffff);
                last = sequence;
            }
        }
        if (mode == "rtp") {
            std::printf("%llu bytes, %llu gaps, %llu not RTP of 7 packets\n", bytes, gaps, foreign);
        } else {
            std::printf("%llu\n", bytes);
        }
    } else if (mode == "runs" && argc > 3) {
        const int s = bound_socket(argv[2], 8 << 20);
        const int on = 1;
        setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        const double back_to_back = std::atof(argv[3]) / 2 * 1e-6;
        unsigned char datagram[2048];
        char control[256];
        double last = -1;
        unsigned long long datagrams = 0, run = 0, longest = 0;
        for (;; ++datagrams) {
            const timeval idle{datagrams == 0 ? 10 : 0, datagrams == 0 ? 0 : 200000};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
            iovec into{datagram, sizeof datagram};
            msghdr message{};
            message.msg_iov = &into;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            if (recvmsg(s, &message, 0) < 0) {
                break;
            }
            const cmsghdr *c = CMSG_FIRSTHDR(&message);
            timespec at{};
            if (c != nullptr && c->cmsg_type == SO_TIMESTAMPNS) {
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
            }
            const double now =
                static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
            run = last >= 0 && now - last < back_to_back ? run + 1 : 1;
            longest = std::max(longest, run);
            last = now;
        }
        std::printf("longest run %llu of %llu datagrams\n", longest, datagrams);
    } else if (mode == "relay" && argc > 2) {
        const int s = bound_socket(argv[2], 0);
        char datagram[2048];
        for (ssize_t got; (got = recv(s, datagram, sizeof datagram, 0)) > 0;) {
            if (write(STDOUT_FILENO, datagram, static_cast<std::size_t>(got)) != got) {
                return 1;
            }
        }
    } else if (mode == "deaf" && argc > 2) {
        bound_socket(argv[2], 2048);
        pause();
    } else if (mode == "orphan-spin" && argc > 2) {
        signal(SIGCHLD, SIG_IGN);
        if (fork() == 0) {
            // CPU time, not time: however busy the machine, it uses this much.
            const double cpu = std::atof(argv[2]);
            for (timespec used{};
                 static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9 <
                 cpu;) {
                clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
            }
            return 0;
        }
        pause();
    } else if (mode == "hold" && argc > 3) {
        std::vector<char> held(static_cast<std::size_t>(std::atol(argv[2])) << 20, 1);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[3])));
        return held[held.size() / 2] - 1;
    } else {
        std::fprintf(stderr, "model_consumer: no such mode\n");
        return 2;
    }
    return 0;
}
