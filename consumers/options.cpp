// SPDX-License-Identifier: MIT
#include "options.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix.h"
#include "text.h"

namespace {

constexpr double longest = 1e6; // seconds: about 11 days, enough for any soak

std::optional<double> parse_seconds(const char *text) {
    const auto value = parse_decimal(text);
    return value && *value <= longest ? value : std::nullopt;
}

// Bits per second: a decimal number as for seconds, then k, M or G for
// thousands, millions or billions (1000-based, as in networking).
std::optional<double> parse_rate(const char *text) {
    std::string number = text;
    double unit = 1;
    if (!number.empty() && std::strchr("kKMG", number.back()) != nullptr) {
        unit = number.back() == 'G' ? 1e9 : number.back() == 'M' ? 1e6 : 1e3;
        number.pop_back();
    }
    const auto value = parse_decimal(number.c_str());
    if (!value || *value * unit < 1000) { // a piece every 10.5 s; slower, no flood
        return std::nullopt;
    }
    return *value * unit;
}

// A multicast group, IPv4 (224.0.0.0/4) or IPv6 in brackets (ff00::/8),
// with `port`.
std::optional<multicast_group> parse_group(const std::string &text, unsigned port) {
    multicast_group g;
    const auto port_n = htons(static_cast<std::uint16_t>(port));
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(g.address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = port_n;
        if (inet_pton(AF_INET6, text.substr(1, text.size() - 2).c_str(), &in6.sin6_addr) != 1 ||
            !IN6_IS_ADDR_MULTICAST(&in6.sin6_addr)) {
            return std::nullopt;
        }
        g.size = sizeof in6;
    } else {
        auto &in = reinterpret_cast<sockaddr_in &>(g.address);
        in.sin_family = AF_INET;
        in.sin_port = port_n;
        if (inet_pton(AF_INET, text.c_str(), &in.sin_addr) != 1 ||
            !IN_MULTICAST(ntohl(in.sin_addr.s_addr))) {
            return std::nullopt;
        }
        g.size = sizeof in;
    }
    g.text = text + ":" + std::to_string(port);
    return g;
}

// A whole decimal number from 1 to `most`.
std::optional<long long> parse_count(const char *text, long long most) {
    long long value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || value > (most - (*p - '0')) / 10) {
            return std::nullopt;
        }
        value = value * 10 + (*p - '0');
    }
    if (*text == '\0' || value < 1) {
        return std::nullopt;
    }
    return value;
}

// The tsflood installed or built beside this program, else the one on the PATH.
std::optional<std::string> default_tsflood() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string beside(self, static_cast<std::size_t>(n));
        beside = beside.substr(0, beside.rfind('/') + 1) + "tsflood";
        if (find_program(beside)) {
            return beside;
        }
    }
    return find_program("tsflood");
}

long pipe_max_size() {
    const auto text = read_file("/proc/sys/fs/pipe-max-size");
    return text ? std::strtol(text->c_str(), nullptr, 10) : 1 << 20;
}

// What the kernel grants for a pipe of `bytes`, or 0 with errno set.
long granted_pipe_size(long bytes) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return 0;
    }
    const unique_fd read_end(fds[0]), write_end(fds[1]);
    return fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(bytes)) >= 0 ? fcntl(fds[1], F_GETPIPE_SZ)
                                                                     : 0;
}

// Why no file can be written at `path`, or "" when one can.
std::string unwritable(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode)               ? "it is a folder"
               : access(path.c_str(), W_OK) != 0 ? std::strerror(errno)
                                                 : "";
    }
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    return access(folder.c_str(), W_OK) != 0 ? std::strerror(errno) : "";
}

const char *const help_text =
    "Floods each COMMAND in turn with tsflood's null packets and prints one row\n"
    "for each: what it was sent, at what rate, what it cost, what it said, how\n"
    "it ended. COMMAND runs under sh -c in a session of its own and reads the\n"
    "flood on its standard input, or with -u listens for it on UDP port PORT of\n"
    "127.0.0.1 or ::1.\n"
    "\n"
    "  -s SECONDS  flood each consumer this long (5); a decimal number\n"
    "  -g GRACE    then give it this long to end by itself (3), or end it\n"
    "  -t TSFLOOD  the tsflood to run (default: the one beside this program,\n"
    "              else the one on the PATH)\n"
    "  -P BYTES    size the consumer's pipe (F_SETPIPE_SZ)\n"
    "  -u PORT     send datagrams of 7 packets to the consumer's UDP socket\n"
    "  -u GROUP:PORT  send them to a multicast group (239.1.1.1:5000,\n"
    "              [ff0e::1:2]:5000), on the loopback interface only\n"
    "  --rtp       an RTP header (RFC 3550, payload type 33) before each\n"
    "  --together  flood every COMMAND at once on one group, a row each\n"
    "  --netns     in a network namespace of the program's own, the group\n"
    "              routed to its loopback interface\n"
    "  -r RATE     pace the flood at RATE bits per second (38M, 1.2G)\n"
    "  --burst N   where pieces are due under 160 µs apart, send them in\n"
    "              bursts of at most N (16); 1: one at a time, evenest\n"
    "  --find-limit  with -u: search each consumer's highest loss-free rate,\n"
    "              from RATE (1M) up to the unpaced flood, to within 5%\n"
    "  --json      one JSON object per consumer per line, not a Markdown table\n"
    "  --progress, --no-progress  a status line on standard error, or none\n"
    "              (default: when it is a terminal)\n"
    "  --require EXPR  a condition every row must meet: a JSON key (its unit\n"
    "              suffix may go), < <= == != >= >, a value in the key's unit:\n"
    "              'dropped == 0', 'rate >= 100M' (bits/s), 'peak_rss < 200MiB',\n"
    "              'rss_growth < 1MiB/min', 'cpu_seconds < 3', 'ended == exit 0',\n"
    "              with --find-limit 'limit >= 150M'\n"
    "  --baseline FILE  an earlier run's --json output: no row may do worse than\n"
    "              its row there (limit, rate, drops, misses, memory, growth, CPU)\n"
    "  --tolerance PERCENT  by more than this much of the baseline's figure (15)\n"
    "  --junit FILE  write the rows and their requirements as a JUnit report\n"
    "\n"
    "Exit status: 0 when every consumer was flooded and met every requirement,\n"
    "1 when one was sent nothing or could not be started, 2 for a wrong command\n"
    "line, 3 when all were flooded and one missed a requirement. See\n"
    "tsflood-consumers(1).\n";

} // namespace

parsed_command_line parse_options(int argc, char **argv) {
    static const option long_options[] = {
        {"json",        no_argument,       nullptr, 'j'},
        {"progress",    no_argument,       nullptr, 'p'},
        {"no-progress", no_argument,       nullptr, 'n'},
        {"rtp",         no_argument,       nullptr, 'R'},
        {"together",    no_argument,       nullptr, 'T'},
        {"netns",       no_argument,       nullptr, 'N'},
        {"find-limit",  no_argument,       nullptr, 'f'},
        {"require",     required_argument, nullptr, 'q'},
        {"baseline",    required_argument, nullptr, 'b'},
        {"tolerance",   required_argument, nullptr, 'o'},
        {"junit",       required_argument, nullptr, 'J'},
        {"burst",       required_argument, nullptr, 'B'},
        {"help",        no_argument,       nullptr, 'h'},
        {"version",     no_argument,       nullptr, 'V'},
        {nullptr,       0,                 nullptr, 0  },
    };
    run_options o;
    transport_options &t = o.transport;
    parsed_command_line failed;
    std::string &error = failed.message;
    const char *tsflood = nullptr;
    std::vector<std::string> required;
    const char *baseline = nullptr;
    bool tolerance_given = false;
    bool burst_asked = false;
    opterr = 0;
    optind = 1;
    for (int c; (c = getopt_long(argc, argv, "+s:g:t:P:u:r:h", long_options, nullptr)) != -1;) {
        switch (c) {
        case 's':
        case 'g': {
            const auto value = parse_seconds(optarg);
            if (!value || (c == 's' && *value <= 0)) {
                error = std::string("-") + static_cast<char>(c) +
                        " takes a decimal number of seconds, " +
                        (c == 's' ? "above 0" : "0 or more") + " and at most 1000000, not '" +
                        optarg + "'";
                return failed;
            }
            (c == 's' ? o.seconds : o.grace) = *value;
            break;
        }
        case 't':
            tsflood = optarg;
            break;
        case 'P': {
            const long most = pipe_max_size();
            const auto value = parse_count(optarg, LLONG_MAX / 2);
            if (!value) {
                error = std::string("-P takes a number of bytes, not '") + optarg + "'";
                return failed;
            }
            if (*value > most) {
                error = "-P " + std::to_string(*value) + " is past the largest pipe, " +
                        std::to_string(most) + " bytes (/proc/sys/fs/pipe-max-size)";
                return failed;
            }
            t.pipe_asked = static_cast<long>(*value); // at most pipe-max-size
            t.pipe_granted = granted_pipe_size(t.pipe_asked);
            if (t.pipe_granted == 0) {
                error = "-P " + std::to_string(*value) +
                        ": the kernel grants no such pipe: " + std::strerror(errno);
                return failed;
            }
            break;
        }
        case 'u': {
            const char *const colon = std::strrchr(optarg, ':');
            const auto value = parse_count(colon != nullptr ? colon + 1 : optarg, 65535);
            if (!value) {
                error = std::string("-u takes a UDP PORT from 1 to 65535, or a multicast "
                                    "GROUP:PORT, not '") +
                        optarg + "'";
                return failed;
            }
            t.port = static_cast<unsigned>(*value);
            t.kind = transport_options::kind_type::udp;
            if (colon != nullptr) {
                const auto group = parse_group(
                    std::string(optarg, static_cast<std::size_t>(colon - optarg)), t.port);
                if (!group) {
                    const bool bare_ipv6 = std::strchr(optarg, ':') != colon && *optarg != '[' &&
                                           std::strchr(optarg, '.') == nullptr;
                    error = std::string("-u ") + optarg +
                            (bare_ipv6 ? ": an IPv6 group goes in brackets, [GROUP]:PORT"
                                       : ": not a multicast group (224.0.0.0/4, or [ff00::/8] "
                                         "for IPv6)");
                    return failed;
                }
                t.group = *group;
                t.kind = transport_options::kind_type::group;
            }
            break;
        }
        case 'r': {
            const auto value = parse_rate(optarg);
            if (!value) {
                error = std::string("-r takes a rate of 1k or more in bits per second, such as 38M "
                                    "or 1.2G, not '") +
                        optarg + "'";
                return failed;
            }
            o.rate = *value;
            break;
        }
        case 'B': {
            const auto value = parse_count(optarg, most_burst);
            if (!value) {
                error = "--burst takes a number of pieces from 1 to " + std::to_string(most_burst) +
                        ", not '" + optarg + "'";
                return failed;
            }
            o.burst = static_cast<unsigned>(*value);
            burst_asked = true;
            break;
        }
        case 'f':
            o.find_limit = true;
            break;
        case 'q':
            required.emplace_back(optarg);
            break;
        case 'b':
        case 'J':
            // An empty path names no file: not one to skip quietly.
            if (*optarg == '\0') {
                error = std::string(c == 'b' ? "--baseline" : "--junit") +
                        " takes a file's path, not an empty one";
                return failed;
            }
            if (c == 'b') {
                baseline = optarg;
            } else {
                o.junit = optarg;
            }
            break;
        case 'o': {
            std::string percent = optarg;
            if (!percent.empty() && percent.back() == '%') {
                percent.pop_back();
            }
            const auto value = parse_decimal(percent.c_str());
            if (!value || *value > 1000) {
                error = std::string("--tolerance takes a percentage from 0 to 1000, such as 10 or "
                                    "2.5%, not '") +
                        optarg + "'";
                return failed;
            }
            o.tolerance = *value / 100;
            tolerance_given = true;
            break;
        }
        case 'j':
            o.json = true;
            break;
        case 'p':
        case 'n':
            o.progress = c == 'p';
            break;
        case 'R':
            t.rtp = true;
            break;
        case 'T':
            o.together = true;
            break;
        case 'N':
            o.netns = true;
            break;
        case 'h':
            error = std::string(usage_line) + "\n\n" + help_text;
            failed.info = true;
            return failed;
        case 'V':
            error = "tsflood-consumers " TSFLOOD_VERSION "\n";
            failed.info = true;
            return failed;
        default: {
            // A short option is named by the letter getopt reports, as it
            // may stand in a cluster ("-xy"); a long one, whose letter is
            // 0 or one of its own, by the word it stopped at ("--jsn",
            // "--json=1").
            const bool is_long = optopt == 0 || std::strchr("jfpnRTNVqboJB", optopt) != nullptr;
            const std::string word =
                is_long ? argv[optind - 1] : std::string("-") + static_cast<char>(optopt);
            error = optopt != 0 && std::strchr(is_long ? "qboJB" : "sgtPur", optopt) != nullptr
                        ? word + " needs a value"
                        : word + ": no such option" +
                              (word.find('=') != std::string::npos ? ", or it takes no value" : "");
            return failed;
        }
        }
    }
    if (t.pipe_asked != 0 && t.datagrams()) {
        error = "-P sizes a pipe, -u sends datagrams: choose one";
        return failed;
    }
    if (t.pipe_asked != 0 && o.rate > 0) {
        error = "-r paces 7-packet pieces, which no pipe size changes: -P goes without -r";
        return failed;
    }
    if (burst_asked && o.rate == 0 && !o.find_limit) {
        error = "--burst bounds the pieces a paced flood sends back to back: it needs -r";
        return failed;
    }
    if (o.find_limit && !t.datagrams()) {
        error = "--find-limit counts the datagrams a consumer drops: it needs -u";
        return failed;
    }
    if (t.rtp && !t.datagrams()) {
        error = "--rtp puts an RTP header on each datagram: it needs -u";
        return failed;
    }
    if (o.together && t.kind != transport_options::kind_type::group) {
        error = "--together floods every COMMAND at once on one group: it needs -u GROUP:PORT";
        return failed;
    }
    if (o.netns && !t.datagrams()) {
        error = "--netns gives UDP a network of its own: it needs -u";
        return failed;
    }
    o.commands.assign(argv + optind, argv + argc);
    if (o.commands.empty()) {
        error = "no COMMAND to flood";
        return failed;
    }
    const bool ended_options = std::string(argv[optind - 1]) == "--" && optind > 1;
    for (const std::string &command : o.commands) {
        if (command.find_first_not_of(" \t\n") == std::string::npos) {
            error = "a COMMAND is empty";
            return failed;
        }
        // "-s 1 cat -s 2" is a mistake, not a command "-s": options go first.
        if (command.front() == '-' && !ended_options) {
            error = "'" + command + "' after the first COMMAND: options go before the commands " +
                    "(a COMMAND that begins with '-' goes after --)";
            return failed;
        }
    }
    // Each requirement, baseline and report is checked before anything is
    // flooded, against the rows this run prints.
    for (const std::string &text : required) {
        const parsed_requirement r = parse_requirement(text, o.find_limit, t.datagrams());
        if (!r.parsed) {
            error = r.error;
            return failed;
        }
        o.requirements.push_back(*r.parsed);
    }
    if (tolerance_given && baseline == nullptr) {
        error = "--tolerance is how much worse than its baseline a row may do: it needs --baseline";
        return failed;
    }
    if (baseline != nullptr && !(o.baseline = read_baseline(baseline, o.find_limit, error))) {
        return failed;
    }
    if (const std::string why = o.junit.empty() ? "" : unwritable(o.junit); !why.empty()) {
        error = "--junit " + o.junit + " cannot be written: " + why;
        return failed;
    }
    const auto found = tsflood != nullptr ? find_program(tsflood) : default_tsflood();
    if (!found) {
        error = tsflood != nullptr
                    ? std::string("-t ") + tsflood + ": no such executable file"
                    : "no tsflood beside tsflood-consumers or on the PATH: name one with -t";
        return failed;
    }
    o.tsflood = *found;
    return {o, "", false};
}
