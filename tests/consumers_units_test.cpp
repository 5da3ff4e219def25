// SPDX-License-Identifier: MIT
// The harness's pieces, each on its own: the process and descriptor
// plumbing, /proc's lines, the rate window, the search, the command line,
// the row and what a consumer said.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "limit.h"
#include "options.h"
#include "pacer.h"
#include "phases.h"
#include "posix.h"
#include "procfs.h"
#include "said.h"
#include "sampler.h"
#include "text.h"

namespace {

using std::chrono::milliseconds;

// A child sees only the descriptors it is handed, whatever the harness
// holds, and a program is found on the PATH or refused up front.
TEST(Posix, AChildGetsItsThreeDescriptorsAndNoOther) {
    const int inherited = dup(STDERR_FILENO); // not close-on-exec, as a caller may leave one
    pipe_ends out = make_pipe();
    child c = spawn({
        {"sh", "-c", "ls /proc/$$/fd"},
        -1, out.write.get(), -1, false
    });
    out.write.reset();
    std::string listed;
    char chunk[256];
    for (ssize_t n; (n = read(out.read.get(), chunk, sizeof chunk)) > 0;) {
        listed.append(chunk, static_cast<std::size_t>(n));
    }
    close(inherited);
    EXPECT_EQ(listed, "0\n1\n2\n");
    EXPECT_EQ(WEXITSTATUS(c.reap(true)->status), 0);

    for (const char *missing : {"no-such-program-here", "/nonexistent/program"}) {
        try {
            spawn({{missing}});
            ADD_FAILURE() << missing;
        } catch (const std::system_error &e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("cannot run ") + missing + ": No such file or directory");
        }
    }
}

// A dropped child is ended and reaped; a wait says what woke it and takes
// nothing: what it saw is still there for the next.
TEST(Posix, AWaitSaysWhatWokeItAndChangesNothing) {
    pid_t pid;
    {
        const child sleeper = spawn({
            {"sleep", "30"}
        });
        pid = sleeper.pid();
    }
    EXPECT_EQ(kill(pid, 0), -1) << "killed and reaped, not a zombie";

    pipe_ends out = make_pipe();
    child talker = spawn({
        {"sh", "-c", "echo hi; exec sleep 0.2"},
        -1, out.write.get(), -1, false
    });
    out.write.reset();
    const watched what{-1, {out.read.get()}, {&talker}};
    const auto deadline = [](int ms) { return clock_type::now() + milliseconds(ms); };
    for (int twice = 0; twice < 2; ++twice) {
        const woken w = wait_until(deadline(5000), what);
        EXPECT_TRUE(w.output);
        EXPECT_FALSE(w.child || w.signal || w.ready);
    }
    char line[8];
    EXPECT_EQ(read(out.read.get(), line, sizeof line), 3);
    const woken ended = wait_until(deadline(5000), {-1, {}, {&talker}});
    EXPECT_TRUE(ended.child);
    EXPECT_FALSE(talker.reaped()) << "the wait reaps nothing";
    EXPECT_TRUE(talker.reap(false));
    pollfd extra{out.read.get(), POLLIN, 0};
    const woken closed = wait_until(deadline(5000), {}, &extra, 1);
    EXPECT_TRUE(closed.ready && (extra.revents & POLLHUP) != 0);
    const auto began = clock_type::now();
    EXPECT_FALSE(wait_until(deadline(50), {}).any());
    EXPECT_GE(clock_type::now() - began, milliseconds(50));
}

TEST(Posix, SignalNames) {
    EXPECT_EQ(signal_name(SIGTERM), "TERM");
    EXPECT_EQ(signal_name(SIGRTMIN + 3), "RTMIN+3");
    EXPECT_EQ(signal_name(SIGRTMAX), "RTMIN+" + std::to_string(SIGRTMAX - SIGRTMIN));
    EXPECT_EQ(signal_name(200), "200");
}

// A process's line of /proc, whatever its name holds.
TEST(Procfs, StatLinesAreReadFromTheirLastParenthesis) {
    const auto ticks = sysconf(_SC_CLK_TCK);
    // Fields 14 to 17 (CPU ticks), 22 (start), 24 (pages) and 33 (ignored
    // signals) are set; SIGCHLD is bit 17.
    const std::string rest = " S 1 2 3 0 -1 0 0 0 0 0 " + std::to_string(2 * ticks) + " " +
                             std::to_string(ticks) + " " + std::to_string(4 * ticks) +
                             " 0 20 0 1 0 777 0 10 0 0 0 0 0 0 0 0 65536 0 0 0 0 0 0 0 0 0";
    const auto p = parse_stat("42 (a) (b c) d)" + rest);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->pid, 42);
    EXPECT_EQ(p->ppid, 1);
    EXPECT_EQ(p->session, 3);
    EXPECT_FALSE(p->zombie);
    EXPECT_EQ(p->cpu_seconds, 3);
    EXPECT_EQ(p->children_cpu_seconds, 4);
    EXPECT_EQ(p->start_ticks, 777u);
    EXPECT_EQ(p->rss_kib, 10 * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024);
    EXPECT_TRUE(p->ignores_sigchld);
    EXPECT_FALSE(parse_stat("42 (a) S 1 2"));
    EXPECT_FALSE(parse_stat("garbage"));
}

// The rate a consumer took, over at least half a second.
TEST(Flood, TheRateWindowIsHalfASecondAtLeast) {
    const time_point t0{};
    const auto at = [&](double s) { return t0 + seconds_of(s); };
    const struct {
        std::optional<double> first;
        std::optional<std::pair<double, std::uint64_t>> window;
        double end;
        std::uint64_t bytes;
        std::optional<double> rate;
    } cases[] = {
        {0,          std::pair(1.0, 100), 3,                      500,                       200}, // after the first second
        {0,          std::pair(1.0,                       100),     1.2, 160,                   160 / 1.2}, // too short: the whole flood's
        {0, std::nullopt,              0.8,                  80,                            100                  }, // under a second
        {0,       std::pair(2.5,                    1000),                        3,1100,200}, // after a stop, half a second
        {std::nullopt,      std::nullopt,                1,                    0,                                std::nullopt                                                         },
    };
    for (const auto &c : cases) {
        const auto window = c.window
                                ? std::optional(byte_mark{at(c.window->first), c.window->second})
                                : std::nullopt;
        const auto rate = taken_rate(c.first ? std::optional(at(*c.first)) : std::nullopt, window,
                                     {at(c.end), c.bytes});
        ASSERT_EQ(rate.has_value(), c.rate.has_value()) << c.end;
        if (rate) {
            EXPECT_NEAR(*rate, *c.rate, 1e-6) << c.end;
        }
    }
}

// The pacer spins for as long as its sleeps end late, nine in ten of them,
// within bounds that keep a real-time pacer's spin short.
TEST(Pacer, TheSpinFollowsHowLateSleepsEnd) {
    using std::chrono::microseconds;
    const struct {
        bool realtime;
        int most_late_us; // sleeps end late by 0 to this, evenly
        int low_us, high_us;
    } cases[] = {
        {true,  0,    3,   3  }, // at its lowest
        {true,  100,  55,  60 }, // at its highest
        {false, 100,  85,  95 }, // the 90th percentile
        {false, 20,   15,  20 }, // at its lowest, or just above
        {false, 5000, 200, 200},
    };
    for (const auto &c : cases) {
        spin_margin margin(c.realtime);
        for (int i = 0; i < 20000; ++i) {
            margin.woke_late_by(microseconds(c.most_late_us * (i * 37 % 101) / 100));
        }
        const auto us = std::chrono::duration<double, std::micro>(margin.get()).count();
        EXPECT_GE(us, c.low_us) << c.most_late_us;
        EXPECT_LE(us, c.high_us) << c.most_late_us;
    }
}

// Pieces due closer together than a wake-up go in bursts of the fewest that
// span 160 µs, at most --burst: each burst whole once its first piece is
// due, so the average stays exact. Late ones catch up at most a burst (or
// 4) at a time, a gap after each, and a stall is made up.
TEST(Pacer, BurstsGoWholeAtTheirFirstPiecesTimeAndCatchUpBounded) {
    const struct {
        double rate;
        std::uint64_t most, burst;
    } cases[] = {
        {10e6,  16, 1 }, // a piece every 1053 µs: one at a time
        {100e6, 16, 2 }, // every 105 µs
        {100e6, 1,  1 }, // --burst 1
        {200e6, 16, 4 },
        {500e6, 6,  6 }, // --burst bounds the 8 that 160 µs takes
        {1e9,   64, 16},
    };
    for (const auto &c : cases) {
        pacer pace(c.rate, 1316, c.most);
        ASSERT_EQ(pace.burst(), c.burst) << c.rate;
        const double gap = 1316 * 8 / c.rate;
        const time_point start = clock_type::now();
        const auto at = [&](double seconds) { return start + seconds_of(seconds); };
        std::uint64_t sent = 0;
        std::optional<double> burst_sent_at; // of the last send of more than one piece
        // 40 ms in steps of a microsecond, stalled from 10 to 14 ms.
        for (int us = 0; us < 40000; us = us == 10000 ? 14000 : us + 1) {
            const double now = us * 1e-6;
            const std::uint64_t n = pace.due(at(now));
            if (n == 0) {
                continue;
            }
            const double burst_due = static_cast<double>(sent / c.burst * c.burst) * gap;
            if (us < 10000) { // on time: the whole burst, once its first piece is due
                EXPECT_EQ(n, c.burst) << c.rate << " at " << us << " µs";
                EXPECT_NEAR(now, burst_due, 1.01e-6) << c.rate;
            }
            EXPECT_LE(n, std::max<std::uint64_t>(c.burst, pacer::catch_up)) << c.rate;
            if (burst_sent_at) {
                EXPECT_GE(now - *burst_sent_at, gap - 1e-9) << c.rate << " at " << us << " µs";
            }
            pace.sent(n, at(now));
            sent += n;
            burst_sent_at = n > 1 ? std::optional(now) : std::nullopt;
        }
        const auto due_by_end = static_cast<std::uint64_t>(0.04 / gap) + 1;
        EXPECT_LE(sent, due_by_end + c.burst) << c.rate;
        EXPECT_GE(sent + std::max<std::uint64_t>(c.burst, pacer::catch_up), due_by_end) << c.rate;
        EXPECT_EQ(pace.report(at(0.04)).burst, c.burst);
    }
}

// A thread held up between asking what was due and sending it sends a
// piece when more have fallen due: the catch-up that follows waits a gap,
// so no more than 4 go back to back.
TEST(Pacer, APieceSentLateIsFollowedByAGap) {
    pacer pace(100e6, 1316, 1); // a piece every 105 µs
    const time_point start = clock_type::now();
    const auto at = [&](int us) { return start + std::chrono::microseconds(us); };
    ASSERT_EQ(pace.due(at(0)), 1u);
    pace.sent(1, at(400)); // held up for 400 µs before the send
    EXPECT_EQ(pace.due(at(401)), 0u);
    EXPECT_EQ(pace.due(at(506)), pacer::catch_up);
}

// What fell due while the harness was stopped is neither sent nor counted
// as due once the pace restarts: the pacer did not fall behind.
TEST(Pacer, AStopIsNotCountedAsPiecesLate) {
    pacer pace(10e6, 1316);
    const time_point start = clock_type::now();
    const auto at = [&](int us) { return start + std::chrono::microseconds(us); };
    // On time for 20 ms, stopped for half a second, then on time for 20 ms.
    for (int us = 0; us < 540000; us = us == 20000 ? 520000 : us + 1) {
        if (us == 520000) {
            pace.restart(at(us));
        }
        if (const std::uint64_t n = pace.due(at(us)); n > 0) {
            pace.sent(n, at(us));
        }
    }
    const pace_report r = pace.report(at(540000));
    EXPECT_FALSE(r.fell_behind()) << r.sent << " of " << r.due;
    EXPECT_NEAR(r.achieved(), 10e6, 1e5);
}

// The search, on model consumers that drop above a known rate. A stop, or
// a try that was not flooded for its whole time (its consumer refused the
// flood), ends it with no limit. Receivers together have the limit of the
// first to lose, which is named.
TEST(Limit, TheSearchFindsTheHighestLossFreeRateWithinFivePercent) {
    const struct {
        std::vector<double> limits; // a receiver's each
        double unpaced, floor;
        int stop_after, refused_at; // tries, 0: never
        std::optional<double> found_at_least;
        std::size_t most_tries;
        const char *note;
        double window = 1;    // the rate a try's window shows, of what its pacer sent
        int unstarted_at = 0; // a try whose consumer could not be started, 0: never
    } cases[] = {
  // clang-format off
        {{50e6},       3e9, 1e6,  0, 0, 50e6 / 1.05,  14, ""},
        {{700e6},      3e9, 20e6, 0, 0, 700e6 / 1.05, 14, ""},
        {{10e9},       3e9, 1e6,  0, 0, 3e9,          1,  ""},
        {{0.5e6},      3e9, 1e6,  0, 0, std::nullopt, 2,  ""},
        {{50e6},       3e9, 1e6,  4, 0, std::nullopt, 4,  "stopped"},
        {{10e9},       3e9, 1e6,  0, 1, std::nullopt, 1,  "a try was not flooded for its whole time: refused"},
        {{50e6},       3e9, 1e6,  0, 3, std::nullopt, 3,  "a try was not flooded for its whole time: refused"},
        {{60e6, 40e6}, 3e9, 1e6,  0, 0, 40e6 / 1.05,  14, ""},
        // Past what the pacer reaches.
        {{5e9},        8e9, 1e6,  0, 0, 1e9,          14, ""},
        // A window a few percent short of a pacer that kept time is no ceiling.
        {{50e6},       3e9, 1e6,  0, 0, 50e6 / 1.05,  14, "", 0.98},
        {{50e6},       3e9, 1e6,  0, 0, std::nullopt, 2,  "a try was not flooded for its whole time: not started: UDP port 5000 is in use by pid 1 (init)", 1, 2},
  // clang-format on
    };
    for (const auto &c : cases) {
        int tries = 0;
        bool stopped = false;
        std::vector<std::string> commands;
        for (std::size_t k = 0; k < c.limits.size(); ++k) {
            commands.push_back("receiver " + std::to_string(k + 1));
        }
        const auto model = [&](double rate) {
            stopped = ++tries == c.stop_after;
            std::vector<consumer_row> rows;
            for (std::size_t k = 0; k < c.limits.size(); ++k) {
                consumer_row row;
                row.command = commands[k];
                row.datagrams = true;
                row.asked_rate = rate;
                row.flood_end = tries == c.refused_at ? "refused" : "";
                if (tries == c.unstarted_at) {
                    row.not_started = "UDP port 5000 is in use by pid 1 (init)";
                    rows.push_back(row);
                    continue;
                }
                const double at = rate > 0 ? std::min(rate, 1e9) : c.unpaced; // a pacer's most
                row.rate = at * c.window / 8;
                if (rate > 0) {
                    row.pace = pace_report{rate, 10528 / rate, 0, 1000, 1000, 0, false, false};
                    row.pace->sent = static_cast<std::uint64_t>(std::llround(1000 * at / rate));
                }
                receiver_ledger l;
                l.sent = static_cast<std::uint64_t>(at / 10528);
                l.dropped = at > c.limits[k] ? 10u : 0u;
                l.read = l.sent - l.dropped;
                row.ledger = l;
                row.bytes = l.sent * 1316;
                rows.push_back(row);
            }
            return rows;
        };
        const double limit = *std::min_element(c.limits.begin(), c.limits.end());
        const limit_result found = search_limit(commands, c.floor, model, [&] { return stopped; });
        EXPECT_LE(found.tries.size(), c.most_tries) << limit;
        EXPECT_EQ(found.note, c.note) << limit;
        EXPECT_EQ(found.failed(), *c.note != '\0') << limit;
        ASSERT_EQ(found.limit.has_value(), c.found_at_least.has_value()) << limit;
        if (found.limit) {
            EXPECT_GE(*found.limit, *c.found_at_least) << limit;
            EXPECT_LE(*found.limit, std::max(limit, c.floor)) << limit;
        }
        EXPECT_EQ(found.pacer_bound, c.limits.front() == 5e9) << limit;
        if (found.limit && !found.unpaced_loss_free && !found.pacer_bound) {
            // A pacer that kept time achieved the rate asked of it, exactly.
            EXPECT_TRUE(std::any_of(found.tries.begin(), found.tries.end(), [&](const auto &rows) {
                return rows.front().asked_rate == *found.limit;
            })) << limit;
        }
        if (found.limit) { // the one figure of the try it comes from
            const std::string table = limit_markdown(found), tried = bit_rate_text(*found.limit);
            EXPECT_TRUE(table.find("/ " + tried + ": ") != std::string::npos ||
                        table.find(" " + tried + " (the pacer fell behind): ") !=
                            std::string::npos ||
                        table.find("unpaced " + tried + ": ") != std::string::npos)
                << table;
        }
        EXPECT_EQ(found.first_to_lose,
                  c.limits.size() > 1 ? std::optional<std::string>("receiver 2") : std::nullopt);
    }
}

// The values a command line may give, as the program takes them.
TEST(ConsumersOptions, NumbersAreReadAsWritten) {
    const struct {
        std::vector<const char *> args;
        double seconds, grace, rate;
        unsigned port;
        long pipe_granted;
    } cases[] = {
        {{"-s", "08", "-g", "0"},      8,   0,    0,     0,     0     },
        {{"-s", "1.5", "-g", "0.25"},  1.5, 0.25, 0,     0,     0     },
        {{"-s", ".5", "-g", "3."},     0.5, 3,    0,     0,     0     },
        {{"-r", "38M", "-u", "65535"}, 5,   3,    38e6,  65535, 0     },
        {{"-r", "1.2G", "-u", "1"},    5,   3,    1.2e9, 1,     0     },
        {{"-r", "500k"},               5,   3,    500e3, 0,     0     },
        {{"-r", "2000000"},            5,   3,    2e6,   0,     0     },
        {{"-P", "1"},                  5,   3,    0,     0,     4096  },
        {{"-P", "65537"},              5,   3,    0,     0,     131072},
    };
    for (const auto &c : cases) {
        std::vector<const char *> argv = {"tsflood-consumers", "-t", TSFLOOD_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back("cat");
        argv.push_back(nullptr);
        const parsed_command_line parsed =
            parse_options(static_cast<int>(argv.size() - 1), const_cast<char **>(argv.data()));
        ASSERT_TRUE(parsed.options) << c.args[1] << ": " << parsed.message;
        const run_options &o = *parsed.options;
        EXPECT_EQ(o.seconds, c.seconds) << c.args[1];
        EXPECT_EQ(o.grace, c.grace) << c.args[1];
        EXPECT_EQ(o.rate, c.rate) << c.args[1];
        EXPECT_EQ(o.transport.port, c.port) << c.args[1];
        EXPECT_EQ(o.transport.pipe_granted, c.pipe_granted) << c.args[1];
        EXPECT_EQ(o.commands, std::vector<std::string>{"cat"});
    }
}

// A row says how the consumer ended as it did: an exit status above 128 is
// an exit status, the harness's own ending is told apart, and a torn packet
// shows.
TEST(Row, TheEndingAndThePacketsAreToldAsTheyWere) {
    using e = ending;
    // clang-format off
    const struct {
        ending ended;
        unsigned left_running;
        bool grace_cut;
        std::uint64_t bytes;
        const char *packets, *how;
    } cases[] = {
        {{e::exited, 137, 2.0},        0, false, 1880, "10",               "exit 137 after 2.0 s"},
        {{e::signalled, SIGKILL, 0.5}, 0, false, 1992, "10 and 112 bytes", "signal KILL after 0.5 s"},
        {{e::exited, 0, 5.1},          2, false, 188,  "1",                "exit 0 after 5.1 s; 2 processes it left running: ended"},
        {{e::by_harness, 0, 0},        2, false, 188,  "1",                "still running 3 s after its input ended: ended, with 1 more process"},
        {{e::by_harness, 0, 0},        1, true,  188,  "1",                "still running when the harness was stopped: ended"},
    };
    // clang-format on
    for (const auto &c : cases) {
        consumer_row row;
        row.command = "a | b";
        row.grace = 3;
        row.ended = c.ended;
        row.left_running = c.left_running;
        row.grace_cut = c.grace_cut;
        row.bytes = c.bytes;
        const std::string line = markdown_row(row);
        EXPECT_EQ(line.rfind(std::string("| `a \\| b` | ") + c.packets + " | ", 0), 0u) << line;
        EXPECT_NE(line.find(std::string("| ") + c.how + " |\n"), std::string::npos) << line;
        const auto object = json::parse(json_line(row_json(row)));
        EXPECT_EQ(object["torn_bytes"], c.bytes % 188);
    }
}

// A command's bytes that are not UTF-8 show as \xHH in Markdown and JSON
// alike; its characters that are stay as they are.
TEST(Row, BytesThatAreNotUtf8AreEscapedInBoth) {
    const struct {
        std::string command, shown;
    } cases[] = {
        {"cat # \xff\xfe",         "cat # \\xff\\xfe"          },
        {"echo \xc3\xa9t\xc3\xa9", "echo \xc3\xa9t\xc3\xa9"    }, // été
        {"a \xe2\x82 b",           "a \\xe2\\x82 b"            }, // cut short
        {"\xed\xa0\x80 \xc0\xaf",  "\\xed\\xa0\\x80 \\xc0\\xaf"}, // a surrogate, an overlong /
    };
    for (const auto &c : cases) {
        consumer_row row;
        row.command = c.command;
        EXPECT_EQ(markdown_row(row).rfind("| `" + c.shown + "` |", 0), 0u) << markdown_row(row);
        EXPECT_EQ(json::parse(json_line(row_json(row)))["command"], c.shown);
    }
    // A terminal's control characters, which JSON escapes, show as \xHH in
    // Markdown too; a tab is a space.
    consumer_row row;
    row.command = "printf '\x1b[31m\x01'\tx";
    EXPECT_EQ(markdown_row(row).rfind("| `printf '\\x1b[31m\\x01' x` |", 0), 0u);
}

// What a consumer prints, fed in pieces that cut lines anywhere.
TEST(Said, KeepsFirstAndLastLinesCutAndEscaped) {
    std::string many;
    for (int i = 0; i < 100; ++i) {
        many += "line " + std::to_string(i) + (i % 3 ? "\n" : "\r\n");
    }
    const std::string long_line(300, 'x');
    const struct {
        std::string input;
        std::vector<std::string> first, last;
        std::uint64_t lines;
    } cases[] = {
        {"one\ntwo\r\n\n\nthree",          {"one", "two", "three"},                {},                             3                                                    },
        {"frame=1\rframe=2\r",             {"frame=1", "frame=2"},                 {},                             2                                                    },
        {long_line + "\nend\n",            {std::string(200, 'x') + "…", "end"}, {},                             2                                                    },
        {std::string("G\x1f\xff\x10\0 \\", 7),                                     {"G\\x1f\\xff\\x10\\x00 \\\\"}, {},                                                    1},
        {many,                                {"line 0", "line 1", "line 2", "line 3", "line 4"},                                                                   {},                100},
    };
    for (const auto &c : cases) {
        for (const std::size_t piece : {1u, 7u, 4096u}) {
            consumer_output said;
            for (std::size_t at = 0; at < c.input.size(); at += piece) {
                said.take(c.input.data() + at, std::min(piece, c.input.size() - at));
            }
            said.end();
            EXPECT_EQ(said.first(), c.first) << piece;
            EXPECT_EQ(said.lines(), c.lines) << piece;
            if (c.lines == 100) {
                const auto last = said.last();
                ASSERT_EQ(last.size(), consumer_output::last_kept);
                EXPECT_EQ(last.front(), "line 60");
                EXPECT_EQ(last.back(), "line 99");
            }
        }
    }
    consumer_output said;
    const std::string talk = "start\n1 packet\nnoise\n2 packets\n3 Packets\nbye\n";
    said.take(talk.data(), talk.size());
    EXPECT_EQ(said.speaking(), (std::vector<std::string>{"2 packets", "3 Packets"}));

    // A chunk's lines before its last 40 are only counted: the same lines
    // are kept as when every byte comes alone.
    std::string noise;
    for (unsigned i = 0, x = 1; i < 200000; ++i) {
        x = x * 1103515245 + 12345;
        const unsigned r = x >> 16 & 255;
        noise += r < 24 ? '\n' : r < 32 ? '\r' : r < 40 ? '\xff' : static_cast<char>('a' + r % 26);
    }
    consumer_output whole, bytewise;
    for (std::size_t at = 0; at < noise.size(); at += 65536) {
        whole.take(noise.data() + at, std::min<std::size_t>(65536, noise.size() - at));
    }
    for (const char c : noise) {
        bytewise.take(&c, 1);
    }
    EXPECT_EQ(whole.lines(), bytewise.lines());
    EXPECT_EQ(whole.first(), bytewise.first());
    EXPECT_EQ(whole.last(), bytewise.last());
}

} // namespace

// A sampler whose look at the port fails says so and stops sampling: the
// program goes on to end the consumers' trees, not std::terminate.
TEST(Sampler, AFailureIsSaidNotFatal) {
    struct failing_watch : port_watch {
        look look_at_port() const override {
            throw std::runtime_error("a table that cannot be read");
        }
    } watch;
    tree_sampler sampler(&watch);
    sampler.sample(); // on this thread too
    for (int tries = 0; tries < 100 && sampler.failure().empty(); ++tries) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(sampler.failure(),
              "the sampler of the consumers' processes failed: a table that cannot be read");
}

// Each figure that both a Markdown cell and a JSON value show is the same
// in both, as far as the cell prints it, whatever unit the cell scales it
// to.
TEST(Row, EachFigureIsTheSameInItsCellAndItsValue) {
    consumer_row pipe, udp;
    pipe.bytes = 1'000'000'012;
    pipe.rate = 1.77e9;
    pipe.cpu_seconds = 5.213;
    pipe.peak_rss_kib = 437'000;
    pipe.rss_growth_kib_per_min = 2.6e6;
    udp.datagrams = true;
    udp.bytes = 5000 * 1316;
    udp.rate = 4.75e6;
    udp.asked_rate = 38e6;
    receiver_ledger l;
    l.sent = 5000;
    l.dropped = 12;
    l.missed = 3;
    l.read = 4985;
    udp.ledger = l;
    udp.peak_rss_kib = 3400;
    udp.rss_growth_kib_per_min = -300;
    // A cell's unit, in the JSON value's: bits and bytes, KiB, seconds.
    const std::pair<const char *, double> units[] = {
        {" Gbit/s",  1e9 / 8},
        {" Mbit/s",  1e6 / 8},
        {" kbit/s",  1e3 / 8},
        {" GiB/s",   1 << 30},
        {" MiB/s",   1 << 20},
        {" GiB/min", 1 << 20},
        {" MiB/min", 1 << 10},
        {" GiB",     1 << 20},
        {" MiB",     1 << 10},
        {" s",       1      },
    };
    for (const consumer_row *row : {&pipe, &udp}) {
        for (const auto &c : row_columns) {
            if (c.heading == nullptr || c.key == nullptr || !numeric(c.of) ||
                (c.datagrams_only && !row->datagrams)) {
                continue;
            }
            const std::string cell = c.cell(*row);
            char *end = nullptr;
            const double number = std::strtod(cell.c_str(), &end);
            const std::string rest = end;
            const std::size_t point = cell.find('.');
            const std::size_t digits = static_cast<std::size_t>(end - cell.c_str());
            const int decimals =
                point < digits ? static_cast<int>(digits - point - 1) : 0; // as printed
            double scale = 1;
            for (const auto &[suffix, factor] : units) {
                if (rest.rfind(suffix, 0) == 0) {
                    scale = factor;
                    break;
                }
            }
            const double value = c.value(*row).get<double>();
            EXPECT_NEAR(number * scale, value, 0.5 * std::pow(10, -decimals) * scale + 1e-9)
                << c.key << ": " << cell;
        }
    }
}
