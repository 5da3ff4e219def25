// SPDX-License-Identifier: MIT
// The consumer harness's relay: passes the flood from standard input on to a
// consumer, counts exactly what it passed on, and ends on a packet boundary.
//
//   relay [-P BYTES]   into the pipe on standard output, moved as it comes
//                      (splice, no copy); -P first sizes that pipe
//   relay -u PORT      to 127.0.0.1:PORT in UDP datagrams of 7 whole packets
//
// On SIGINT or SIGTERM it stops: into a pipe it first passes on the rest of
// the packet in progress, so the consumer meets the end of a well-formed
// stream; a datagram is never torn. Then it says on standard error:
//
//   sent N bytes in D datagrams, R bytes/s after the first second
//
// D is 0 into a pipe; R is 0 when the flood did not last a second. Exit status
// 2 for a wrong argument, 1 when the output cannot be set up, else 0.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mpegts/types.h"

namespace {

constexpr std::size_t packet_size = sizeof null_ts;
constexpr std::size_t datagram_size = 7 * packet_size; // the IPTV convention: 1316 bytes

volatile std::sig_atomic_t stop = 0;

using clock_type = std::chrono::steady_clock;

// Bytes passed on, and when: the rate leaves out the first second, which is
// the consumer's start-up.
struct count_t {
    std::uint64_t bytes = 0, datagrams = 0, bytes_at_one_second = 0;
    clock_type::time_point first, one_second;

    void add(std::size_t n) {
        const auto now = clock_type::now();
        if (bytes == 0) {
            first = now;
        } else if (bytes_at_one_second == 0 && now - first >= std::chrono::seconds(1)) {
            bytes_at_one_second = bytes;
            one_second = now;
        }
        bytes += n;
    }

    // 0 when the flood did not last a second.
    double rate() const {
        const double seconds =
            std::chrono::duration<double>(clock_type::now() - one_second).count();
        return bytes_at_one_second != 0 ? static_cast<double>(bytes - bytes_at_one_second) / seconds
                                        : 0;
    }
};

// Moves up to len bytes from the pipe on standard input to the pipe on
// standard output.
ssize_t move(std::size_t len) {
    return splice(STDIN_FILENO, nullptr, STDOUT_FILENO, nullptr, len, SPLICE_F_MOVE);
}

// Until stopped, the input ends or the consumer goes; then the rest of the
// packet in progress, if the consumer takes it within a second.
void through_pipe(count_t &count) {
    while (!stop) {
        const ssize_t n = move(1 << 20);
        if (n > 0) {
            count.add(static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return;
        }
    }
    while (count.bytes % packet_size != 0) {
        pollfd out{STDOUT_FILENO, POLLOUT, 0};
        if (poll(&out, 1, 1000) != 1) {
            return;
        }
        const ssize_t n = move(packet_size - static_cast<std::size_t>(count.bytes % packet_size));
        if (n > 0) {
            count.add(static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return;
        }
    }
}

// Until stopped, the input ends or the consumer goes: reads 1316 bytes whole,
// sends them as one datagram.
void to_udp(int socket, count_t &count) {
    static unsigned char datagram[datagram_size];
    while (!stop) {
        for (std::size_t have = 0; have < sizeof datagram;) {
            const ssize_t n = read(STDIN_FILENO, datagram + have, sizeof datagram - have);
            if (n > 0) {
                have += static_cast<std::size_t>(n);
            } else if (n == 0 || errno != EINTR || stop) {
                return;
            }
        }
        if (send(socket, datagram, sizeof datagram, 0) != static_cast<ssize_t>(sizeof datagram)) {
            return;
        }
        count.add(sizeof datagram);
        ++count.datagrams;
    }
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: relay [-P BYTES | -u PORT]\n");
    std::exit(2);
}

} // namespace

int main(int argc, char **argv) {
    long pipe_size = 0, port = 0;
    for (int option; (option = getopt(argc, argv, "P:u:")) != -1;) {
        if (option != 'P' && option != 'u') {
            usage();
        }
        char *end = nullptr;
        const long value = std::strtol(optarg, &end, 10);
        if (*end != '\0' || value <= 0) {
            usage();
        }
        (option == 'P' ? pipe_size : port) = value;
    }
    if (optind != argc || (pipe_size != 0 && port != 0) || port > 65535) {
        usage();
    }

    struct sigaction on_stop {};
    on_stop.sa_handler = [](int) { stop = 1; }; // no SA_RESTART: a blocked call returns
    for (int sig : {SIGINT, SIGTERM}) {
        sigaction(sig, &on_stop, nullptr);
    }
    signal(SIGPIPE, SIG_IGN); // a consumer gone is an end like any other

    count_t count;
    if (port != 0) {
        const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (udp < 0 || connect(udp, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
            std::fprintf(stderr, "relay: no UDP socket for 127.0.0.1:%ld: %s\n", port,
                         std::strerror(errno));
            return 1;
        }
        to_udp(udp, count);
    } else {
        if (pipe_size != 0 && fcntl(STDOUT_FILENO, F_SETPIPE_SZ, static_cast<int>(pipe_size)) < 0) {
            std::fprintf(stderr, "relay: cannot size the pipe to %ld bytes: %s\n", pipe_size,
                         std::strerror(errno));
            return 1;
        }
        through_pipe(count);
    }
    std::fprintf(stderr, "sent %llu bytes in %llu datagrams, %.0f bytes/s after the first second\n",
                 static_cast<unsigned long long>(count.bytes),
                 static_cast<unsigned long long>(count.datagrams), count.rate());
    return 0;
}
