// SPDX-License-Identifier: MIT
// Throughput of tsflood beside the bare write loop and what users would reach
// for instead, through a pipe into one reader and into /dev/null, measured in
// interleaved rounds (A B C D D C B A ...); and a soak that checks every byte.
//
//   throughput [--rounds N] [--mib N]   full run (9 rounds of 4096 MiB)
//   throughput --quick                  one short round and a 2 s soak
//   throughput --soak SECONDS           soak only
//   throughput --same-cpu ...           writer and reader both on CPU 0
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "mpegts/types.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::uint64_t mib = 1024 * 1024;
constexpr double gib = 1024.0 * mib;

struct writer_t {
    const char *name;
    std::vector<const char *> argv;
    std::uint64_t budget_divisor; // slow writers read fewer bytes per run
};

const writer_t writers[] = {
    {"tsflood",                   {TSFLOOD_PATH},                                     1 },
    {"bare write loop",           {BARE_LOOP_PATH},                                   1 },
    {"dd if=/dev/zero bs=262072", {"dd", "if=/dev/zero", "bs=262072", "status=none"}, 1 },
    {"one packet per write",      {NAIVE_WRITER_PATH},                                16},
};
constexpr std::size_t writer_count = sizeof writers / sizeof writers[0];

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "throughput: %s\n", why.c_str());
    std::exit(1);
}

// With two CPUs or more, writer and reader are pinned, so the scheduler's
// placement does not decide the rate: each on a CPU of its own, or with
// --same-cpu both on CPU 0, where every pipe copy finds its data cache-hot.
bool pinned() {
    return std::thread::hardware_concurrency() >= 2;
}
std::size_t reader_cpu = 1;

void pin_to(std::size_t cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Starts a writer with standard output on `out` and standard error discarded.
pid_t start(const writer_t &writer, int out) {
    const pid_t pid = fork();
    if (pid < 0) {
        fail("fork failed");
    }
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL);
        if (pinned()) {
            pin_to(0);
        }
        std::vector<const char *> argv = writer.argv;
        argv.push_back(nullptr);
        execvp(argv[0], const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    return pid;
}

struct memory_t {
    double peak_kib; // VmHWM: peak resident set, shared library pages included
    double anon_kib; // RssAnon: the writer's own pages (block, stack, data)
};

// Memory of a running writer. VmHWM, unlike ru_maxrss, does not carry over
// the forked harness's pages from before exec.
memory_t memory_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    memory_t memory{-1, -1};
    std::string key;
    while (status >> key) {
        double value = 0;
        if ((key == "VmHWM:" || key == "RssAnon:") && status >> value) {
            (key == "VmHWM:" ? memory.peak_kib : memory.anon_kib) = value;
        }
        status.ignore(4096, '\n');
    }
    if (memory.peak_kib < 0 || memory.anon_kib < 0) {
        fail("cannot read /proc/" + std::to_string(pid) + "/status");
    }
    return memory;
}

void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct run_t {
    double rate; // bytes per second
    memory_t memory;
    std::uint64_t bytes;
};

// The reader: reads the pipe in 1 MiB requests until `bytes` have arrived or
// `seconds` have passed. The clock starts after the first read, so process
// start-up is not counted. With `verify`, every byte is checked against a
// seamless run of null packets starting at offset 0.
run_t through_pipe(const writer_t &writer, std::uint64_t bytes, double seconds = 1e9,
                   bool verify = false) {
    static unsigned char chunk[mib];
    // Whole packets enough for any read into `chunk` at any packet offset.
    static unsigned char reference[(mib / sizeof null_ts + 2) * sizeof null_ts];
    if (verify && reference[0] != null_ts[0]) { // filled once, on first use
        for (std::size_t at = 0; at + sizeof null_ts <= sizeof reference; at += sizeof null_ts) {
            std::memcpy(reference + at, null_ts, sizeof null_ts);
        }
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fail("pipe failed");
    }
    const pid_t pid = start(writer, fds[1]);
    close(fds[1]);

    std::uint64_t seen = 0;
    auto began = clock_type::now();
    while (seen < bytes && (seen == 0 || seconds_since(began) < seconds)) {
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n <= 0) {
            fail(std::string(writer.name) + " ended after " + std::to_string(seen) + " bytes");
        }
        if (verify && std::memcmp(chunk, reference + seen % sizeof null_ts,
                                  static_cast<std::size_t>(n)) != 0) {
            fail("torn or foreign data within bytes " + std::to_string(seen) + " to " +
                 std::to_string(seen + static_cast<std::uint64_t>(n)));
        }
        if (seen == 0) {
            began = clock_type::now();
        }
        seen += static_cast<std::uint64_t>(n);
    }
    const double elapsed = seconds_since(began);
    const memory_t memory = memory_of(pid);
    close(fds[0]);
    stop(pid);
    return {static_cast<double>(seen) / elapsed, memory, seen};
}

// Bytes the process has handed to write() so far (/proc/PID/io, wchar).
std::uint64_t bytes_written(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "wchar:") {
            return value;
        }
    }
    fail("cannot read /proc/" + std::to_string(pid) + "/io");
}

// The loop's own cost: the writer into /dev/null, its write volume sampled
// after a short warm-up and again `seconds` later.
run_t into_dev_null(const writer_t &writer, double seconds) {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = start(writer, null);
    close(null);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t before = bytes_written(pid);
    const auto began = clock_type::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t after = bytes_written(pid);
    const double elapsed = seconds_since(began);
    const memory_t memory = memory_of(pid);
    stop(pid);
    return {static_cast<double>(after - before) / elapsed, memory, after - before};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void print_machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown CPU";
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname host{};
    uname(&host);
    std::printf("machine: %s, %u CPUs, %s %s %s\n", model.c_str(),
                std::thread::hardware_concurrency(), host.sysname, host.release, host.machine);
}

struct samples_t {
    std::vector<double> rates;
    std::vector<double> ratios; // to tsflood in the same round
    std::vector<double> peak_kib;
    std::vector<double> anon_kib;
};

// One table: each writer's median rate, its median ratio to tsflood over the
// rounds, and the median over the runs of its peak resident memory and of its
// own (anonymous) memory.
void print_table(const char *sink, const samples_t (&samples)[writer_count]) {
    std::printf("\n%s\n\n", sink);
    std::printf("| writer | median GiB/s | ratio to tsflood | peak RSS KiB | own memory KiB |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    for (std::size_t w = 0; w < writer_count; ++w) {
        std::printf("| %s | %.3f | %.3f | %.0f | %.0f |\n", writers[w].name,
                    median(samples[w].rates) / gib, median(samples[w].ratios),
                    median(samples[w].peak_kib), median(samples[w].anon_kib));
    }
}

void benchmark(int rounds, std::uint64_t bytes, double null_seconds) {
    std::printf("rounds: %d, interleaved; reader stops after %llu MiB (one packet per write: "
                "%llu MiB); /dev/null: %.1f s per run\n",
                rounds, static_cast<unsigned long long>(bytes / mib),
                static_cast<unsigned long long>(bytes / mib / writers[3].budget_divisor),
                null_seconds);
    samples_t piped[writer_count], nulled[writer_count];
    std::vector<double> tsflood_to_bare;
    for (int round = 0; round < rounds; ++round) {
        run_t pipe_runs[writer_count], null_runs[writer_count];
        // A B C D, then D C B A: drift over a round weighs on all writers alike.
        const auto nth = [round](std::size_t i) { return round % 2 ? writer_count - 1 - i : i; };
        for (std::size_t i = 0; i < writer_count; ++i) {
            const std::size_t w = nth(i);
            pipe_runs[w] = through_pipe(writers[w], bytes / writers[w].budget_divisor);
        }
        for (std::size_t i = 0; i < writer_count; ++i) {
            null_runs[nth(i)] = into_dev_null(writers[nth(i)], null_seconds);
        }
        for (std::size_t w = 0; w < writer_count; ++w) {
            for (auto [samples, runs] : {
                     std::pair{piped,  pipe_runs},
                     {nulled, null_runs}
            }) {
                samples[w].rates.push_back(runs[w].rate);
                samples[w].ratios.push_back(runs[w].rate / runs[0].rate);
                samples[w].peak_kib.push_back(runs[w].memory.peak_kib);
                samples[w].anon_kib.push_back(runs[w].memory.anon_kib);
            }
        }
        tsflood_to_bare.push_back(pipe_runs[0].rate / pipe_runs[1].rate);
        std::fprintf(stderr, "round %d: tsflood %.3f GiB/s, bare loop %.3f GiB/s\n", round + 1,
                     pipe_runs[0].rate / gib, pipe_runs[1].rate / gib);
    }
    print_table("Through a pipe into one reader:", piped);
    print_table("Into /dev/null (the loop's own cost):", nulled);
    std::printf("\ntsflood / bare loop through the pipe, median of pair ratios: %.3f\n",
                median(tsflood_to_bare));
    std::printf("memory through the pipe, tsflood / bare loop: peak RSS %.3f, own memory %.3f\n",
                median(piped[0].peak_kib) / median(piped[1].peak_kib),
                median(piped[0].anon_kib) / median(piped[1].anon_kib));
}

// Runs tsflood into a reader that checks every byte for `seconds`; any torn,
// shifted or foreign byte, or an early end, fails the run.
void soak(double seconds) {
    const run_t run = through_pipe(writers[0], UINT64_MAX, seconds, true);
    std::printf("\nsoak: tsflood for %.0f s into a reader that checks every byte: %.2f GiB "
                "(%llu packets) verified at %.3f GiB/s, all whole null packets on 188-byte "
                "boundaries\n",
                seconds, static_cast<double>(run.bytes) / gib,
                static_cast<unsigned long long>(run.bytes / sizeof null_ts), run.rate / gib);
}

} // namespace

int main(int argc, char **argv) {
    int rounds = 9;
    std::uint64_t bytes = 4096 * mib;
    double null_seconds = 1.0;
    double soak_seconds = 0;
    bool run_benchmark = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--rounds") {
            rounds = std::max(1, std::atoi(value));
            ++i;
        } else if (arg == "--mib") {
            bytes = std::max<std::uint64_t>(16, std::strtoull(value, nullptr, 10)) * mib;
            ++i;
        } else if (arg == "--quick") {
            rounds = 1;
            bytes = 64 * mib;
            null_seconds = 0.2;
            soak_seconds = 2;
        } else if (arg == "--same-cpu") {
            reader_cpu = 0;
        } else if (arg == "--soak") {
            soak_seconds = std::atof(value);
            run_benchmark = false;
            ++i;
        } else {
            std::fprintf(stderr, "usage: throughput [--rounds N] [--mib N] [--quick] "
                                 "[--soak SECONDS] [--same-cpu]\n");
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    print_machine();
    if (pinned()) {
        pin_to(reader_cpu);
        std::printf("writer on CPU 0, reader on CPU %zu\n", reader_cpu);
    }
    if (run_benchmark) {
        benchmark(rounds, bytes, null_seconds);
    }
    if (soak_seconds > 0) {
        soak(soak_seconds);
    }
    return 0;
}
