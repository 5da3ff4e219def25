// SPDX-License-Identifier: MIT
#include "procfs.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace {

// The numeric entries of a /proc folder.
std::vector<long> numbers_in(const std::string &folder) {
    std::vector<long> numbers;
    if (DIR *dir = opendir(folder.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            char *end = nullptr;
            const long n = std::strtol(entry->d_name, &end, 10);
            if (*end == '\0' && n > 0) {
                numbers.push_back(n);
            }
        }
        closedir(dir);
    }
    return numbers;
}

// The start of a small /proc file (a process's stat or comm), "" when gone.
std::string slurp(const std::string &path) {
    char text[4096];
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, text, sizeof text) : -1;
    if (fd >= 0) {
        close(fd);
    }
    return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

} // namespace

std::vector<process_t> descendants(pid_t ancestor) {
    static const std::uint64_t page_kib = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
    std::unordered_multimap<pid_t, process_t> children; // by parent
    for (const long pid : numbers_in("/proc")) {
        // "PID (COMM) STATE PPID ..." where COMM may hold anything: fields
        // are counted from the last ')'. Resident pages are field 24.
        const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t after = stat.rfind(')');
        if (after == std::string::npos) {
            continue; // ended since the folder was read
        }
        std::istringstream fields(stat.substr(after + 1));
        char state = 0;
        pid_t ppid = 0;
        std::string skip;
        std::uint64_t rss = 0;
        fields >> state >> ppid;
        for (int field = 5; field < 24; ++field) {
            fields >> skip;
        }
        fields >> rss;
        children.emplace(ppid, process_t{static_cast<pid_t>(pid), state == 'Z', rss * page_kib});
    }
    std::vector<process_t> found;
    std::vector<pid_t> parents = {ancestor};
    while (!parents.empty()) {
        const pid_t parent = parents.back();
        parents.pop_back();
        const auto [from, to] = children.equal_range(parent);
        for (auto it = from; it != to; ++it) {
            found.push_back(it->second);
            parents.push_back(it->second.pid);
        }
    }
    return found;
}

std::vector<std::uint64_t> socket_inodes(pid_t pid) {
    std::vector<std::uint64_t> inodes;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
    for (const long fd : numbers_in(folder)) {
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
struct printed_t {
    std::uint64_t inode;
    bool ipv6;
    std::array<std::uint32_t, 4> words;
    std::uint64_t drops;
};

std::vector<printed_t> printed_sockets(unsigned port) {
    std::vector<printed_t> sockets;
    for (const bool ipv6 : {false, true}) {
        // Fields: sl, local address:port (hexadecimal), remote, st, queues,
        // timer, retransmits, uid, timeout, inode, ref, pointer, drops.
        std::ifstream table(ipv6 ? "/proc/net/udp6" : "/proc/net/udp");
        std::string line;
        std::getline(table, line); // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, skip;
            std::uint64_t inode = 0, drops = 0;
            fields >> slot >> local;
            for (int field = 2; field < 9; ++field) {
                fields >> skip;
            }
            fields >> inode >> skip >> skip >> drops;
            const std::size_t colon = local.rfind(':');
            if (!fields || colon == std::string::npos ||
                std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port) {
                continue;
            }
            printed_t printed{inode, ipv6, {}, drops};
            for (std::size_t w = 0; w < printed.words.size() && 8 * w + 8 <= colon; ++w) {
                printed.words[w] =
                    static_cast<std::uint32_t>(std::stoul(local.substr(8 * w, 8), nullptr, 16));
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
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof at;
        struct stat st {};
        bool swapped = false;
        if (s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&at), size) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr *>(&at), &size) == 0 && fstat(s, &st) == 0) {
            std::uint32_t loopback;
            std::memcpy(&loopback, &at.sin_addr, sizeof loopback);
            for (const auto &p : printed_sockets(ntohs(at.sin_port))) {
                swapped = swapped || (p.inode == st.st_ino && p.words[0] != loopback);
            }
        }
        if (s >= 0) {
            close(s);
        }
        return swapped;
    }();
    return differs;
}

} // namespace

std::vector<udp_socket_t> udp_sockets(unsigned port) {
    std::vector<udp_socket_t> sockets;
    for (const auto &p : printed_sockets(port)) {
        udp_socket_t s{p.inode, p.ipv6, {}, p.drops};
        for (std::size_t w = 0; w < p.words.size(); ++w) {
            const std::uint32_t word =
                kernel_order_differs() ? __builtin_bswap32(p.words[w]) : p.words[w];
            std::memcpy(s.address.data() + 4 * w, &word, sizeof word);
        }
        sockets.push_back(s);
    }
    return sockets;
}

std::string address_text(const udp_socket_t &socket) {
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(socket.ipv6 ? AF_INET6 : AF_INET, socket.address.data(), text, sizeof text)
               ? text
               : "?";
}

std::string holder_of(std::uint64_t inode) {
    for (const long pid : numbers_in("/proc")) {
        const auto held = socket_inodes(static_cast<pid_t>(pid));
        if (std::find(held.begin(), held.end(), inode) != held.end()) {
            std::string name = slurp("/proc/" + std::to_string(pid) + "/comm");
            name.erase(name.find_last_not_of('\n') + 1);
            return "pid " + std::to_string(pid) + " (" + name + ")";
        }
    }
    return "a process not shown to this user";
}
