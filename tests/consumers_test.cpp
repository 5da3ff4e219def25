// SPDX-License-Identifier: MIT
// Runs tsflood-consumers on small synthetic consumers (shell one-liners, and
// socat as a UDP receiver) and checks its rows against what the consumers
// counted themselves, how they ended and what was left running; and checks
// how it keeps what a consumer says.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "harness.h"
#include "limit.h"
#include "options.h"
#include "procfs.h"
#include "said.h"

namespace {

using namespace harness;
using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;

TEST(ConsumersOptions, AWrongCommandLineStartsNothing) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const struct {
        std::vector<std::string> args;
        const char *said;
    } cases[] = {
        {{"-s", "abc", "cat"},
         "-s takes a decimal number of seconds, above 0 and at most 1000000, not 'abc'"                    },
        {{"-s", "0", "cat"},                       "not '0'"                                               },
        {{"-s", "1e3", "cat"},                     "not '1e3'"                                             },
        {{"-s", "10000000", "cat"},                "not '10000000'"                                        },
        {{"--json=1", "cat"},                      "--json=1: no such option, or it takes no value"        },
        {{"-s", "0x10", "cat"},                    "not '0x10'"                                            },
        {{"-g", "-1", "cat"},
         "-g takes a decimal number of seconds, 0 or more and at most 1000000, not '-1'"                   },
        {{"-u", "0", "cat"},
         "-u takes a UDP PORT from 1 to 65535, or a multicast GROUP:PORT, not '0'"                         },
        {{"-u", "70000", "cat"},                   "not '70000'"                                           },
        {{"-u", "abc", "cat"},                     "not 'abc'"                                             },
        {{"-P", "abc", "cat"},                     "-P takes a number of bytes, not 'abc'"                 },
        {{"-P", "4294967296", "cat"},              "-P 4294967296 is past the largest pipe"                },
        {{"-P", "4096", "-u", "5000", "cat"},      "-P sizes a pipe, -u sends datagrams: choose one"       },
        {{},                                       "no COMMAND to flood"                                   },
        {{"-s", "1"},                              "no COMMAND to flood"                                   },
        {{"-t", "/nonexistent/tsflood", "cat"},    "-t /nonexistent/tsflood: no such executable file"      },
        {{"-t", "/etc/passwd", "cat"},             "-t /etc/passwd: no such executable file"               },
        {{"-x", "cat"},                            "-x: no such option"                                    },
        {{"-s", "1", ""},                          "a COMMAND is empty"                                    },
        {{"-s", "1", "cat", " \t "},               "a COMMAND is empty"                                    },
        {{"-s", "1", "cat >/dev/null", "-s", "2"},
         "'-s' after the first COMMAND: options go before the commands"                                    },
        {{"-yx", "cat"},                           "-y: no such option"                                    },
        {{"--jsn", "cat"},                         "--jsn: no such option"                                 },
        {{"-s"},                                   "-s needs a value"                                      },
        {{"-r", "0", "cat"},                       "-r takes a rate of 1k or more in bits per second"      },
        {{"-r", "0.999k", "cat"},                  "not '0.999k'"                                          },
        {{"-u", "ff0e::1:2:5000", "cat"},          "an IPv6 group goes in brackets"                        },
        {{"-r", "10m", "cat"},                     "not '10m'"                                             },
        {{"-r", "10M", "-P", "4096", "cat"},       "-P goes without -r"                                    },
        {{"--find-limit", "cat"},                  "--find-limit counts the datagrams a consumer drops"    },
        {{"--rtp", "cat"},                         "--rtp puts an RTP header on each datagram: it needs -u"},
        {{"-u", "127.0.0.1:5000", "cat"},          "-u 127.0.0.1:5000: not a multicast group"              },
        {{"-u", "239.1.1.1:5000:1", "cat"},        "-u 239.1.1.1:5000:1: not a multicast group"            },
        {{"-u", "[::1]:5000", "cat"},              "-u [::1]:5000: not a multicast group"                  },
        {{"-u", "239.1.1.1:0", "cat"},             "not '239.1.1.1:0'"                                     },
        {{"-u", "5000", "--together", "cat"},
         "--together floods every COMMAND at once on one group"                                            },
        {{"--netns", "cat"},                       "--netns gives UDP a network of its own: it needs -u"   },
        {{"-r", "1000G", "cat"},                   "-r 1000.00 Gbit/s is past the unpaced flood"           },
        {{"-r", "1M", "--burst", "0", "cat"},
         "--burst takes a number of pieces from 1 to 64, not '0'"                                          },
        {{"-r", "1M", "--burst", "65", "cat"},     "not '65'"                                              },
        {{"--burst", "4", "cat"},                  "--burst bounds the pieces a paced flood sends"         },
        {{"-r", "1M", "--burst"},                  "--burst needs a value"                                 },
    };
    for (const auto &c : cases) {
        if (std::string(c.said).find("past the unpaced flood") != std::string::npos &&
            !harness_runs()) {
            continue; // known from a flood, which needs the harness to run
        }
        const outcome_t o = run(c.args);
        EXPECT_EQ(o.status, 2) << c.said;
        EXPECT_EQ(o.out, "") << c.said;
        EXPECT_NE(o.err.find(c.said), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("\nusage: tsflood-consumers ["), std::string::npos) << o.err;
        EXPECT_LT(o.seconds, 2) << c.said;
    }
    EXPECT_EQ(left_running(), 0u);
}

// Through a pipe, each consumer ends its own way; the row says which, counts
// what it was sent as the consumer counted it, and nothing is left running.
TEST(Consumers, EachEndingIsToldAndNothingIsLeft) {
    REQUIRE_HARNESS();
    const struct {
        const char *command;
        json ended;
        unsigned left_running;
    } cases[] = {
        {"wc -c",                                            {{"exit", 0}},                0},
        {"cat >/dev/null; exit 137",                         {{"exit", 137}},              0},
        {"exit 255",                                         {{"exit", 255}},              0},
        {"kill -KILL $$",                                    {{"signal", "KILL"}},         0},
        {"trap '' TERM; cat >/dev/null; sleep 61",           {{"ended_by_harness", true}}, 2},
        {"head -c 1000 >/dev/null; sleep 62",                {{"ended_by_harness", true}}, 2},
        {"setsid sleep 63 & cat >/dev/null",                 {{"exit", 0}},                1},
        {"(setsid sh -c 'sleep 64 &' &); cat >/dev/null",    {{"exit", 0}},                1},
        {"printf 'Read 7 TS packets\\nbye'; cat >/dev/null", {{"exit", 0}},                0},
        {"-x",                                               {{"exit", 127}},              0},
        {"cat >/dev/null # \xff\xfe, not UTF-8",             {{"exit", 0}},                0},
    };
    std::vector<std::string> args = {"--json", "-s", "0.5", "-g", "0.5", "--"};
    for (const auto &c : cases) {
        args.push_back(c.command);
    }
    const outcome_t o = run(args); // status 0 or 1: whether 'exit 255' got any bytes is a race
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), std::size(cases)) << o.out << o.err;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const json &row = rows[i];
        if (i != 10) { // not UTF-8: below
            EXPECT_EQ(row["command"], cases[i].command);
        }
        EXPECT_EQ(row["ended"], cases[i].ended) << row;
        EXPECT_EQ(row["left_running"], cases[i].left_running) << row;
        EXPECT_EQ(row["pipe_bytes"], 65536) << row;
        EXPECT_GT(row["cpu_seconds"].get<double>(), 0) << row;
    }
    EXPECT_EQ(rows[0]["said"], json::array({std::to_string(bytes_sent(rows[0]))}));
    EXPECT_EQ(rows[0]["torn_bytes"], 0);
    EXPECT_NE(rows[5]["torn_bytes"], 0) << "a consumer that stops reading tears the last packet";
    EXPECT_EQ(rows[8]["said"], json::array({"Read 7 TS packets"}));
    EXPECT_EQ(rows[8]["output"]["first"], json::array({"Read 7 TS packets", "bye"}));
    // Each byte that is not UTF-8 shows as \\xHH in the JSON.
    EXPECT_EQ(rows[10]["command"], "cat >/dev/null # \\xff\\xfe, not UTF-8");
    EXPECT_EQ(left_running(), 0u);

    // Nobody reads the table: nothing is flooded, and the status says so.
    const auto began = clock_type::now();
    const int full = std::system(
        (std::string(HARNESS_PATH) + " -s 5 'cat >/dev/null' >/dev/full 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(full), 1);
    EXPECT_LT(clock_type::now() - began, std::chrono::seconds(2));

    const outcome_t no_flood = run({"--json", "-t", "/bin/true", "cat >/dev/null"});
    EXPECT_EQ(no_flood.status, 1) << "a consumer was sent nothing";
    ASSERT_EQ(no_flood.rows().size(), 1u) << no_flood.out << no_flood.err;
    EXPECT_EQ(no_flood.rows()[0]["flood_end"], "tsflood ended: exit 0");
}

TEST(Consumers, TsreportCountsEveryPacketSent) {
    REQUIRE_HARNESS();
    if (!installed("tsreport")) {
        GTEST_SKIP() << "tstools' tsreport is not installed";
    }
    const outcome_t o = run({"--json", "-s", "1", "-P", "1", "tsreport -stdin"});
    EXPECT_NE(o.err.find("-P 1: the kernel grants 4096 bytes"), std::string::npos) << o.err;
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
    EXPECT_EQ(rows[0]["said"],
              json::array({"Read " + rows[0]["packets_sent"].dump() + " TS packets"}));
    EXPECT_EQ(rows[0]["pipe_bytes"], 4096);
    EXPECT_EQ(o.status, 0);
}

// A stop signal at any moment of start-up or flood is kept: the flood ends
// on a packet boundary, the consumer counts what the row says, and the
// harness ends by the signal. A second signal stops it at once.
TEST(Consumers, StopSignalsAreNeverLost) {
    REQUIRE_HARNESS();
    // Every signal that would end the program by default ends the run so,
    // the consumer's whole tree with it.
    const std::pair<double, int> stops[] = {
        {0.0,   SIGTERM     },
        {0.001, SIGTERM     },
        {0.005, SIGTERM     },
        {0.02,  SIGTERM     },
        {0.3,   SIGTERM     },
        {0.3,   SIGUSR1     },
        {0.3,   SIGALRM     },
        {0.3,   SIGRTMIN + 3},
    };
    for (const auto &[at, sig] : stops) {
        const std::vector<std::string> args = {"--json", "-s", "20", "sleep 66 & wc -c"};
        const outcome_t o = run(args, signalled({
                                          {at, sig}
        }));
        EXPECT_EQ(o.status, 128 + sig) << at;
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), 1u) << at << " " << sig << o.out << o.err;
        EXPECT_EQ(rows[0]["said"], json::array({std::to_string(bytes_sent(rows[0]))})) << at;
        EXPECT_EQ(rows[0]["torn_bytes"], 0) << at;
        EXPECT_LT(o.seconds, at + 1.5);
        EXPECT_EQ(left_running(), 0u) << sig;
    }
    const schedule_t twice_int = {
        {0.3, SIGINT},
        {0.5, SIGINT}
    };
    const outcome_t twice =
        run({"--json", "-s", "20", "-g", "20", "head -c 1000 >/dev/null; sleep 65"},
            signalled(twice_int));
    EXPECT_EQ(twice.status, 128 + SIGINT);
    const auto rows = twice.rows();
    ASSERT_EQ(rows.size(), 1u) << twice.out << twice.err;
    EXPECT_NE(rows[0]["torn_bytes"], 0);
    EXPECT_EQ(rows[0]["flood_end"], "flood stopped by SIGINT at 0.3 s, then at once by a second");
    EXPECT_LT(twice.seconds, 2.0) << "no wait for the packet, no grace";

    // Ignored by its caller (nohup), a signal stays ignored.
    const schedule_t hangup = {
        {0.2, SIGHUP },
        {0.4, SIGTERM}
    };
    const outcome_t nohup = run({"--json", "-s", "20", "wc -c"}, signalled(hangup, SIGHUP));
    EXPECT_EQ(nohup.status, 128 + SIGTERM);
    ASSERT_EQ(nohup.rows().size(), 1u) << nohup.out << nohup.err;
    EXPECT_EQ(nohup.rows()[0]["flood_end"].get<std::string>().rfind("flood stopped by SIGTERM", 0),
              0u);
    EXPECT_EQ(left_running(), 0u);
}

// Killed outright, the harness leaves nothing flooding: tsflood dies with
// it, and the consumer meets the end of its input.
TEST(Consumers, AKilledHarnessLeavesNoFlood) {
    REQUIRE_HARNESS();
    const schedule_t kill_at = {
        {0.3, SIGKILL}
    };
    const outcome_t o = run({"-s", "20", "cat >/dev/null"}, signalled(kill_at));
    EXPECT_EQ(o.status, 128 + SIGKILL);
    EXPECT_EQ(left_running(2), 0u);
}

// A consumer that keeps what it reads shows a growing memory, one that
// keeps nothing does not.
TEST(Consumers, MemoryGrowthShowsWhatAConsumerKeeps) {
    REQUIRE_HARNESS();
    const outcome_t o =
        run({"--json", "-s", "2.5", "-g", "0", "cat >/dev/null",
             "while head -c 4000000; do sleep 0.1; done | tail -c 500M >/dev/null"});
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), 2u) << o.out << o.err;
    EXPECT_LT(std::abs(rows[0]["rss_growth_kib_per_min"].get<double>()), 1024) << rows[0];
    EXPECT_GT(rows[1]["rss_growth_kib_per_min"].get<double>(), 200 * 1024) << rows[1];
    EXPECT_GT(rows[1]["peak_rss_kib"].get<double>(), 40 * 1024) << rows[1];
    EXPECT_GE(rows[1]["rss_kib"].size(), 8u);
}

// Over UDP the datagrams the consumer read are those sent less those its
// own sockets dropped, whichever the address family; a socket that closes
// keeps its count and refuses the rest; the wait for a listener is not
// part of -s; one that never listens is sent nothing; a port held by another
// process refuses the run.
TEST(Consumers, UdpDropsAreCountedAtTheConsumersOwnSockets) {
    REQUIRE_HARNESS();
    if (!installed("socat")) {
        GTEST_SKIP() << "socat is not installed";
    }
    const std::string port = std::to_string(free_port());
    const outcome_t o = run({"--json", "-s", "1.5", "-g", "2", "-u", port,
                             "socat -u -T 0.5 UDP-RECV:" + port + " - | wc -c",
                             "socat -u -T 0.5 UDP6-RECV:" + port + ",bind=[::1] - | wc -c",
                             "timeout 0.7 socat -u UDP-RECV:" + port + ",rcvbuf=2048 /dev/null",
                             "sleep 2; socat -u UDP-RECV:" + port + " /dev/null", "exit 3",
                             "socat -u -T 0.5 UDP-RECV:" + port + ",bind=127.0.0.2 - | wc -c"});
    EXPECT_EQ(o.status, 1) << "the last was sent nothing";
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), 6u) << o.out << o.err;
    for (const std::size_t i : {0u, 1u, 5u}) {
        const auto read = (rows[i]["datagrams_sent"].get<std::uint64_t>() -
                           rows[i]["dropped"].get<std::uint64_t>()) *
                          1316;
        EXPECT_EQ(rows[i]["said"], json::array({std::to_string(read)})) << rows[i];
        EXPECT_EQ(bytes_sent(rows[i]), rows[i]["datagrams_sent"].get<std::uint64_t>() * 1316);
    }
    EXPECT_EQ(rows[0]["to"], "127.0.0.1:" + port);
    EXPECT_EQ(rows[1]["to"], "[::1]:" + port);
    EXPECT_EQ(rows[5]["to"], "127.0.0.2:" + port);
    EXPECT_GT(rows[2]["dropped"].get<std::uint64_t>(), 0u) << rows[2];
    EXPECT_NEAR(rows[2]["sockets"][0]["closed_at_s"].get<double>(), 0.7, 0.3) << rows[2];
    EXPECT_EQ(rows[2]["flood_end"].get<std::string>().find("127.0.0.1:" + port + " refused"), 0u);
    EXPECT_GT(rows[3]["flood_seconds"].get<double>(), 1.4) << rows[3];
    EXPECT_GT(rows[3]["datagrams_sent"].get<std::uint64_t>(), 0u);
    EXPECT_EQ(rows[4]["flood_end"], "never listened on port " + port);
    EXPECT_EQ(rows[4]["ended"], json({
                                    {"exit", 3}
    }));

    const pid_t other = fork();
    if (other == 0) {
        execlp("socat", "socat", "-u", ("UDP-RECV:" + port).c_str(), "/dev/null", nullptr);
        _exit(127);
    }
    for (int tries = 0; tries < 100 && udp_sockets(static_cast<unsigned>(std::stoul(port))).empty();
         ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const outcome_t taken = run({"-u", port, "socat -u UDP-RECV:" + port + " /dev/null"});
    kill(other, SIGTERM);
    waitpid(other, nullptr, 0);
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("UDP port " + port + " is in use by pid " + std::to_string(other) +
                             " (socat)"),
              std::string::npos)
        << taken.err;
    EXPECT_EQ(left_running(), 0u);
}

// A socket that another process opens on the port during the run, and
// that drops datagrams of its own, counts for nothing in the row; the row
// names its holder, once for its two sockets.
TEST(Consumers, OnlyTheConsumersOwnSocketsCount) {
    REQUIRE_HARNESS();
    if (!installed("socat")) {
        GTEST_SKIP() << "socat is not installed";
    }
    const unsigned port = free_port();
    std::thread other([port] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Two IPv6 sockets (any, then ::1) beside the consumer's IPv4 one.
        int sockets[2];
        sockaddr_in6 at{};
        at.sin6_family = AF_INET6;
        at.sin6_port = htons(static_cast<std::uint16_t>(port));
        for (int &s : sockets) {
            s = socket(AF_INET6, SOCK_DGRAM, 0);
            const int tiny = 1;
            setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &tiny, sizeof tiny);
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &tiny, sizeof tiny);
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
            bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at);
            at.sin6_addr = in6addr_loopback;
        }
        const int s = sockets[1];
        const char datagram[1316] = {};
        for (int i = 0; i < 100; ++i) {
            sendto(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&at), sizeof at);
        }
        std::this_thread::sleep_for(std::chrono::seconds(3));
        close(sockets[0]);
        close(sockets[1]);
    });
    const std::string p = std::to_string(port);
    const outcome_t o =
        run({"--json", "-s", "1", "-u", p, "socat -u -T 0.5 UDP-RECV:" + p + " - | wc -c"});
    other.join();
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
    const auto read =
        (rows[0]["datagrams_sent"].get<std::uint64_t>() - rows[0]["dropped"].get<std::uint64_t>()) *
        1316;
    EXPECT_EQ(rows[0]["said"], json::array({std::to_string(read)})) << rows[0];
    EXPECT_EQ(rows[0]["sockets"].size(), 1u) << rows[0];
    EXPECT_EQ(rows[0]["other_sockets"],
              json::array({"pid " + std::to_string(getpid()) + " (consumers_test)"}))
        << "one holder, named once";
}

// Paced, the flood goes at the rate asked, through a pipe and over UDP, and
// every byte still arrives. A pacer that sent each piece as it was due is
// not said to fall short, however few pieces the flood's time held.
TEST(Consumers, APacedFloodGoesAtTheRateAsked) {
    REQUIRE_HARNESS();
    const std::string port = std::to_string(free_port());
    const struct {
        bool udp;
        const char *seconds, *rate;
        double bits, within; // bits per second asked, and how close the rate must be
    } cases[] = {
  // Within 3% in one second's window: a busy machine may hold the
  // pacer up that long; bench/pacing measures how close it keeps.
        {false, "2",    "12M",  12e6, 36e4},
        {true,  "2",    "12M",  12e6, 36e4},
 // 15 pieces, each on time: a rate over 0.55 s of them is 4% short.
        {false, "1.55", "100k", 1e5,  1e4 },
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--json", "-s", c.seconds, "-r", c.rate, "wc -c"};
        if (c.udp) {
            args.back() = std::string(MODEL_PATH) + " udp " + port;
            args.insert(args.end() - 1, {"-u", port});
        }
        const outcome_t o = run(args);
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
        const json &row = rows[0];
        EXPECT_EQ(row["asked_bits_per_s"], c.bits);
        EXPECT_NEAR(row["rate_bytes_per_s"].get<double>() * 8, c.bits, c.within) << row;
        EXPECT_EQ(row["paced_bits_per_s"], c.bits) << row;
        EXPECT_EQ(row["notes"], json::array()) << row;
        if (c.udp) {
            EXPECT_EQ(row["dropped"], 0) << row;
        }
        EXPECT_EQ(row["said"], json::array({std::to_string(bytes_sent(row))})) << row;
    }
}

// However fast the pace, no more pieces go back to back than its burst (or
// the 4 of a catch-up), as the receiver's clock sees them, and the row says
// which burst it used. (bench/pacing measures how even the pace is.)
TEST(Consumers, TheBurstBoundsThePiecesSentBackToBack) {
    REQUIRE_HARNESS();
    const struct {
        const char *rate, *most, *gap_us;
        unsigned burst;
    } cases[] = {
        {"100M", "1", "105.28", 1},
        {"500M", "6", "21.056", 6},
    };
    for (const auto &c : cases) {
        const std::string port = std::to_string(free_port());
        const outcome_t o =
            run({"--json", "-r", c.rate, "--burst", c.most, "-s", "0.6", "-g", "1", "-u", port,
                 std::string(MODEL_PATH) + " runs " + port + " " + c.gap_us});
        if (o.err.find("past the unpaced flood") != std::string::npos) {
            continue; // a machine, or an emulated one, that floods no faster
        }
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
        EXPECT_EQ(rows[0]["burst"], c.burst) << rows[0];
        unsigned long long longest = 0, datagrams = 0;
        const std::string said = rows[0]["said"].empty() ? "" : rows[0]["said"][0];
        ASSERT_EQ(std::sscanf(said.c_str(), "longest run %llu of %llu", &longest, &datagrams), 2)
            << rows[0];
        EXPECT_GT(datagrams, 0u);
        EXPECT_LE(longest, std::max(c.burst, 4u)) << c.rate << " in bursts of " << c.burst;
    }
}

// A consumer that reads nothing drops at any rate: the search stops at the
// floor, each try with the consumer started afresh.
TEST(Consumers, AConsumerThatReadsNothingHasNoLossFreeRate) {
    REQUIRE_HARNESS();
    const std::string port = std::to_string(free_port());
    const outcome_t o = run({"--json", "--find-limit", "-s", "1", "-g", "0", "-u", port,
                             std::string(MODEL_PATH) + " deaf " + port});
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
    EXPECT_EQ(rows[0]["limit_bits_per_s"], nullptr) << rows[0];
    ASSERT_EQ(rows[0]["tries"].size(), 2u);
    EXPECT_EQ(rows[0]["tries"][0]["asked_bits_per_s"], nullptr);
    EXPECT_EQ(rows[0]["tries"][1]["asked_bits_per_s"], 1e6);
    EXPECT_GT(rows[0]["tries"][1]["dropped"].get<double>(), 0);
    EXPECT_EQ(left_running(), 0u);
}

// What the harness holds is not the consumer's: a consumer sees only its
// own three descriptors, and the harness's own never take standard output
// or error, closed or not; a descriptor it cannot get ends the row, saying
// why, and nothing of tsflood's reaches the harness's standard error.
TEST(Consumers, TheHarnesssDescriptorsAreItsOwn) {
    REQUIRE_HARNESS();
    const int inherited = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const struct {
        launch how;
        std::vector<std::string> args;
        int status;
        const char *out, *err;
    } cases[] = {
        {{}, {"--json", "-s", "0.3", std::string(MODEL_PATH) + " fds"}, 0, "[\"fds: 0 1 2\"]",    ""                         },
        {{}, {"--json", "-s", "0.3", "-P", "1", "cat >/dev/null"},      0, "",                    "the kernel grants 4096"   },
        {{},
         {"--json", "-s", "0.3", "-P", "1", "cat >/dev/null"},
         1,                                                                "",
         ""                                                                                                                  }, // standard error closed
        {{}, {"-s", "0.3", "cat >/dev/null"},                           1, "",                    "standard output is closed"},
        {{}, {"-s", "0.3", "cat >/dev/null"},                           1, "Too many open files", "Too many open files"      },
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
#ifdef TSFLOOD_SANITIZED
        if (i == 4) {
            continue; // the sanitizers' runtime wants descriptors of its own to check memory
        }
#endif
        launch how = cases[i].how;
        how.extra_fd = i == 0 ? inherited : -1;
        how.closed = i == 2   ? std::vector{STDERR_FILENO}
                     : i == 3 ? std::vector{STDOUT_FILENO}
                              : std::vector<int>{};
        how.most_fds = i == 4 ? 12 : 0;
        const outcome_t o = run(cases[i].args, how);
        EXPECT_EQ(o.status, cases[i].status) << i << o.out << o.err;
        EXPECT_NE(o.out.find(cases[i].out), std::string::npos) << i << o.out;
        EXPECT_NE(o.err.find(cases[i].err), std::string::npos) << i << o.err;
        EXPECT_EQ(o.err.find("written:"), std::string::npos) << i << o.err;
    }
    close(inherited);
    EXPECT_EQ(left_running(), 0u);
}

// tsflood (or what -t names) runs in a session of its own: what it starts
// is ended with it and is not the consumer's, and a flood it cuts short, by
// an exit or by any signal, is said and ends the run with status 1.
TEST(Consumers, TsfloodIsEndedApartFromTheConsumer) {
    REQUIRE_HARNESS();
    const std::string tsflood = TSFLOOD_PATH;
    const struct {
        std::string program;
        const char *rate; // -r, which has tsflood measured first
        const char *seconds;
        json flood_end;
        int status;
    } cases[] = {
        {script("forks",     "sleep 69 &\nexec " + tsflood),                   "0",  "1", nullptr,                 0},
        {script("escapes",   "setsid sleep 70 &\nexec " + tsflood),            "1M", "1", nullptr,                 0},
        {script("exits",     "timeout 0.3 " + tsflood + "\nexit 3"),           "0",  "1", "tsflood ended: exit 3",
         1                                                                                                          },
        {script("signalled", "kill -" + std::to_string(SIGRTMIN + 3) + " $$"), "0",  "1",
         "tsflood ended: signal RTMIN+3",                                                                          1},
        {script("silent",    "exec sleep 71"),                                 "0",  "1", "it was sent nothing",   1},
 // A flood that stops moving while the consumer still reads failed.
        {script("stalls",    "head -c 1000 /dev/zero; exec sleep 72"),         "0",  "3",
         "tsflood gave nothing for 2.0 s while the consumer waited for more: the flood ended at ",                 1},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--json", "-s", c.seconds, "-g", "1", "-t", c.program};
        if (std::string(c.rate) != "0") {
            args.insert(args.end(), {"-r", c.rate});
        }
        args.push_back("cat >/dev/null");
        const outcome_t o = run(args);
        EXPECT_EQ(o.status, c.status) << c.program << o.err;
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), 1u) << c.program << o.out << o.err;
        const json &end = rows[0]["flood_end"];
        EXPECT_EQ(
            end.is_string() && c.flood_end.is_string()
                ? json(end.get<std::string>().substr(0, c.flood_end.get<std::string>().size()))
                : end,
            c.flood_end)
            << rows[0];
        EXPECT_EQ(rows[0]["left_running"], 0) << rows[0];
        EXPECT_EQ(rows[0]["ended"], json({
                                        {"exit", 0}
        }))
            << rows[0];
        if (c.status != 0) {
            EXPECT_NE(o.err.find("cat >/dev/null: " + c.flood_end.get<std::string>()),
                      std::string::npos)
                << o.err;
        }
        EXPECT_EQ(left_running(), 0u) << c.program;
    }
    // tsflood that gives nothing is the program's failure, not the command
    // line's: exit status 1 without the usage.
    const outcome_t silent =
        run({"-r", "1M", "-t", script("silent", "exec sleep 73"), "cat >/dev/null"});
    EXPECT_EQ(silent.status, 1) << silent.err;
    EXPECT_NE(silent.err.find("gave no flood within 2 s"), std::string::npos) << silent.err;
    EXPECT_EQ(silent.err.find("usage:"), std::string::npos) << silent.err;
}

// A stop signal is acted on at once whatever the harness is doing: while it
// measures the unpaced flood, between the pieces of a slow paced flood, or
// while the rest of a packet goes after the time is up (then no grace, but
// the flood is judged). Sent at once, it is held when the caller blocks it
// before the start.
TEST(Consumers, AStopSignalIsActedOnInEveryPhase) {
    REQUIRE_HARNESS();
    const std::string sleeper = script("sleeper", "exec sleep 30");
    launch at_once = signalled({
        {0, SIGINT}
    });
    at_once.blocked = true;
    const struct {
        std::vector<std::string> args;
        launch how;
        std::size_t rows;
        double most_seconds;
        const char *flood_end, *note;
    } cases[] = {
        {{"-r", "1M", "-t", sleeper, "cat"},                                                         signalled({{0.3, SIGTERM}}), 0, 1.5, "",                                 ""                                               },
        {{"-r", "1k", "-s", "20", "-g", "0", "--require", "cpu >= 0", "cat >/dev/null"},
         signalled({{1.5, SIGTERM}}),
         1,                                                                                                                          3,
         "flood stopped by SIGTERM",                                                                                                                                          ""                                               },
        {{"-s", "1", "-g", "20", "--require", "cpu >= 0", "{ head -c 1000 >/dev/null; sleep 68; }"},
         signalled({{1.3, SIGTERM}}),
         1,                                                                                                                          4,
         "",                                                                                                                                                                  "stopped by SIGTERM as its flood ended: no grace"},
        {{"-s", "5", "wc -c"},                                                                       at_once,                     1, 2,   "flood stopped by SIGINT at 0.0 s", ""                                               },
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const outcome_t o = run(args, c.how);
        EXPECT_EQ(o.status, 128 + c.how.signals[0].second) << c.args[1] << o.err;
        EXPECT_LT(o.seconds, c.most_seconds) << c.args[1];
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), c.rows) << c.args[1] << o.out << o.err;
        if (c.rows > 0) {
            const std::string end = rows[0]["flood_end"].is_null() ? "" : rows[0]["flood_end"];
            EXPECT_EQ(end.rfind(c.flood_end, 0), 0u) << rows[0];
            EXPECT_EQ(rows[0]["notes"].dump().find(c.note) != std::string::npos, true) << rows[0];
            // A flood stopped before its time was up is not judged: it meets nothing.
            if (rows[0].contains("requirements")) {
                EXPECT_EQ(rows[0]["requirements"][0]["met"], end.empty()) << rows[0];
            }
        }
        EXPECT_EQ(left_running(), 0u) << c.args[1];
    }
}

// The rate is what the consumer took over half a second at least, whether
// the flood lasts just over a second or the harness is stopped part-way,
// which the row says.
TEST(Consumers, TheRateIsNeverTakenOverAFewMilliseconds) {
    REQUIRE_HARNESS();
    const std::string port = std::to_string(free_port());
    const std::string receiver = std::string(MODEL_PATH) + " udp " + port;
    const struct {
        std::vector<std::string> args;
        schedule_t signals;
        double at_least;            // of the whole flood's average
        std::optional<double> rate; // bits per second, within 2%
    } cases[] = {
        {{"-s", "1", "cat >/dev/null"},              {},                               0.5, {}   },
        {{"-s", "1.05", "cat >/dev/null"},           {},                               0.5, {}   },
        {{"-s", "4", "cat >/dev/null"},              {{0.5, SIGSTOP}, {2.5, SIGCONT}}, 1.4, {}   },
 // Three 10528-bit pieces in the 3 s from the first second on.
        {{"-s", "4", "-r", "8k", "wc -c"},           {},                               0,   10528},
 // No burst after a stop: the pace starts afresh.
        {{"-s", "3", "-r", "50M", "cat >/dev/null"}, {{0.6, SIGSTOP}, {1.6, SIGCONT}}, 0,   50e6 },
 // A stop that lasts past the flood's end is said too.
        {{"-s", "1", "-u", port, receiver},          {{0.4, SIGSTOP}, {2, SIGCONT}},   0,   {}   },
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const outcome_t o = run(args, signalled(c.signals));
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
        const json &row = rows[0];
        ASSERT_FALSE(row["rate_bytes_per_s"].is_null()) << row;
        const double rate = row["rate_bytes_per_s"].get<double>();
        const double average =
            static_cast<double>(bytes_sent(row)) / row["flood_seconds"].get<double>();
        EXPECT_GT(rate, c.at_least * average) << row;
        if (c.rate) {
            EXPECT_NEAR(rate * 8, *c.rate, *c.rate / 50) << row;
        }
        EXPECT_EQ(row["harness_continued_at_s"].size(), c.signals.empty() ? 0u : 1u) << row;
    }
}

// A process of the tree that ends takes its memory with it, which is not
// the consumer shrinking, however slowly it gives it back: twenty that
// each hold 5 MiB from the start and give it back over 150 ms as they
// end, one after another through the flood, are no growth either way.
// One whose parent ignores SIGCHLD is reaped by the kernel, and its CPU
// time still counts.
TEST(Consumers, AProcessThatEndsIsNotGrowthAndItsCpuCounts) {
    REQUIRE_HARNESS();
    const std::string model = MODEL_PATH;
    std::string twenty;
    for (int k = 0; k < 20; ++k) {
        twenty += model + " hold 5 " + std::to_string(1.1 + 0.08 * k) + " 150 & ";
    }
    // Paced, so that the flood leaves them the CPU to fill their memory in
    // the flood's first second.
    const outcome_t o =
        run({"--json", "-s", "3.5", "-g", "1", "-r", "10M", model + " hold 200 2 & cat >/dev/null",
             twenty + "cat >/dev/null", model + " orphan-spin 1.5"});
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), 3u) << o.out << o.err;
    EXPECT_GT(rows[0]["peak_rss_kib"].get<double>(), 200 * 1024) << rows[0];
    // Its end is never shrinkage. Its filling is growth only where it
    // outlasts the flood's first second, as it may on a busy machine.
    const double growth = rows[0]["rss_growth_kib_per_min"].get<double>();
    EXPECT_GT(growth, -20 * 1024) << rows[0];
    for (const auto &sample : rows[0]["rss_kib"]) {
        if (sample[1].get<double>() > 200 * 1024) {
            EXPECT_TRUE(sample[0].get<double>() > 0.9 || growth < 20 * 1024) << rows[0];
            break;
        }
    }
    EXPECT_GT(rows[1]["peak_rss_kib"].get<double>(), 100 * 1024) << rows[1];
    const double twenty_growth = rows[1]["rss_growth_kib_per_min"].get<double>();
    EXPECT_GT(twenty_growth, -20 * 1024) << rows[1];
    for (const auto &sample : rows[1]["rss_kib"]) {
        if (sample[1].get<double>() > 100 * 1024) {
            EXPECT_TRUE(sample[0].get<double>() > 0.9 || twenty_growth < 20 * 1024) << rows[1];
            break;
        }
    }
    EXPECT_NEAR(rows[2]["cpu_seconds"].get<double>(), 1.5, 0.15) << rows[2];
    EXPECT_EQ(left_running(), 0u);
}

// Datagrams from another sender reach the consumer's socket too: when its
// drops during the flood pass what reached it of the flood, the row says
// so, and its ledger still balances.
TEST(Consumers, AnotherSenderToThePortIsSaid) {
    REQUIRE_HARNESS();
    const unsigned port = free_port();
    std::thread other([port] {
        for (int tries = 0; tries < 100 && udp_sockets(port).empty(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(400)); // into the flood
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in to{
            AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        const char datagram[1316] = {};
        for (int i = 0; i < 2000; ++i) {
            sendto(s, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr *>(&to),
                   sizeof to);
        }
        close(s);
    });
    const std::string p = std::to_string(port);
    const outcome_t o = run({"--json", "-r", "1M", "-s", "1", "-g", "0", "-u", p,
                             std::string(MODEL_PATH) + " deaf " + p});
    other.join();
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
    EXPECT_GT(rows[0]["sockets"][0]["dropped"].get<std::uint64_t>(),
              rows[0]["datagrams_sent"].get<std::uint64_t>());
    EXPECT_EQ(rows[0]["dropped"].get<std::uint64_t>() + rows[0]["read"].get<std::uint64_t>(),
              rows[0]["datagrams_sent"].get<std::uint64_t>());
    EXPECT_NE(rows[0]["notes"].dump().find("another sender"), std::string::npos) << rows[0];
}

// A try whose consumer ends on its first datagram, refusing the rest, or
// that never listens, is not loss-free: the search says why, finds no
// limit, and ends with status 1.
TEST(Consumers, ASearchEndsWhereATryWasNotFloodedWhole) {
    REQUIRE_HARNESS();
    const std::string p = std::to_string(free_port());
    const struct {
        std::string command, note;
    } cases[] = {
        {std::string(MODEL_PATH) + " udp " + p + " 1",
         "a try was not flooded for its whole time: 127.0.0.1:" + p + " refused"                                              },
        {"exit 3",                                     "a try was not flooded for its whole time: never listened on port " + p},
    };
    for (const auto &c : cases) {
        const outcome_t o =
            run({"--json", "--find-limit", "-s", "1", "-g", "0", "-u", p, c.command});
        EXPECT_EQ(o.status, 1);
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
        EXPECT_EQ(rows[0]["limit_bits_per_s"], nullptr) << rows[0];
        const std::string note = rows[0]["note"];
        EXPECT_EQ(note.rfind(c.note, 0), 0u) << note;
        EXPECT_NE(o.err.find(c.command + ": " + note), std::string::npos) << o.err;
    }
}

// A consumer whose descriptors the harness may not read (not dumpable, run
// by a harness that is not root) is said as such, not as not listening.
TEST(Consumers, AConsumerThatCannotBeReadIsSaidSo) {
    REQUIRE_HARNESS();
    REQUIRE_NOBODY();
    const std::string p = std::to_string(free_port());
    launch nobody;
    nobody.as_nobody = true;
    const outcome_t o = run({"--json", "-s", "1", "-g", "0", "-u", p,
                             std::string(MODEL_PATH) + " udp " + p + " 0 hidden"},
                            nobody);
    EXPECT_EQ(o.status, 1) << o.err;
    const auto rows = o.rows();
    ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
    EXPECT_EQ(
        rows[0]["flood_end"].get<std::string>().rfind("its sockets cannot be read: /proc/", 0), 0u)
        << rows[0];
    EXPECT_LT(o.seconds, 5) << "not after the 10 s wait for a listener";
}

// The thread that paces, and only it, runs at real-time priority where the
// system allows it: for root, not for a user whose RLIMIT_RTPRIO is 0, nor
// once single pieces come too close to sleep between. tsflood and the
// consumer keep ordinary scheduling whatever the pacer has, and the row
// says the priority it paced at.
TEST(Consumers, OnlyThePacerRunsAtRealTimePriority) {
    REQUIRE_HARNESS();
    REQUIRE_NOBODY();
    const std::string policy_file = testing::TempDir() + "tsflood-policy";
    const std::string tsflood =
        script("policy-tsflood", "chrt -p $$ >" + policy_file + "\nexec " + TSFLOOD_PATH);
    const struct {
        bool as_nobody;
        rlim_t most_rtprio;
        const char *rate, *burst;
        const char *pacer;
    } cases[] = {
        {false, RLIM_INFINITY, "10M",  "16", "realtime"},
        {true,  0,             "10M",  "16", "normal"  },
        {false, RLIM_INFINITY, "400M", "1",  "normal"  },
    };
    for (const auto &c : cases) {
        std::ofstream(policy_file).close();
        chmod(policy_file.c_str(), 0666);
        launch how;
        how.as_nobody = c.as_nobody;
        how.most_rtprio = c.most_rtprio;
        std::size_t fifo_threads = 0; // of the harness, once it floods
        how.watch = [&](pid_t harness) {
            std::this_thread::sleep_for(std::chrono::milliseconds(900));
            std::error_code ended; // then no thread of it is counted
            for (const auto &task : std::filesystem::directory_iterator(
                     "/proc/" + std::to_string(harness) + "/task", ended)) {
                const pid_t thread = std::stoi(task.path().filename().string());
                const int policy = sched_getscheduler(thread) & ~SCHED_RESET_ON_FORK;
                fifo_threads += policy == SCHED_FIFO ? 1u : 0u;
            }
        };
        const outcome_t o = run({"--json", "-r", c.rate, "--burst", c.burst, "-s", "1.5", "-g", "1",
                                 "-t", tsflood, "chrt -p $$; exec cat >/dev/null"},
                                how);
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), 1u) << o.out << o.err;
        EXPECT_EQ(rows[0]["pacer"], c.pacer) << rows[0];
        EXPECT_EQ(fifo_threads, std::string(c.pacer) == "realtime" ? 1u : 0u) << c.pacer;
        EXPECT_NE(rows[0]["output"]["first"].dump().find("SCHED_OTHER"), std::string::npos)
            << rows[0];
        std::ifstream tsflood_policy(policy_file);
        const std::string policy(std::istreambuf_iterator<char>(tsflood_policy), {});
        EXPECT_NE(policy.find("SCHED_OTHER"), std::string::npos) << policy;
        // Within 3%: at ordinary priority on a busy machine a flood of 1.5 s
        // may not catch up the pieces its pacer woke late for.
        const double asked = std::stod(c.rate) * 1e6;
        EXPECT_NEAR(rows[0]["rate_bytes_per_s"].get<double>() * 8, asked, asked * 0.03) << rows[0];
        EXPECT_GT(rows[0]["harness_cpu_seconds"].get<double>(), 0) << rows[0];
    }
}

// A stop signal during a slow real-time paced flood ends the consumer's
// input within 50 ms.
TEST(Consumers, APacedFloodStopsWithin50Milliseconds) {
    REQUIRE_HARNESS();
    const std::string ended_file = testing::TempDir() + "input-ended";
    unlink(ended_file.c_str());
    const auto now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    double signalled = 0;
    launch how;
    how.watch = [&](pid_t harness) {
        signals_blocked(harness);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        signalled = now();
        kill(harness, SIGTERM);
    };
    const outcome_t o = run(
        {"--json", "-r", "1k", "-s", "20", "-g", "1", "cat >/dev/null; date +%s.%N >" + ended_file},
        how);
    EXPECT_EQ(o.status, 128 + SIGTERM);
    std::ifstream ended(ended_file);
    double input_ended = 0;
    ASSERT_TRUE(ended >> input_ended);
    EXPECT_LT(input_ended - signalled, 0.05);
}

// On a terminal a status line says which consumer is flooded and how far it
// is; it is erased before each row, so the table stays clean on the same
// terminal. Where standard error is not a terminal, or with --no-progress,
// there is none of it; TERM=dumb gets plain lines, no control sequences. A
// terminal stopped with Ctrl-S holds up nothing.
TEST(Consumers, AStatusLineOnATerminalOnly) {
    REQUIRE_HARNESS();
    const std::vector<std::string> args = {
        "--json", "-s", "0.6", "-g", "0.5", "cat >/dev/null", "cat >/dev/null; sleep 31"};
    launch shared;
    shared.terminal = shared.table_too = true;
    const outcome_t both = run(args, shared);
    EXPECT_NE(both.terminal.find("[1/2] cat >/dev/null | flooding"), std::string::npos);
    EXPECT_NE(both.terminal.find("[2/2] cat >/dev/null; sleep 31 | grace"), std::string::npos)
        << both.terminal;
    for (std::size_t row = both.terminal.find("{\"command\""); row != std::string::npos;
         row = both.terminal.find("{\"command\"", row + 1)) {
        EXPECT_EQ(both.terminal.substr(row - 4, 4), "\r\x1b[K") << "erased before each row";
    }

    launch dumb = shared;
    dumb.term = "dumb";
    const outcome_t plain = run(args, dumb);
    EXPECT_NE(plain.terminal.find("[2/2] cat >/dev/null; sleep 31 | "), std::string::npos);
    EXPECT_EQ(plain.terminal.find('\x1b'), std::string::npos);

    launch told_not = shared;
    std::vector<std::string> no_progress = args;
    no_progress.insert(no_progress.begin(), "--no-progress");
    EXPECT_EQ(run(no_progress, told_not).terminal.find("[1/"), std::string::npos);
    const outcome_t to_a_pipe = run(args);
    EXPECT_EQ(to_a_pipe.err, "") << "none of it where standard error is not a terminal";

    launch stopped;
    stopped.terminal = stopped.stopped = true;
    const outcome_t held = run({"--json", "-s", "3", "-g", "0", "cat >/dev/null"}, stopped);
    const auto rows = held.rows();
    ASSERT_EQ(rows.size(), 1u) << held.out << held.terminal;
    EXPECT_LT(rows[0]["flood_seconds"].get<double>(), 3.1) << rows[0];
    // A status line written on the flood's path would hold the flood at its
    // first write: no rate at all. Beside that, two floods on a busy machine
    // may differ severalfold.
    EXPECT_GT(rows[0]["rate_bytes_per_s"].get<double>(),
              0.1 * to_a_pipe.rows()[0]["rate_bytes_per_s"].get<double>())
        << rows[0];
    EXPECT_LT(held.seconds, 5.5);
}

// What a consumer does with its output and its signals neither starves its
// flood nor holds up its end: one that prints as fast as it can is read no
// faster than it is flooded; one started by a harness whose caller ignored
// SIGTERM still ends by it; one that stopped itself takes it too.
TEST(Consumers, AConsumerIsNeitherStarvedByItsTalkNorHeldByItsSignals) {
    REQUIRE_HARNESS();
    const auto rate = [](const outcome_t &o) {
        return o.rows().at(0)["rate_bytes_per_s"].get<double>();
    };
    const double quiet = rate(run({"--json", "-s", "2", "cat >/dev/null"}));
    const double chatty = rate(run({"--json", "-s", "2", "yes abc & cat >/dev/null; kill $!"}));
    EXPECT_GT(chatty, quiet / 20) << "it was 400 times slower when its talk crowded it out";

    const outcome_t ignoring = run({"--json", "-s", "0.3", "-g", "0",
                                    "grep SigIgn /proc/self/status; cat >/dev/null; sleep 72"},
                                   signalled({}, SIGTERM));
    ASSERT_EQ(ignoring.rows().size(), 1u) << ignoring.out << ignoring.err;
    EXPECT_EQ(ignoring.rows()[0]["said"], json::array({"SigIgn:\\x090000000000000000"}));
    EXPECT_LT(ignoring.seconds, 1) << "ended by TERM, not KILL a second later";

    const outcome_t stopped =
        run({"--json", "-s", "0.3", "-g", "0", "cat >/dev/null; kill -STOP $$"});
    ASSERT_EQ(stopped.rows().size(), 1u) << stopped.out << stopped.err;
    EXPECT_EQ(stopped.rows()[0]["ended"], json({
                                              {"ended_by_harness", true}
    }));
    EXPECT_LT(stopped.seconds, 1) << "ended by TERM, not KILL a second later";
    EXPECT_EQ(left_running(), 0u);
}

// Receivers of one group flooded together, in a network namespace of the
// harness's own that has no interface but lo: each reads what was sent less
// what its own sockets dropped, in datagrams of 7 packets, or of 7 packets
// behind an RTP header of payload type 33 whose sequence numbers count up by
// one, none lost where no socket dropped any.
TEST(Multicast, ReceiversTogetherReadWhatTheirOwnSocketsDidNotDrop) {
    REQUIRE_HARNESS();
    REQUIRE_PRIVATE_NETWORK();
    const std::string model = MODEL_PATH, port = std::to_string(free_port());
    const std::string v4 = "239.1.2.3:" + port, v6 = "[ff0e::1:2]:" + port;
    const struct {
        std::string group;
        std::vector<std::string> extra; // -r, --rtp
        std::vector<std::string> receivers;
    } cases[] = {
        {v4,
         {},
         {"sed -n 's/^ *\\([^:]*\\):.*/\\1/p' /proc/net/dev; " + model + " udp " + v4,
          model + " udp " + v4, model + " udp " + v4}                            },
        {v6, {"-r", "20M"},          {model + " udp " + v6}                      },
        {v4, {"-r", "20M", "--rtp"}, {model + " rtp " + v4, model + " udp " + v4}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--json", "--netns", "--together", "-s",
                                         "1",      "-u",      c.group};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.insert(args.end(), c.receivers.begin(), c.receivers.end());
        const outcome_t o = run(args);
        EXPECT_EQ(o.status, 0) << o.err;
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), c.receivers.size()) << o.out << o.err;
        const bool rtp = c.extra.size() > 2;
        for (const json &row : rows) {
            const auto sent = row["datagrams_sent"].get<std::uint64_t>();
            const auto read = (sent - row["dropped"].get<std::uint64_t>()) * (rtp ? 1328 : 1316);
            const std::string said = row["said"][0];
            EXPECT_EQ(said.substr(0, said.find(' ')), std::to_string(read)) << row;
            EXPECT_EQ(row["group"], c.group);
            EXPECT_EQ(row["rtp"], rtp);
            EXPECT_EQ(row["sockets"].size(), 1u) << "its own, not the others' " << row;
            if (rtp) {
                const auto span = (row["last_sequence"].get<unsigned>() -
                                   row["first_sequence"].get<unsigned>() + 1) &
                                  0xffff;
                EXPECT_EQ(span, sent & 0xffff) << row;
            }
        }
        if (rtp) {
            // Gaps in the sequence where its socket dropped some, none else.
            const std::string said = rows[0]["said"][0];
            EXPECT_NE(said.find(rows[0]["dropped"] == 0 ? ", 0 gaps, 0 not RTP of 7 packets"
                                                        : " gaps, 0 not RTP of 7 packets"),
                      std::string::npos)
                << rows[0];
        }
        if (c.receivers.size() == 3) {
            EXPECT_EQ(rows[0]["output"]["first"][0], "lo") << rows[0];
            EXPECT_EQ(rows[0]["output"]["first"].size(), 2u) << "lo, the only interface";
        }
    }
    EXPECT_EQ(left_running(), 0u);
}

// A group whose datagrams would not stay on the loopback interface, or
// reach its receivers there, is refused with the command that routes it.
TEST(Multicast, AGroupWithNoRouteToLoopbackIsRefused) {
    REQUIRE_HARNESS();
    launch fresh;
    fresh.private_network = true;
    const struct {
        const char *group, *command;
    } cases[] = {
        {"239.1.2.3:5004",   "ip route add 239.0.0.0/8 dev lo"                   },
        {"[ff0e::1:2]:5004", "ip -6 route add local ff0e::/16 dev lo table local"},
    };
    for (const auto &c : cases) {
        const outcome_t o = run({"-u", c.group, "cat"}, fresh);
        if (o.status == 125) {
            GTEST_SKIP() << "no network namespace for the test here";
        }
        EXPECT_EQ(o.status, 1) << o.err << "not the command line's fault";
        EXPECT_NE(o.err.find(std::string("no route to the loopback interface")), std::string::npos)
            << o.err;
        EXPECT_NE(o.err.find(c.command), std::string::npos) << o.err;
    }
}

// A group's receiver that leaves during the flood refuses nothing, as a
// socket does: it is seen gone, its row says when and counts what was sent
// until then, and a search stops there. One that listens on the port but
// never joins the group is not flooded. One whose shell leaves it in the
// background is still its own.
TEST(Multicast, ReceiversThatLeaveNeverJoinOrRunBehindAShellAreToldAsSuch) {
    REQUIRE_HARNESS();
    REQUIRE_PRIVATE_NETWORK();
    const std::string model = MODEL_PATH, port = std::to_string(free_port());
    const std::string group = "239.1.2.6:" + port;
    const std::string leaves = "timeout 1 " + model + " udp " + group;
    const std::string background = testing::TempDir() + "background-receiver";
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> flood_ends; // a row each, beginning so; a search: its note
    } cases[] = {
        {{"-s", "3", "-r", "20M", leaves},                                                     0, {"it closed its socket at 1.0 s"}                                 },
        {{"--find-limit", "-s", "2", leaves},
         1,                                                                                       {"a try was not flooded for its whole time: it closed its socket"}},
 // Receivers that bind the port but never join are reached by
  // nothing: not flooded, and no search.
        {{"--find-limit", "--together", "-s", "1",
          model + " receiver " + group + " /dev/null bind read",
          model + " receiver " + group + " /dev/null bind read"},
         1,                                                                                       {"a try was not flooded for its whole time: it listens on port " + port +
          " but has not joined"}                                                                                                                         },
        {{"-s", "1", model + " udp " + port},
         1,                                                                                       {"it listens on 127.0.0.1 port " + port + ", where the datagrams of " + group +
          " do not arrive"}                                                                                                                              },
        {{"-s", "2", "-r", "20M", model + " udp " + group + " 3; " + model + " udp " + group},
         0,                                                                                       {""}                                                              },
        {{"--together", "-s", "1", "-g", "3", "-r", "20M", model + " udp " + group + "; sleep 0.5",
          model + " udp " + group + " >" + background + " &"},
         0,                                                                                       {"", ""}                                                          },
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--json", "--netns", "-g", "1", "-u", group};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const outcome_t o = run(args);
        EXPECT_EQ(o.status, c.status) << o.out << o.err;
        const auto rows = o.rows();
        ASSERT_EQ(rows.size(), c.flood_ends.size()) << o.out << o.err;
        if (c.args.front() == "--find-limit") {
            EXPECT_EQ(rows[0]["limit_bits_per_s"], nullptr) << rows[0];
            EXPECT_EQ(rows[0]["note"].get<std::string>().rfind(c.flood_ends[0], 0), 0u) << rows[0];
            continue;
        }
        for (std::size_t k = 0; k < c.flood_ends.size(); ++k) {
            const std::string end = rows[k]["flood_end"].is_null() ? "" : rows[k]["flood_end"];
            EXPECT_EQ(c.flood_ends[k].empty() ? end : end.substr(0, c.flood_ends[k].size()),
                      c.flood_ends[k])
                << rows[k];
        }
        if (c.flood_ends.size() == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700)); // its idle half second
            std::ifstream read(background);
            std::uint64_t bytes = 0;
            read >> bytes;
            const auto sent = rows[1]["datagrams_sent"].get<std::uint64_t>();
            EXPECT_EQ(bytes, (sent - rows[1]["dropped"].get<std::uint64_t>()) * 1316) << rows[1];
        }
    }
    EXPECT_EQ(left_running(), 0u);
}

// A requirement that names no figure, a value in another unit, a figure
// never known in such a run, a malformed condition, a baseline or report
// that cannot be had: each is a usage error before anything starts.
TEST(ConsumersGates, AWrongRequirementStartsNothing) {
    const std::string started = testing::TempDir() + "gates_started";
    std::remove(started.c_str());
    const std::string tsflood =
        script("gates_tsflood", "touch " + started + "; exec " TSFLOOD_PATH);
    const std::string table = testing::TempDir() + "gates_table.md",
                      search = testing::TempDir() + "gates_search.json";
    std::ofstream(table) << "| consumer |\n";
    std::ofstream(search) << R"({"command": "c", "limit_bits_per_s": 1e6})"
                          << "\n";
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{"--require", "drops == 0"},
         "--require 'drops == 0': no column has a figure named drops; the keys that can be "
         "required are pipe_bytes, packets_sent, torn_bytes, rate_bytes_per_s"                                                  },
        {{"--require", "rate >= 100MiB"},
         "rate_bytes_per_s takes a rate in bits per second, with k, M or G as -r takes it"                                      },
        {{"--require", "peak_rss < 200M"},                                  "peak_rss_kib takes a size in B, KiB"               },
        {{"--require", "rss_growth < 1MiB"},                                "takes a growth per minute"                         },
        {{"-u", "5000", "--require", "dropped == 1.5"},                     "dropped takes a count, a whole number"             },
        {{"--require", "ended >= exit 0"},                                  "ended takes an ending"                             },
        {{"--require", "ended == signal NOSUCH"},                           "ended takes an ending"                             },
        {{"--require", "dropped == 0"},                                     "dropped is never known through a pipe: it needs -u"},
        {{"--require", "missed == 0"},                                      "missed is never known through a pipe"              },
        {{"-u", "5000", "--require", "limit >= 150M"},
         "limit is a figure of a search's row: it needs --find-limit"                                                           },
        {{"-u", "5000", "--find-limit", "--require", "rate >= 1M"},
         "rate is a figure of a flood's row, and --find-limit prints a search's; the keys that "
         "can be required are limit_bits_per_s, floor_bits_per_s"                                                               },
        {{"--require", "dropped"},                                          "--require 'dropped': not KEY OP VALUE"             },
        {{"--require", "cpu = 1"},                                          "not KEY OP VALUE"                                  },
        {{"--require", "== 0"},                                             "not KEY OP VALUE"                                  },
        {{"--require", "cpu >= >= 1"},                                      "not KEY OP VALUE"                                  },
        {{"--tolerance", "5"},                                              "it needs --baseline"                               },
        {{"--baseline", "/nonexistent/rows"},
         "--baseline /nonexistent/rows: No such file or directory"                                                              },
        {{"--baseline", table},                                             "line 1 is not a row of tsflood-consumers"          },
        {{"--baseline", search},                                            "line 1 is a search's row (--find-limit)"           },
        {{"--baseline", search, "--tolerance", "x"},                        "--tolerance takes a percentage"                    },
        {{"--junit", "/nonexistent/report.xml"},
         "--junit /nonexistent/report.xml cannot be written: No such file or directory"                                         },
        {{"--junit", ""},                                                   "--junit takes a file's path, not an empty one"     },
        {{"--baseline", ""},                                                "--baseline takes a file's path, not an empty one"  },
        {{"-u", "5000", "--require", "dropped == 99999999999999999999999"},
         "dropped takes a count"                                                                                                },
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"-t", tsflood};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("touch " + started);
        const outcome_t o = run(args);
        EXPECT_EQ(o.status, 2) << c.said;
        EXPECT_EQ(o.out, "") << c.said;
        EXPECT_NE(o.err.find(c.said), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("\nusage: tsflood-consumers ["), std::string::npos) << o.err;
    }
    EXPECT_FALSE(std::filesystem::exists(started)) << "something was started";
}

} // namespace
