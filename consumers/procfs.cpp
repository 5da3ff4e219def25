// SPDX-License-Identifier: MIT
#include "procfs.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" { // glibc 2.36's header declares its functions without C linkage
#include <sys/pidfd.h>
}
#include <unordered_map>

#include "posix.h"

namespace {

// The numeric entries of a /proc folder; nothing when it cannot be read.
// (opendir opens it close-on-exec.)
std::optional<std::vector<long>> numbers_in(const std::string &folder) {
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::vector<long> numbers;
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long n = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && n > 0) {
            numbers.push_back(n);
        }
    }
    closedir(dir);
    return numbers;
}

std::vector<long> pids() {
    return numbers_in("/proc").value_or(std::vector<long>{});
}

} // namespace

std::optional<process_stat> parse_stat(const std::string &line) {
    // "PID (COMM) STATE PPID ...", where COMM may hold anything: fields are
    // counted from the last ')', STATE being field 3.
    const std::size_t open = line.find(" ("), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(close + 1));
    std::vector<std::string> f(3); // f[n] is field n
    for (std::string word; fields >> word;) {
        f.push_back(word);
    }
    if (f.size() <= 34) {
        return std::nullopt;
    }
    static const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    static const std::uint64_t page_kib = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
    const auto number = [&](std::size_t n) { return std::strtoull(f[n].c_str(), nullptr, 10); };
    process_stat p;
    p.pid = static_cast<pid_t>(std::strtol(line.c_str(), nullptr, 10));
    p.zombie = f[3] == "Z";
    p.ppid = static_cast<pid_t>(number(4));
    p.session = static_cast<pid_t>(number(6));
    p.cpu_seconds = static_cast<double>(number(14) + number(15)) / tick;
    p.children_cpu_seconds = static_cast<double>(number(16) + number(17)) / tick;
    p.start_ticks = number(22);
    p.rss_kib = number(24) * page_kib;
    p.ignores_sigchld = (number(33) >> (SIGCHLD - 1) & 1) != 0;
    return p;
}

std::optional<process_stat> stat_of(pid_t pid) {
    const auto text = read_file("/proc/" + std::to_string(pid) + "/stat");
    return text ? parse_stat(*text) : std::nullopt;
}

std::vector<process_stat> descendants(pid_t ancestor, pid_t apart) {
    std::unordered_multimap<pid_t, process_stat> children; // by parent
    for (const long pid : pids()) {
        if (const auto p = stat_of(static_cast<pid_t>(pid))) {
            children.emplace(p->ppid, *p); // else it ended since the folder was read
        }
    }
    std::vector<process_stat> found;
    std::vector<pid_t> parents = {ancestor};
    while (!parents.empty()) {
        const pid_t parent = parents.back();
        parents.pop_back();
        const auto [from, to] = children.equal_range(parent);
        for (auto it = from; it != to; ++it) {
            const process_stat &p = it->second;
            if (apart == 0 || (p.pid != apart && p.session != apart)) {
                found.push_back(p);
                parents.push_back(p.pid);
            }
        }
    }
    return found;
}

void signal_process(const process_stat &p, int sig) {
    // A pidfd holds the process it was opened for; that it is still the one
    // seen is told by its start time.
    const unique_fd pidfd(pidfd_open(p.pid, 0));
    if (!pidfd) {
        if (errno == ENOSYS) {
            kill(p.pid, sig);
        }
        return;
    }
    const auto now = stat_of(p.pid);
    if (now && now->start_ticks == p.start_ticks) {
        pidfd_send_signal(pidfd.get(), sig, nullptr, 0);
    }
}

std::optional<std::vector<std::uint64_t>> socket_inodes(pid_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    const auto fds = numbers_in(folder);
    if (!fds) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> inodes;
    for (const long fd : *fds) {
        char link[64];
        const ssize_t n = readlink((folder + std::to_string(fd)).c_str(), link, sizeof link - 1);
        unsigned long long inode = 0;
        if (n > 0 && (link[n] = '\0', std::sscanf(link, "socket:[%llu]", &inode) == 1)) {
            inodes.push_back(inode);
        }
    }
    return inodes;
}

namespace {

// A socket of the tables as printed: its address in 32-bit words, each
// written by the kernel as a number in its own byte order.
struct printed_socket {
    std::uint64_t inode;
    bool ipv6;
    std::array<std::uint32_t, 4> words;
    std::uint64_t drops, queued;
};

std::vector<printed_socket> printed_sockets(unsigned port) {
    std::vector<printed_socket> sockets;
    for (const bool ipv6 : {false, true}) {
        // Fields: sl, local address:port (hexadecimal), remote, st, queues,
        // timer, retransmits, uid, timeout, inode, ref, pointer, drops.
        std::istringstream table(read_file(ipv6 ? "/proc/net/udp6" : "/proc/net/udp").value_or(""));
        std::string line;
        std::getline(table, line); // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, skip, queues;
            std::uint64_t inode = 0, drops = 0;
            fields >> slot >> local >> skip >> skip >> queues;
            for (int field = 5; field < 9; ++field) {
                fields >> skip;
            }
            fields >> inode >> skip >> skip >> drops;
            const std::size_t colon = local.rfind(':');
            if (!fields || colon == std::string::npos ||
                std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port) {
                continue;
            }
            // "tx_queue:rx_queue", bytes as the kernel accounts them
            const std::size_t rx = queues.find(':');
            printed_socket printed{
                inode,
                ipv6,
                {},
                drops,
                rx == std::string::npos ? 0 : std::strtoull(queues.c_str() + rx + 1, nullptr, 16)};
            for (std::size_t w = 0; w < printed.words.size() && 8 * w + 8 <= colon; ++w) {
                printed.words[w] = static_cast<std::uint32_t>(
                    std::strtoul(local.substr(8 * w, 8).c_str(), nullptr, 16));
            }
            sockets.push_back(printed);
        }
    }
    return sockets;
}

// Whether the kernel's byte order is not this program's, as when it runs
// emulated on a machine of the other order: a socket of its own bound to
// 127.0.0.1 shows, once.
bool kernel_order_differs() {
    static const bool differs = [] {
        const unique_fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof at;
        struct stat st {};
        bool swapped = false;
        if (s && bind(s.get(), reinterpret_cast<sockaddr *>(&at), size) == 0 &&
            getsockname(s.get(), reinterpret_cast<sockaddr *>(&at), &size) == 0 &&
            fstat(s.get(), &st) == 0) {
            std::uint32_t loopback;
            std::memcpy(&loopback, &at.sin_addr, sizeof loopback);
            for (const auto &p : printed_sockets(ntohs(at.sin_port))) {
                swapped = swapped || (p.inode == st.st_ino && p.words[0] != loopback);
            }
        }
        return swapped;
    }();
    return differs;
}

} // namespace

std::vector<udp_socket> udp_sockets(unsigned port) {
    std::vector<udp_socket> sockets;
    for (const auto &p : printed_sockets(port)) {
        udp_socket s{p.inode, p.ipv6, {}, p.drops, p.queued};
        for (std::size_t w = 0; w < p.words.size(); ++w) {
            const std::uint32_t word =
                kernel_order_differs() ? __builtin_bswap32(p.words[w]) : p.words[w];
            std::memcpy(s.address.data() + 4 * w, &word, sizeof word);
        }
        sockets.push_back(s);
    }
    return sockets;
}

std::string address_text(const udp_socket &socket) {
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(socket.ipv6 ? AF_INET6 : AF_INET, socket.address.data(), text, sizeof text)
               ? text
               : "?";
}

std::string process_name(pid_t pid) {
    std::string name = read_file("/proc/" + std::to_string(pid) + "/comm").value_or("?");
    name.erase(name.find_last_not_of('\n') + 1);
    return "pid " + std::to_string(pid) + " (" + name + ")";
}

std::string holder_of(std::uint64_t inode) {
    for (const long pid : pids()) {
        const auto held = socket_inodes(static_cast<pid_t>(pid));
        if (held && std::find(held->begin(), held->end(), inode) != held->end()) {
            return process_name(static_cast<pid_t>(pid));
        }
    }
    return "a process not shown to this user";
}

udp_counters udp_counters_now() {
    udp_counters c;
    // "Udp: InDatagrams NoPorts ..." then a line of values in that order.
    std::istringstream snmp(read_file("/proc/net/snmp").value_or(""));
    for (std::string names, values; std::getline(snmp, names) && std::getline(snmp, values);) {
        if (names.rfind("Udp: ", 0) != 0) {
            continue;
        }
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;) {
            const std::uint64_t number = std::strtoull(value.c_str(), nullptr, 10);
            c.out += name == "OutDatagrams" ? number : 0;
            c.in += name == "InDatagrams" ? number : 0;
            c.rcvbuf_errors += name == "RcvbufErrors" ? number : 0;
        }
    }
    // "Udp6OutDatagrams 12", a counter a line.
    std::istringstream snmp6(read_file("/proc/net/snmp6").value_or(""));
    for (std::string name, value; snmp6 >> name >> value;) {
        const std::uint64_t number = std::strtoull(value.c_str(), nullptr, 10);
        c.out += name == "Udp6OutDatagrams" ? number : 0;
        c.in += name == "Udp6InDatagrams" ? number : 0;
        c.rcvbuf_errors += name == "Udp6RcvbufErrors" ? number : 0;
    }
    return c;
}
