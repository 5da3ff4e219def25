// SPDX-License-Identifier: MIT
#include "procfs.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sstream>
#include <string_view>
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

// The fields of a line, split on spaces and line ends, as many as `fields` holds; the
// rest of it left out. Returns how many.
std::size_t split_fields(std::string_view line, std::string_view *fields, std::size_t most) {
    std::size_t n = 0;
    for (std::size_t at = 0; n < most;) {
        at = line.find_first_not_of(" \n", at);
        if (at == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find_first_of(" \n", at), line.size());
        fields[n++] = line.substr(at, end - at);
        at = end;
    }
    return n;
}

// A hexadecimal or decimal number of a /proc table; 0 when it is not one.
std::uint64_t number_of(std::string_view text, int base) {
    char digits[24] = {};
    std::memcpy(digits, text.data(), std::min(text.size(), sizeof digits - 1));
    return std::strtoull(digits, nullptr, base);
}

std::vector<long> pids() {
    return numbers_in("/proc").value_or(std::vector<long>{});
}

// Whether the kernel lists each thread's children (/proc/PID/task/TID/
// children, CONFIG_PROC_CHILDREN): a walk down from a process then reads
// its descendants alone, not every process of the machine.
bool children_listed() {
    static const bool listed = access("/proc/thread-self/children", R_OK) == 0;
    return listed;
}

// The children of process `pid`, of all its threads.
std::vector<pid_t> children_of(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    std::vector<pid_t> children;
    for (const long tid : numbers_in(tasks).value_or(std::vector<long>{})) {
        const std::string list = read_file(tasks + std::to_string(tid) + "/children").value_or("");
        for (const char *at = list.c_str(); *at != '\0';) {
            char *end = nullptr;
            const long child = std::strtol(at, &end, 10);
            if (end == at) {
                break;
            }
            children.push_back(static_cast<pid_t>(child));
            at = end;
        }
    }
    return children;
}

} // namespace

std::optional<process_stat> parse_stat(const std::string &line) {
    // "PID (COMM) STATE PPID ...", where COMM may hold anything: fields are
    // counted from the last ')', STATE being field 3.
    const std::size_t open = line.find(" ("), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    std::array<std::string_view, 53> f{}; // f[n] is field n
    const std::size_t fields =
        3 + split_fields(std::string_view(line).substr(close + 1), f.data() + 3, f.size() - 3);
    if (fields <= 34) {
        return std::nullopt;
    }
    static const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    static const std::uint64_t page_kib = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
    const auto number = [&](std::size_t n) { return number_of(f[n], 10); };
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
    const bool listed = children_listed();
    std::unordered_multimap<pid_t, process_stat> children; // by parent, without the lists
    for (const long pid : listed ? std::vector<long>{} : pids()) {
        if (const auto p = stat_of(static_cast<pid_t>(pid))) {
            children.emplace(p->ppid, *p); // else it ended since the folder was read
        }
    }
    std::vector<process_stat> found;
    std::vector<pid_t> parents = {ancestor};
    const auto take = [&](const process_stat &p) {
        if (apart == 0 || (p.pid != apart && p.session != apart)) {
            found.push_back(p);
            parents.push_back(p.pid);
        }
    };
    while (!parents.empty()) {
        const pid_t parent = parents.back();
        parents.pop_back();
        if (listed) {
            for (const pid_t child : children_of(parent)) {
                if (const auto p = stat_of(child); p && p->ppid == parent) {
                    take(*p); // else it ended, or changed parents, since its parent was read
                }
            }
            continue;
        }
        const auto [from, to] = children.equal_range(parent);
        for (auto it = from; it != to; ++it) {
            take(it->second);
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

std::vector<printed_socket> printed_sockets(unsigned port, udp_tables &tables) {
    std::vector<printed_socket> sockets;
    for (const bool ipv6 : {false, true}) {
        // Fields: sl, local address:port (hexadecimal), remote, st, queues,
        // timer, retransmits, uid, timeout, inode, ref, pointer, drops.
        const std::string_view table = (ipv6 ? tables.v6 : tables.v4).read();
        std::size_t line_end = table.find('\n'); // after the heading
        for (std::size_t at = line_end; at < table.size(); at = line_end) {
            line_end = std::min(table.find('\n', at + 1), table.size());
            std::string_view f[13];
            if (split_fields(table.substr(at + 1, line_end - at - 1), f, 13) < 13) {
                continue;
            }
            const std::string_view local = f[1];
            const std::size_t colon = local.rfind(':');
            if (colon == std::string_view::npos || number_of(local.substr(colon + 1), 16) != port) {
                continue;
            }
            // "tx_queue:rx_queue", bytes as the kernel accounts them
            const std::size_t rx = f[4].find(':');
            printed_socket printed{
                number_of(f[9], 10),
                ipv6,
                {},
                number_of(f[12], 10),
                rx == std::string_view::npos ? 0 : number_of(f[4].substr(rx + 1), 16)};
            for (std::size_t w = 0; w < printed.words.size() && 8 * w + 8 <= colon; ++w) {
                printed.words[w] =
                    static_cast<std::uint32_t>(number_of(local.substr(8 * w, 8), 16));
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
            udp_tables tables;
            for (const auto &p : printed_sockets(ntohs(at.sin_port), tables)) {
                swapped = swapped || (p.inode == st.st_ino && p.words[0] != loopback);
            }
        }
        return swapped;
    }();
    return differs;
}

} // namespace

std::vector<udp_socket> udp_sockets(unsigned port) {
    udp_tables once;
    return udp_sockets(port, once);
}

std::vector<udp_socket> udp_sockets(unsigned port, udp_tables &tables) {
    std::vector<udp_socket> sockets;
    for (const auto &p : printed_sockets(port, tables)) {
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

proc_table::proc_table(const char *path) : path_(path) {}

std::string_view proc_table::read() {
    if (!fd_) {
        fd_.reset(open(path_, O_RDONLY | O_CLOEXEC));
    }
    std::size_t got = 0;
    while (fd_) {
        if (text_.size() == got) {
            text_.resize(std::max<std::size_t>(2 * text_.size(), 1 << 14));
        }
        const ssize_t n =
            pread(fd_.get(), text_.data() + got, text_.size() - got, static_cast<off_t>(got));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        got += static_cast<std::size_t>(n);
        // A read of a /proc table returns less than half a page only at its
        // end (a read stops early only where the next line would not fit in
        // the kernel's page): the read that would find the end, and walk
        // the kernel's table once more for it, is saved.
        if (static_cast<std::size_t>(n) < 2048) {
            break;
        }
    }
    return {text_.data(), got};
}
