// SPDX-License-Identifier: MIT
// A consumer whose behaviour the tests know exactly:
//   model_consumer fds                      prints its open descriptors, then reads its input
//   model_consumer udp PORT [N] [hidden]    reads datagrams on 127.0.0.1:PORT until N
//                                           (0: no end) or half a second without one,
//                                           then prints how many bytes it read;
//                                           hidden: not dumpable, its /proc/PID/fd unreadable
//   model_consumer relay PORT               writes what it reads on 127.0.0.1:PORT to stdout
//   model_consumer deaf PORT                binds 127.0.0.1:PORT with a small buffer, reads nothing
//   model_consumer orphan-spin SECONDS      ignores SIGCHLD, so the kernel reaps its child,
//                                           which spins SECONDS of CPU; then sleeps
//   model_consumer hold MIB SECONDS         holds MIB MiB, touched, for SECONDS, then ends
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <netinet/in.h>
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

int bound_socket(const char *port, int buffer) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (buffer > 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    sockaddr_in at{
        AF_INET, htons(static_cast<std::uint16_t>(std::atoi(port))), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        std::perror("bind");
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
    } else if (mode == "udp" && argc > 2) {
        if (argc > 4) {
            prctl(PR_SET_DUMPABLE, 0);
        }
        const int s = bound_socket(argv[2], 0);
        const long most = argc > 3 ? std::atol(argv[3]) : 0;
        char datagram[2048];
        unsigned long long bytes = 0;
        for (long n = 0; most == 0 || n < most; ++n) {
            const timeval idle{n == 0 ? 10 : 0, n == 0 ? 0 : 500000};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
            const ssize_t got = recv(s, datagram, sizeof datagram, 0);
            if (got < 0) {
                break;
            }
            bytes += static_cast<unsigned long long>(got);
        }
        std::printf("%llu\n", bytes);
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
