// SPDX-License-Identifier: MIT
#include "procfs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
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

std::vector<udp_socket_t> udp_sockets(unsigned port) {
    std::vector<udp_socket_t> sockets;
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
            if (fields && colon != std::string::npos &&
                std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) {
                sockets.push_back({inode, ipv6, drops});
            }
        }
    }
    return sockets;
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
