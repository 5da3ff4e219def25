// SPDX-License-Identifier: MIT
// Throughput of tsflood beside the bare write loop and what users would reach
// for instead: through a pipe into one reader, on the default pipe and on a
// 1 MiB pipe, with writer and reader on separate CPUs and on one CPU; and into
// /dev/null. Writers run in interleaved rounds (A B C ... then ... C B A). A
// soak checks every byte of tsflood's output.
//
//   throughput [--rounds N] [--seconds S] [--placement both|separate|same]
//                                        full run (7 rounds of 1 s runs)
//   throughput --quick                   one short round and a 2 s soak
//   throughput --soak SECONDS            soak only
//   throughput --sweep [--json] [--rounds N] [--seconds S]
//                                        tsflood, the 32 KiB bare loop and
//                                        ffmpeg on pipes of 64 KiB to 1 MiB,
//                                        separate CPUs; --json: one line per
//                                        writer and pipe size
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sched.h>
#include <string>
#include <sys/utsname.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "mpegts/types.h"
#include "posix.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr std::uint64_t kib = 1024, mib = 1024 * kib;
constexpr double gib = 1024.0 * mib;

struct writer_t {
    const char *name;
    std::vector<const char *> argv;
};

// The writers, by name. ffmpeg's padded mux is what a user might reach for to
// get a stream of null packets: it writes 32 KiB at a time, so the bare loop
// in 32 KiB pieces shows what one write of the whole block costs or gains.
enum writer_id : std::size_t {
    tsflood,
    bare_loop,
    bare_loop_32k,
    dd,
    one_packet,
    ffmpeg,
    writer_count
};
const writer_t writers[writer_count] = {
    {"tsflood",                        {TSFLOOD_PATH}                                    },
    {"bare write loop, same block",    {BARE_LOOP_PATH}                                  },
    {"bare write loop, 32 KiB writes", {BARE_LOOP_PATH, "32768"}                         },
    {"dd if=/dev/zero bs=262072",      {"dd", "if=/dev/zero", "bs=262072", "status=none"}},
    {"one packet per write",           {NAIVE_WRITER_PATH}                               },
    {"ffmpeg mpegts -muxrate 2000M",
     {"ffmpeg", "-loglevel", "quiet", "-nostdin", "-f", "lavfi", "-i", "testsrc=size=16x16:rate=25",
      "-c:v", "mpeg2video", "-f", "mpegts", "-muxrate", "2000M", "pipe:1"}               },
};

// Where writer and reader run, and the pipe between them.
enum placement_id : std::size_t { separate_cpus, one_cpu, placement_count };
const char *const placement_names[placement_count] = {
    "writer and reader on separate CPUs (writer on CPU 0, reader on CPU 1)",
    "writer and reader on one CPU (CPU 0)",
};
const std::size_t reader_cpus[placement_count] = {1, 0};
enum pipe_id : std::size_t { default_pipe, big_pipe, pipe_count };
const char *const pipe_names[pipe_count] = {"default pipe (64 KiB)", "1 MiB pipe"};
const int pipe_sizes[pipe_count] = {0, 1 << 20}; // 0: as the kernel makes it

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "throughput: %s\n", why.c_str());
    std::exit(1);
}

void pin_to(std::size_t cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// Starts a writer with standard output on `out`, standard input and error
// on /dev/null, pinned to CPU 0; the reader keeps its own CPUs.
child start(const writer_t &writer, int out) {
    cpu_set_t mine;
    sched_getaffinity(0, sizeof mine, &mine);
    pin_to(0);
    try {
        child started = spawn({
            {writer.argv.begin(), writer.argv.end()},
            -1, out, -1, false
        });
        sched_setaffinity(0, sizeof mine, &mine);
        return started;
    } catch (const std::system_error &e) {
        fail(e.what());
    }
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

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct run_t {
    double rate; // bytes per second
    memory_t memory;
    std::uint64_t bytes;
};

// The reader: reads the pipe in 1 MiB requests for `seconds`, its clock
// started at the first byte so that process start-up is not counted. With
// `verify`, every byte is checked against a seamless run of null packets
// starting at offset 0. `pipe_size` 0 leaves the pipe as the kernel makes it.
run_t through_pipe(const writer_t &writer, double seconds, int pipe_size, bool verify = false) {
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
    if (pipe_size != 0 && fcntl(fds[1], F_SETPIPE_SZ, pipe_size) < 0) {
        fail("cannot size the pipe to " + std::to_string(pipe_size) +
             " bytes: " + std::strerror(errno));
    }
    const child writing = start(writer, fds[1]);
    close(fds[1]);

    std::uint64_t seen = 0;  // every byte, for the check
    std::uint64_t timed = 0; // the bytes after the first read, which starts the clock
    auto began = clock_type::now();
    while (seen == 0 || seconds_since(began) < seconds) {
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
        } else {
            timed += static_cast<std::uint64_t>(n);
        }
        seen += static_cast<std::uint64_t>(n);
    }
    const double elapsed = seconds_since(began);
    const memory_t memory = memory_of(writing.pid());
    close(fds[0]);
    return {static_cast<double>(timed) / elapsed, memory, seen};
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
    const child writing = start(writer, null);
    close(null);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t before = bytes_written(writing.pid());
    const auto began = clock_type::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::uint64_t after = bytes_written(writing.pid());
    const double elapsed = seconds_since(began);
    const memory_t memory = memory_of(writing.pid());
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

// Per writer, one value per round.
struct samples_t {
    std::vector<double> rates;
    std::vector<double> ratios; // to tsflood in the same round and set-up
    std::vector<double> peak_kib;
    std::vector<double> anon_kib;

    void add(const run_t &run, const run_t &tsflood_run) {
        rates.push_back(run.rate);
        ratios.push_back(run.rate / tsflood_run.rate);
        peak_kib.push_back(run.memory.peak_kib);
        anon_kib.push_back(run.memory.anon_kib);
    }
};
using table_t = samples_t[writer_count];

// A figure with its ratio to tsflood, or why the writer has none.
std::string rate_cells(const bool (&ran)[writer_count], std::size_t w, const samples_t &s) {
    if (!ran[w]) {
        return "not run: " + std::string(writers[w].argv[0]) + " is not installed | ";
    }
    char cells[64];
    std::snprintf(cells, sizeof cells, "%.3f | %.3f", median(s.rates) / gib, median(s.ratios));
    return cells;
}

void benchmark(int rounds, double seconds, double null_seconds,
               const std::vector<placement_id> &placements) {
    std::printf("rounds: %d, interleaved; each run through a pipe reads for %.1f s, each run "
                "into /dev/null lasts %.1f s\n",
                rounds, seconds, null_seconds);
    bool ran[writer_count];
    for (std::size_t w = 0; w < writer_count; ++w) {
        ran[w] = find_program(writers[w].argv[0]).has_value();
    }
    table_t piped[placement_count][pipe_count], nulled;
    std::vector<double> tsflood_to_bare[placement_count][pipe_count];
    for (int round = 0; round < rounds; ++round) {
        // One run of every installed writer, A B C ..., then ... C B A, so that
        // drift over a round weighs on all writers alike; each joins `table`.
        const auto run_all = [&](table_t &table, auto run) {
            std::array<run_t, writer_count> runs{};
            for (std::size_t i = 0; i < writer_count; ++i) {
                const std::size_t w = round % 2 ? writer_count - 1 - i : i;
                if (ran[w]) {
                    runs[w] = run(writers[w]);
                }
            }
            for (std::size_t w = 0; w < writer_count; ++w) {
                table[w].add(runs[w], runs[tsflood]);
            }
            return runs;
        };
        for (const placement_id place : placements) {
            pin_to(reader_cpus[place]);
            for (std::size_t pipe = 0; pipe < pipe_count; ++pipe) {
                const auto runs = run_all(piped[place][pipe], [&](const writer_t &writer) {
                    return through_pipe(writer, seconds, pipe_sizes[pipe]);
                });
                tsflood_to_bare[place][pipe].push_back(runs[tsflood].rate / runs[bare_loop].rate);
                std::fprintf(stderr, "round %d, %s, %s: tsflood %.3f GiB/s, bare loop %.3f GiB/s\n",
                             round + 1, place == separate_cpus ? "separate CPUs" : "one CPU",
                             pipe_names[pipe], runs[tsflood].rate / gib,
                             runs[bare_loop].rate / gib);
            }
        }
        run_all(nulled,
                [&](const writer_t &writer) { return into_dev_null(writer, null_seconds); });
    }

    for (const placement_id place : placements) {
        const auto &table = piped[place];
        std::printf("\nThrough a pipe into one reader, %s; median GiB/s and median ratio to "
                    "tsflood:\n\n",
                    placement_names[place]);
        std::printf("| writer | %s | ratio | %s | ratio |\n|---|---:|---:|---:|---:|\n",
                    pipe_names[default_pipe], pipe_names[big_pipe]);
        for (std::size_t w = 0; w < writer_count; ++w) {
            std::printf("| %s | %s | %s |\n", writers[w].name,
                        rate_cells(ran, w, table[default_pipe][w]).c_str(),
                        rate_cells(ran, w, table[big_pipe][w]).c_str());
        }
        std::printf("\ntsflood / bare loop, median of pair ratios: %.3f on the default pipe, "
                    "%.3f on the 1 MiB pipe\n",
                    median(tsflood_to_bare[place][default_pipe]),
                    median(tsflood_to_bare[place][big_pipe]));
        std::printf("tsflood, 1 MiB pipe / default pipe: %.2f\n",
                    median(table[big_pipe][tsflood].rates) /
                        median(table[default_pipe][tsflood].rates));
    }

    std::printf("\nInto /dev/null (the loop's own cost):\n\n| writer | median GiB/s | ratio |\n"
                "|---|---:|---:|\n");
    for (std::size_t w = 0; w < writer_count; ++w) {
        std::printf("| %s | %s |\n", writers[w].name, rate_cells(ran, w, nulled[w]).c_str());
    }

    const auto &memory = piped[placements.front()][default_pipe];
    std::printf("\nMemory through the default pipe, %s:\n\n| writer | peak RSS KiB | own memory "
                "KiB |\n|---|---:|---:|\n",
                placement_names[placements.front()]);
    for (std::size_t w = 0; w < writer_count; ++w) {
        if (ran[w]) {
            std::printf("| %s | %.0f | %.0f |\n", writers[w].name, median(memory[w].peak_kib),
                        median(memory[w].anon_kib));
        }
    }
    std::printf("\nmemory, tsflood / bare loop: peak RSS %.3f, own memory %.3f\n",
                median(memory[tsflood].peak_kib) / median(memory[bare_loop].peak_kib),
                median(memory[tsflood].anon_kib) / median(memory[bare_loop].anon_kib));
}

// The rate of tsflood, the bare loop in 32 KiB writes and ffmpeg's padded mux
// against the size of the pipe, writer and reader on separate CPUs, in
// interleaved rounds: the order of writers and of sizes turns each round.
void sweep(int rounds, double seconds, bool json) {
    const int sizes[] = {64 << 10, 128 << 10, 256 << 10, 512 << 10, 1 << 20};
    const writer_id swept[] = {tsflood, bare_loop_32k, ffmpeg};
    constexpr std::size_t size_count = std::size(sizes), swept_count = std::size(swept);
    std::vector<double> rates[size_count][swept_count];
    pin_to(reader_cpus[separate_cpus]);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t s = 0; s < size_count; ++s) {
            const std::size_t size = round % 2 ? size_count - 1 - s : s;
            for (std::size_t i = 0; i < swept_count; ++i) {
                const std::size_t w = round % 2 ? swept_count - 1 - i : i;
                if (find_program(writers[swept[w]].argv[0]).has_value()) {
                    rates[size][w].push_back(
                        through_pipe(writers[swept[w]], seconds, sizes[size]).rate / gib);
                }
            }
        }
        std::fprintf(stderr, "sweep: round %d of %d\n", round + 1, rounds);
    }
    if (!json) {
        std::printf("\nRate against pipe size, %s; median GiB/s over %d rounds:\n\n| pipe |",
                    placement_names[separate_cpus], rounds);
        for (const writer_id w : swept) {
            std::printf(" %s |", writers[w].name);
        }
        std::printf("\n|---:|---:|---:|---:|\n");
    }
    for (std::size_t size = 0; size < size_count; ++size) {
        if (!json) {
            std::printf("| %d KiB |", sizes[size] >> 10);
        }
        for (std::size_t w = 0; w < swept_count; ++w) {
            const auto &r = rates[size][w];
            if (json) {
                const nlohmann::ordered_json line = {
                    {"writer",     writers[swept[w]].name     },
                    {"pipe_bytes", sizes[size]                },
                    {"gib_per_s",  r.empty() ? 0.0 : median(r)},
                };
                std::printf("%s\n", line.dump().c_str());
            } else {
                std::printf(r.empty() ? " not run |" : " %.3f |", r.empty() ? 0.0 : median(r));
            }
        }
        if (!json) {
            std::printf("\n");
        }
    }
}

// Runs tsflood into a reader that checks every byte for `seconds`; any torn,
// shifted or foreign byte, or an early end, fails the run.
void soak(double seconds) {
    pin_to(reader_cpus[separate_cpus]);
    const run_t run = through_pipe(writers[tsflood], seconds, 0, true);
    std::printf("\nsoak: tsflood for %.0f s into a reader that checks every byte: %.2f GiB "
                "(%llu packets) verified at %.3f GiB/s, all whole null packets on 188-byte "
                "boundaries\n",
                seconds, static_cast<double>(run.bytes) / gib,
                static_cast<unsigned long long>(run.bytes / sizeof null_ts), run.rate / gib);
}

} // namespace

int main(int argc, char **argv) {
    int rounds = 7;
    double seconds = 1.0, null_seconds = 1.0, soak_seconds = 0;
    std::vector<placement_id> placements = {separate_cpus, one_cpu};
    bool run_benchmark = true, run_sweep = false, json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--rounds") {
            rounds = std::max(1, std::atoi(value.c_str()));
            ++i;
        } else if (arg == "--seconds") {
            seconds = std::max(0.1, std::atof(value.c_str()));
            ++i;
        } else if (arg == "--placement" && (value == "separate" || value == "same")) {
            placements = {value == "separate" ? separate_cpus : one_cpu};
            ++i;
        } else if (arg == "--placement" && value == "both") {
            ++i;
        } else if (arg == "--quick") {
            rounds = 1;
            seconds = 0.2;
            null_seconds = 0.2;
            soak_seconds = 2;
        } else if (arg == "--sweep") {
            run_sweep = true;
            run_benchmark = false;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--soak") {
            soak_seconds = std::atof(value.c_str());
            run_benchmark = false;
            ++i;
        } else {
            std::fprintf(stderr, "usage: throughput [--rounds N] [--seconds S] "
                                 "[--placement both|separate|same] [--quick] [--soak SECONDS] "
                                 "[--sweep [--json]]\n");
            return 2;
        }
    }
    if (std::thread::hardware_concurrency() < 2) {
        placements = {one_cpu}; // nothing to separate
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!json) {
        print_machine();
    }
    if (run_sweep) {
        sweep(rounds, seconds, json);
    }
    if (run_benchmark) {
        benchmark(rounds, seconds, null_seconds, placements);
    }
    if (soak_seconds > 0) {
        soak(soak_seconds);
    }
    return 0;
}
