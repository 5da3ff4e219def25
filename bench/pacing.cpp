// SPDX-License-Identifier: MIT
// How evenly, and at what cost, a paced UDP flood goes out:
// tsflood-consumers -r RATE beside iperf3 -u -b RATE and tcpreplay replaying
// a capture of the program's own datagrams, at the same rates, measured the
// same way. A packet socket on the loopback interface (root only) takes the
// time of every outgoing datagram of 1316 bytes to the port; from those times
// come the rate achieved and the gaps between datagrams against the ideal
// gap. The sender's CPU is the program's own (its row's harness_cpu_seconds),
// iperf3's (its JSON's host_total) and tcpreplay's (its resource use), each
// over its flood. All of it runs in a network namespace of its own.
//
//   pacing [--seconds S] [--rates 1M,10M,...]   each rate for S seconds (10)
//   pacing --quick                              two rates for two seconds each
//   pacing --load ...                           with a CPU-bound process on each CPU, and
//                                               iperf3 also at real-time priority
//   pacing --progress ...                       tsflood-consumers also with its status line
//                                               forced on (drawn on this standard error)
//   pacing --senders consumers,iperf3,tcpreplay which senders (all three)
//   pacing --burst N ...                        tsflood-consumers --burst N
//   pacing --harness PATH ...                   another build of tsflood-consumers
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "netns.h"
#include "posix.h"

namespace {

using json = nlohmann::json;

// A UDP port on loopback that no socket holds, for both senders.
std::uint16_t free_port() {
    const unique_fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof at;
    if (!s || bind(s.get(), reinterpret_cast<sockaddr *>(&at), size) != 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr *>(&at), &size) != 0) {
        throw_errno("no free UDP port");
    }
    return ntohs(at.sin_port);
}

const std::uint16_t port = free_port();
constexpr std::uint32_t payload = 1316; // 7 packets, as both senders are told to send
constexpr double warm_up = 1;           // seconds left out at the start

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "pacing: %s\n", why.c_str());
    std::exit(1);
}

// Takes the kernel's time of each datagram of `payload` bytes that leaves
// for UDP port `port` on the loopback interface.
class capture_t {
  public:
    capture_t() {
        // Outgoing packets reach only sockets that take every protocol.
        fd_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL));
        if (fd_ < 0) {
            fail(std::string("no packet socket (run as root): ") + std::strerror(errno));
        }
        // Outgoing IPv4 UDP to the port, unfragmented, whose UDP length is
        // 8 + payload; only its first 64 bytes are kept.
        constexpr auto pkttype = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE);
        constexpr auto protocol = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PROTOCOL);
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, pkttype),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 12),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, protocol),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 10),
            BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9), // protocol
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 8),
            BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6), // fragment offset
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, 6, 0),
            BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0), // IP header length
            BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),  // UDP destination port
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 0, 3),
            BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4), // UDP length
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 8 + payload, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, 64),
            BPF_STMT(BPF_RET | BPF_K, 0),
        };
        const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
        const int on = 1, buffer = 64 << 20;
        sockaddr_ll lo{};
        lo.sll_family = AF_PACKET;
        lo.sll_protocol = htons(ETH_P_ALL);
        lo.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
            setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0 ||
            bind(fd_, reinterpret_cast<sockaddr *>(&lo), sizeof lo) != 0) {
            fail(std::string("cannot capture on lo: ") + std::strerror(errno));
        }
        thread_ = std::thread([this] { run(); });
    }

    // The times, in seconds, and how many datagrams the capture missed.
    std::vector<double> finish(unsigned &missed) {
        stop_ = true;
        thread_.join();
        tpacket_stats stats{};
        socklen_t size = sizeof stats;
        getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &size);
        missed = stats.tp_drops;
        close(fd_);
        return times_;
    }

  private:
    void run() {
        constexpr unsigned batch = 64;
        unsigned char data[batch][64];
        char control[batch][64];
        iovec pieces[batch];
        mmsghdr messages[batch];
        while (!stop_) {
            for (unsigned i = 0; i < batch; ++i) {
                pieces[i] = {data[i], sizeof data[i]};
                messages[i] = {};
                messages[i].msg_hdr.msg_iov = &pieces[i];
                messages[i].msg_hdr.msg_iovlen = 1;
                messages[i].msg_hdr.msg_control = control[i];
                messages[i].msg_hdr.msg_controllen = sizeof control[i];
            }
            const int n = recvmmsg(fd_, messages, batch, 0, nullptr);
            if (n <= 0) {
                pollfd in{fd_, POLLIN, 0};
                poll(&in, 1, 20);
                continue;
            }
            for (int i = 0; i < n; ++i) {
                for (cmsghdr *c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c != nullptr;
                     c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
                        timespec at;
                        std::memcpy(&at, CMSG_DATA(c), sizeof at);
                        times_.push_back(static_cast<double>(at.tv_sec) +
                                         static_cast<double>(at.tv_nsec) / 1e9);
                    }
                }
            }
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_ = false;
    std::vector<double> times_;
    std::thread thread_;
};

// A sender or a server, its output to `out` (-1: discarded).
child start(const std::vector<std::string> &args, int out = -1) {
    try {
        spawn_request request{args};
        request.out = out;
        return spawn(request);
    } catch (const std::system_error &e) {
        fail(e.what());
    }
}

// Its exit status, or 128 and the signal that ended it; `use` its resource use.
int finish(child &c, rusage *use = nullptr) {
    const child_status &ended = *c.reap(true);
    if (use != nullptr) {
        *use = ended.use;
    }
    return WIFEXITED(ended.status) ? WEXITSTATUS(ended.status) : 128 + WTERMSIG(ended.status);
}

// A file that a child writes and this program reads back, removed with it.
class scratch_file {
  public:
    explicit scratch_file(const char *suffix = "") {
        path_ = "/tmp/pacing-XXXXXX" + std::string(suffix);
        const int fd = mkstemps(path_.data(), static_cast<int>(std::strlen(suffix)));
        if (fd < 0) {
            fail("no scratch file: " + std::string(std::strerror(errno)));
        }
        fd_.reset(fd);
    }
    ~scratch_file() {
        unlink(path_.c_str());
    }
    int fd() const {
        return fd_.get();
    }
    const std::string &path() const {
        return path_;
    }
    json parsed() const {
        const auto text = read_file(path_);
        const json value = json::parse(text.value_or(""), nullptr, false);
        if (value.is_discarded()) {
            fail("not JSON in " + path_ + ": " + text.value_or("").substr(0, 200));
        }
        return value;
    }

  private:
    std::string path_;
    unique_fd fd_;
};

double percentile(std::vector<double> sorted, double p) {
    return sorted.empty()
               ? 0
               : sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))];
}

struct result_t {
    double achieved = 0;              // bits per second of payload
    double p50 = 0, p99 = 0, max = 0; // gaps, in microseconds
    double back_to_back = 0;          // share of gaps under half the ideal
    std::size_t burst = 0;            // most datagrams in a row with such gaps
    std::size_t datagrams = 0;
    unsigned missed = 0;
    double cpu = 0; // of the sender, CPU seconds a second of its flood
};

constexpr const char *consumers = "tsflood-consumers";
constexpr const char *consumers_progress = "tsflood-consumers --progress";
constexpr const char *iperf3 = "iperf3";
constexpr const char *iperf3_realtime = "iperf3 under chrt -f 50";
constexpr const char *tcpreplay = "tcpreplay";

std::string receiver() {
    return "socat -u UDP-RECV:" + std::to_string(port) + ",rcvbuf=8388608 /dev/null";
}

struct harness_t {
    std::string path = CONSUMERS_PATH;
    std::string burst; // --burst, if asked
};

// tsflood-consumers -r RATE into socat; its CPU from its row.
double run_consumers(const harness_t &harness, bool progress, double rate, double seconds) {
    std::vector<std::string> args = {harness.path, "--json",
                                     "-u",         std::to_string(port),
                                     "-r",         std::to_string(static_cast<long long>(rate)),
                                     "-s",         std::to_string(seconds),
                                     "-g",         "0",
                                     receiver()};
    if (progress) {
        args.insert(args.begin() + 1, "--progress");
    }
    if (!harness.burst.empty()) {
        args.insert(args.begin() + 1, {"--burst", harness.burst});
    }
    const scratch_file row;
    child c = start(args, row.fd());
    if (const int status = finish(c); status != 0) {
        fail(std::string(consumers) + " ended with status " + std::to_string(status));
    }
    const json r = row.parsed();
    return r.at("harness_cpu_seconds").get<double>() / r.at("flood_seconds").get<double>();
}

// iperf3 -u -b RATE to its own server; its CPU from its JSON.
double run_iperf3(bool realtime, double rate, double seconds) {
    const std::string port_arg = std::to_string(port);
    child server = start({"iperf3", "-s", "-1", "-p", port_arg});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::string> args = {"iperf3",
                                     "-J",
                                     "-c",
                                     "127.0.0.1",
                                     "-p",
                                     port_arg,
                                     "-u",
                                     "-b",
                                     std::to_string(static_cast<long long>(rate)),
                                     "-l",
                                     std::to_string(payload),
                                     "-t",
                                     std::to_string(seconds)};
    if (realtime) {
        args.insert(args.begin(), {"chrt", "-f", "50"});
    }
    const scratch_file report;
    child client = start(args, report.fd());
    const int status = finish(client);
    finish(server);
    if (status != 0) {
        fail(std::string(iperf3) + " ended with status " + std::to_string(status));
    }
    return report.parsed().at("end").at("cpu_utilization_percent").at("host_total").get<double>() /
           100;
}

// Ethernet, IPv4 and UDP headers before each payload, as tcpreplay counts
// a frame on lo.
constexpr double frame_bytes = 14 + 20 + 8 + payload;
constexpr long captured_datagrams = 5000;

// The program's own datagrams, as tcpdump captures them on lo, their UDP
// checksums filled in (on lo the kernel leaves them to a card that is not
// there).
class own_capture {
  public:
    explicit own_capture(const harness_t &harness) {
        const scratch_file raw(".pcap");
        child tcpdump =
            start({"tcpdump", "-i", "lo", "-w", raw.path(), "-c",
                   std::to_string(captured_datagrams), "udp and dst port " + std::to_string(port)});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        run_consumers(harness, false, 100e6, 1);
        child rewrite = start({"tcprewrite", "--fixcsum", "-i", raw.path(), "-o", file_.path()});
        if (finish(rewrite) != 0 || finish(tcpdump) != 0) {
            fail("no capture of the program's datagrams to replay");
        }
    }
    const std::string &path() const {
        return file_.path();
    }

  private:
    scratch_file file_{".pcap"};
};

// tcpreplay --mbps of the capture, on lo, into socat; its CPU from its
// resource use. Its rate counts whole frames: it is asked for the frames'
// rate whose payload is RATE.
double run_tcpreplay(const own_capture &capture, double rate, double seconds) {
    child receiving = start({"sh", "-c", "exec " + receiver()});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double datagrams = rate * seconds / (payload * 8);
    const long loops = static_cast<long>(std::ceil(datagrams / captured_datagrams));
    char mbps[32];
    std::snprintf(mbps, sizeof mbps, "%.6f", rate * frame_bytes / payload / 1e6);
    const time_point began = clock_type::now();
    child replay =
        start({"tcpreplay", "-q", "-K", "--mbps", mbps, "--loop", std::to_string(loops), "--limit",
               std::to_string(static_cast<long long>(datagrams)), "-i", "lo", capture.path()});
    rusage use{};
    const int status = finish(replay, &use);
    const double wall = seconds_between(began, clock_type::now());
    receiving.signal(SIGTERM);
    finish(receiving);
    if (status != 0) {
        fail(std::string(tcpreplay) + " ended with status " + std::to_string(status));
    }
    return cpu_seconds(use) / wall;
}

result_t measure(const char *sender, double rate, double seconds, const harness_t &harness,
                 const own_capture *replayed) {
    capture_t capture;
    result_t r;
    if (std::strncmp(sender, iperf3, std::strlen(iperf3)) == 0) {
        r.cpu = run_iperf3(std::strcmp(sender, iperf3_realtime) == 0, rate, seconds);
    } else if (std::strcmp(sender, tcpreplay) == 0) {
        r.cpu = run_tcpreplay(*replayed, rate, seconds);
    } else {
        r.cpu = run_consumers(harness, std::strcmp(sender, consumers_progress) == 0, rate, seconds);
    }
    const std::vector<double> all = capture.finish(r.missed);
    std::vector<double> times;
    std::copy_if(all.begin(), all.end(), std::back_inserter(times),
                 [&](double t) { return !all.empty() && t >= all.front() + warm_up; });
    if (times.size() < 3) {
        fail(std::string(sender) + " sent too little to measure");
    }
    const double ideal = payload * 8 / rate * 1e6;
    std::vector<double> gaps;
    std::size_t run = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        gaps.push_back((times[i] - times[i - 1]) * 1e6);
        run = gaps.back() < ideal / 2 ? run + 1 : 0;
        r.burst = std::max(r.burst, run + 1);
    }
    r.datagrams = times.size();
    r.achieved = static_cast<double>(gaps.size()) * payload * 8 / (times.back() - times.front());
    r.back_to_back = static_cast<double>(std::count_if(gaps.begin(), gaps.end(),
                                                       [&](double g) { return g < ideal / 2; })) /
                     static_cast<double>(gaps.size());
    std::sort(gaps.begin(), gaps.end());
    r.p50 = percentile(gaps, 0.5);
    r.p99 = percentile(gaps, 0.99);
    r.max = gaps.back();
    return r;
}

// "38M" and the like, as both programs take them.
double parse_rate(std::string text) {
    const char unit = text.empty() ? '\0' : text.back();
    const double scale = unit == 'G' ? 1e9 : unit == 'M' ? 1e6 : unit == 'k' ? 1e3 : 1;
    return std::atof(text.c_str()) * scale;
}

std::vector<std::string> split(const std::string &list) {
    std::vector<std::string> items;
    for (std::size_t at = 0, end; at < list.size(); at = end + 1) {
        end = std::min(list.find(',', at), list.size());
        items.push_back(list.substr(at, end - at));
    }
    return items;
}

// A network of its own, with nothing else in it, where frames that
// tcpreplay injects on lo from 127.0.0.1 are taken (route_localnet), not
// dropped as martians.
void enter_own_network() {
    try {
        enter_private_network();
        const unique_fd localnet = open_file("/proc/sys/net/ipv4/conf/lo/route_localnet", O_WRONLY);
        if (write(localnet.get(), "1", 1) != 1) {
            throw_errno("cannot set route_localnet");
        }
    } catch (const std::system_error &e) {
        fail(e.what());
    }
}

} // namespace

int main(int argc, char **argv) {
    bool load = false, progress = false, quick = false;
    double seconds = 10;
    std::vector<double> rates;
    std::vector<std::string> chosen = {"consumers", "iperf3", "tcpreplay"};
    harness_t harness;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::max(2.0, std::atof(argv[++i]));
        } else if (arg == "--rates" && i + 1 < argc) {
            rates.clear();
            for (const std::string &rate : split(argv[++i])) {
                rates.push_back(parse_rate(rate));
            }
        } else if (arg == "--quick") {
            seconds = 2;
            rates = {1e6, 100e6};
            quick = true;
        } else if (arg == "--load") {
            load = true;
        } else if (arg == "--progress") {
            progress = true;
        } else if (arg == "--senders" && i + 1 < argc) {
            chosen = split(argv[++i]);
        } else if (arg == "--burst" && i + 1 < argc) {
            harness.burst = argv[++i];
        } else if (arg == "--harness" && i + 1 < argc) {
            harness.path = argv[++i];
        } else {
            std::fprintf(stderr, "usage: pacing [--seconds S] [--rates 1M,10M,...] [--quick] "
                                 "[--load] [--progress] [--senders consumers,iperf3,tcpreplay] "
                                 "[--burst N] [--harness PATH]\n");
            return 2;
        }
    }
    if (rates.empty()) {
        rates = {1e6, 10e6, 100e6, 500e6, 1e9, 2e9};
    }
    const auto wanted = [&](const char *name) {
        return std::find(chosen.begin(), chosen.end(), name) != chosen.end();
    };
    std::vector<const char *> senders;
    if (wanted("consumers")) {
        senders.push_back(consumers);
        if (progress) {
            senders.push_back(consumers_progress);
        }
    }
    if (wanted("iperf3")) {
        senders.push_back(iperf3);
        if (load) {
            senders.push_back(iperf3_realtime);
        }
    }
    if (wanted("tcpreplay")) {
        senders.push_back(tcpreplay);
    }
    enter_own_network();
    signal(SIGPIPE, SIG_IGN);
    std::optional<own_capture> replayed;
    if (wanted("tcpreplay")) {
        replayed.emplace(harness);
    }
    // A busy machine, as a consumer under test makes it: a CPU-bound
    // process on each CPU, ended with the benchmark.
    std::vector<child> busy;
    for (long cpu = 0; load && cpu < sysconf(_SC_NPROCESSORS_ONLN); ++cpu) {
        busy.push_back(start({"yes"}));
    }
    std::printf("| asked | sender | achieved | off by | gap: ideal | median | 99th percentile | "
                "largest | under half the ideal | longest burst | sender's CPU |\n"
                "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const double rate : rates) {
        for (const char *sender : senders) {
            if (quick && sender == tcpreplay && rate != rates.back()) {
                continue; // its capture and replay, once
            }
            const result_t r =
                measure(sender, rate, seconds, harness, replayed ? &*replayed : nullptr);
            std::printf(
                "| %.0f Mbit/s | %s | %.3f Mbit/s | %+.2f%% | %.1f µs | %.1f µs | %.1f µs | "
                "%.0f µs | %.1f%% | %zu | %.2f |\n",
                rate / 1e6, sender, r.achieved / 1e6, (r.achieved / rate - 1) * 100,
                payload * 8 / rate * 1e6, r.p50, r.p99, r.max, r.back_to_back * 100, r.burst,
                r.cpu);
            if (r.missed > 0) {
                std::printf("(the capture missed %u of %zu datagrams)\n", r.missed,
                            r.datagrams + r.missed);
            }
            std::fflush(stdout);
        }
    }
    return 0;
}
