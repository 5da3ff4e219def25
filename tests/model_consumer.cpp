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
//   model_consumer hold MIB SECONDS [MS]    holds MIB MiB, touched, for SECONDS, then gives
//                                           it back over MS ms (0), a sixteenth at a time,
//                                           and ends
//   model_consumer receiver WHERE FILE STEP...  a receiver whose behaviour the steps script
//                                           (see receiver()); it writes how many datagrams
//                                           it read to FILE as it ends, or is ended by TERM
//   model_consumer regresses [PORT]         reads its input, or datagrams on 127.0.0.1:PORT
//                                           until half a second without one; sound, unless
//                                           MODEL_REGRESS names how it regresses: drops (a
//                                           read every 5 ms), grows (keeps all it reads),
//                                           slows (0.2 ms of CPU per read), or several
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
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
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
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

// A receiver scripted step by step, whose own count of what it read is the
// truth its row is checked against. WHERE is PORT (127.0.0.1, or ::1 with
// v6), GROUP:PORT or [GROUP]:PORT. The steps, in order:
//   v4, v6        the family of the sockets opened after (default: WHERE's)
//   rcvbuf:BYTES  the receive buffer of the sockets opened after
//   open          a socket on the port, joined to the group if there is one
//   bind          a socket on the port that joins nothing
//   join, leave   the group, on the socket open
//   read          read until half a second passes without a datagram (10 s
//                 for the first)
//   read:MS       read for MS milliseconds from the first datagram (which
//                 may be waited for 10 s)
//   slow:US       from now on, wait US microseconds after each datagram
//   sleep:MS      wait, reading nothing
//   close         close the socket, unread datagrams and all
//   reopen        open another socket as `open` does, then close the first
//   fork          go on in a child; the parent waits for it and records nothing
//   die           record, then end by SIGKILL
volatile sig_atomic_t ended_by_term = 0;

int receiver(const std::string &where, const char *record, char **steps, int n) {
    signal(SIGTERM, [](int) { ended_by_term = 1; });
    const std::size_t colon = where.rfind(':');
    const bool group = colon != std::string::npos;
    bool ipv6 = group && where.front() == '[';
    const auto port =
        htons(static_cast<std::uint16_t>(std::atoi(where.c_str() + (group ? colon + 1 : 0))));
    const std::string address = group ? where.substr(ipv6 ? 1 : 0, ipv6 ? colon - 2 : colon) : "";
    const bool group_ipv6 = ipv6;
    int s = -1, buffer = 0;
    long slow_us = 0;
    unsigned long long read_count = 0;
    bool recording = true;
    const auto save = [&] {
        if (recording) {
            if (FILE *f = std::fopen(record, "w")) {
                std::fprintf(f, "%llu\n", read_count);
                std::fclose(f);
            }
        }
    };
    const auto membership = [&](bool join) {
        const int lo = static_cast<int>(if_nametoindex("lo"));
        if (group_ipv6) {
            ipv6_mreq m{};
            inet_pton(AF_INET6, address.c_str(), &m.ipv6mr_multiaddr);
            m.ipv6mr_interface = static_cast<unsigned>(lo);
            setsockopt(s, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &m, sizeof m);
        } else {
            ip_mreqn m{};
            inet_pton(AF_INET, address.c_str(), &m.imr_multiaddr);
            m.imr_ifindex = lo;
            setsockopt(s, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &m, sizeof m);
        }
    };
    const auto open_socket = [&](bool join) {
        s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (buffer > 0) {
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        }
        sockaddr_in at{AF_INET, port, {htonl(group ? INADDR_ANY : INADDR_LOOPBACK)}, {}};
        sockaddr_in6 at6{};
        at6.sin6_family = AF_INET6;
        at6.sin6_port = port;
        at6.sin6_addr = group ? in6addr_any : in6addr_loopback;
        const bool bound = ipv6 ? bind(s, reinterpret_cast<sockaddr *>(&at6), sizeof at6) == 0
                                : bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
        if (!bound) {
            std::perror("bind");
        }
        if (join && group) {
            membership(true);
        }
    };
    // Reads until `ms` milliseconds after its first datagram, or with none
    // until half a second passes without one; 10 s for the first.
    const auto read_for = [&](long ms) {
        const timeval tick{0, 100000};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        using clock = std::chrono::steady_clock;
        std::optional<clock::time_point> first, last;
        const clock::time_point began = clock::now();
        unsigned char datagram[2048];
        while (!ended_by_term) {
            const auto now = clock::now();
            if (first ? (ms >= 0 ? now - *first >= std::chrono::milliseconds(ms)
                                 : now - *last >= std::chrono::milliseconds(500))
                      : now - began >= std::chrono::seconds(10)) {
                break;
            }
            if (recv(s, datagram, sizeof datagram, 0) > 0) {
                ++read_count;
                last = clock::now();
                first = first.value_or(*last);
                if (slow_us > 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(slow_us));
                }
            }
        }
    };
    const auto wait_for = [](long ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!ended_by_term && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    for (int i = 0; i < n && !ended_by_term; ++i) {
        const std::string step = steps[i];
        const std::size_t c = step.find(':');
        const std::string name = step.substr(0, c);
        const long value = c == std::string::npos ? -1 : std::atol(step.c_str() + c + 1);
        if (name == "v4" || name == "v6") {
            ipv6 = name == "v6";
        } else if (name == "rcvbuf") {
            buffer = static_cast<int>(value);
        } else if (name == "open" || name == "bind") {
            open_socket(name == "open");
        } else if (name == "join" || name == "leave") {
            membership(name == "join");
        } else if (name == "read") {
            read_for(value);
        } else if (name == "slow") {
            slow_us = value;
        } else if (name == "sleep") {
            wait_for(value);
        } else if (name == "close") {
            close(s);
            s = -1;
        } else if (name == "reopen") {
            const int first = s;
            open_socket(true);
            close(first);
        } else if (name == "fork") {
            if (const pid_t child = fork(); child > 0) {
                recording = false;
                int status = 0;
                while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
                return 0;
            }
        } else if (name == "die") {
            save();
            raise(SIGKILL);
        } else {
            std::fprintf(stderr, "model_consumer: no such step: %s\n", step.c_str());
            return 2;
        }
    }
    if (ended_by_term) {
        // What is still queued was not read: the count is what was.
        save();
        return 143;
    }
    save();
    return 0;
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
        const std::size_t size = static_cast<std::size_t>(std::atol(argv[2])) << 20;
        auto *held = static_cast<char *>(mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0));
        std::memset(held, 1, size);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[3])));
        // Given back slowly, as a language's runtime may at its end.
        const double spread = argc > 4 ? std::atof(argv[4]) / 1000 : 0;
        for (std::size_t part = 0; part < 16; ++part) {
            munmap(held + part * (size / 16), size / 16);
            std::this_thread::sleep_for(std::chrono::duration<double>(spread / 16));
        }
        return 0;
    } else if (mode == "receiver" && argc > 3) {
        return receiver(argv[2], argv[3], argv + 4, argc - 4);
    } else if (mode == "regresses") {
        // Told how by the environment, so that its command, by which a
        // baseline knows its row, stays the same.
        const char *const told = std::getenv("MODEL_REGRESS");
        const std::string how = told != nullptr ? told : "";
        const bool drops = how.find("drops") != std::string::npos,
                   grows = how.find("grows") != std::string::npos,
                   slows = how.find("slows") != std::string::npos;
        const int in = argc > 2 ? bound_socket(argv[2], 0) : STDIN_FILENO;
        const timeval idle{0, 500000};
        setsockopt(in, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle); // fails on a pipe: no matter
        const auto cpu = [] {
            timespec used{};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
            return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
        };
        std::vector<std::vector<char>> kept;
        char chunk[2048];
        for (ssize_t got; (got = read(in, chunk, sizeof chunk)) > 0;) {
            if (grows) {
                kept.emplace_back(chunk, chunk + got);
            }
            for (const double until = cpu() + 2e-4; slows && cpu() < until;) {
            }
            if (drops) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    } else {
        std::fprintf(stderr, "model_consumer: no such mode\n");
        return 2;
    }
    return 0;
}
