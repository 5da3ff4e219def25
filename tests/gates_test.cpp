// SPDX-License-Identifier: MIT
// The gate's pieces on their own: requirements as read and judged, those a
// baseline's row sets, and the verdicts on a run's rows.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <sstream>

#include "baseline.h"
#include "gate.h"
#include "junit.h"
#include "requirements.h"

namespace {

requirement required(const std::string &text, bool search = false) {
    const parsed_requirement r = parse_requirement(text, search, true);
    EXPECT_TRUE(r.parsed) << text << ": " << r.error;
    return r.parsed.value_or(requirement{});
}

// Each column in its own unit, by its key or its short key, whatever the
// spaces; a rate in bits per second whatever the column holds.
TEST(Requirements, AValueIsReadInItsColumnsUnit) {
    const struct {
        const char *text;
        bool search;
        const char *key;
        json wanted;
    } cases[] = {
        {"dropped == 0",               false, "dropped",                0                      },
        {"missed<=10",                 false, "missed",                 10                     },
        {"rate >= 100M",               false, "rate_bytes_per_s",       12.5e6                 },
        {"rate_bytes_per_s > 8k",      false, "rate_bytes_per_s",       1000                   },
        {"peak_rss < 200MiB",          false, "peak_rss_kib",           204800                 },
        {"peak_rss_kib <= 1GiB",       false, "peak_rss_kib",           1 << 20                },
        {"peak_rss < 2048B",           false, "peak_rss_kib",           2                      },
        {"rss_growth < 1MiB/min",      false, "rss_growth_kib_per_min", 1024                   },
        {"rss_growth < -512KiB/min",   false, "rss_growth_kib_per_min", -512                   },
        {"cpu_seconds < 3",            false, "cpu_seconds",            3                      },
        {"cpu < 0.5s",                 false, "cpu_seconds",            0.5                    },
        {"ended_after <= 2",           false, "ended_after_s",          2                      },
        {"ended == exit 0",            false, "ended",                  {{"exit", 0}}          },
        {"ended != signal SIGKILL",    false, "ended",                  {{"signal", "KILL"}}   },
        {"ended == signal SIGRTMIN",   false, "ended",                  {{"signal", "RTMIN+0"}}},
        {"ended == signal SIGRTMAX-1",
         false,                               "ended",
         {{"signal", "RTMIN+" + std::to_string(SIGRTMAX - 1 - SIGRTMIN)}}                      },
        {"limit >= 150M",              true,  "limit_bits_per_s",       150e6                  },
        {"floor_bits_per_s == 1.5G",   true,  "floor_bits_per_s",       1.5e9                  },
    };
    for (const auto &c : cases) {
        const requirement r = required(c.text, c.search);
        EXPECT_EQ(r.key, c.key) << c.text;
        EXPECT_EQ(r.wanted, c.wanted) << c.text;
        EXPECT_EQ(r.expr, c.text);
    }
}

// Each operator at its bound; nothing meets a requirement on a figure the
// row does not have; an ending is the whole ending.
TEST(Requirements, EachOperatorAtItsBound) {
    const struct {
        const char *text;
        json value;
        bool met;
    } cases[] = {
        {"dropped == 0",                       0,                    true },
        {"dropped == 0",                       1,                    false},
        {"dropped == 0",                       nullptr,              false},
        {"dropped != 0",                       nullptr,              false},
        {"dropped != 0",                       3,                    true },
        {"cpu < 3",                            2.99,                 true },
        {"cpu < 3",                            3,                    false},
        {"cpu <= 3",                           3,                    true },
        {"cpu <= 3",                           3.01,                 false},
        {"rate >= 100M",                       12.5e6,               true },
        {"rate >= 100M",                       12.49e6,              false},
        {"rate > 100M",                        12.5e6,               false},
        {"ended == exit 0",                    {{"exit", 0}},        true },
        {"ended == exit 0",                    {{"exit", 1}},        false},
        {"ended == exit 0",                    {{"signal", "TERM"}}, false},
        {"ended != exit 0",                    {{"signal", "KILL"}}, true },
        {"ended != exit 0",                    nullptr,              false},
        {"ended == signal 15",                 {{"signal", "TERM"}}, false},
        {"dropped <= 99999999999999999999999", 0,                    false}, // past 64 bits: refused
        {"dropped <= 18446744073709551615",    0,                    true },
    };
    for (const auto &c : cases) {
        const parsed_requirement r = parse_requirement(c.text, false, true);
        if (!r.parsed) {
            EXPECT_FALSE(c.met) << c.text << ": " << r.error; // refused
            continue;
        }
        EXPECT_EQ(meets(*r.parsed, c.value), c.met) << c.text << " with " << c.value;
    }
}

// A value written as a requirement states it reads back as that value, to
// 4 digits, in the largest unit in which it is 1 or more.
TEST(Requirements, AValueWrittenReadsBack) {
    const struct {
        unit of;
        const char *key;
        double value;
        const char *written;
    } cases[] = {
        {unit::bytes_per_second, "rate",       2.5e6,   "20M"         },
        {unit::bits_per_second,  "limit",      1.5e9,   "1.5G"        },
        {unit::bits_per_second,  "limit",      999,     "999"         },
        {unit::kib,              "peak_rss",   5428,    "5.301MiB"    },
        {unit::kib,              "peak_rss",   512,     "512KiB"      },
        {unit::kib,              "peak_rss",   0.5,     "512B"        },
        {unit::kib_per_minute,   "rss_growth", -3000,   "-2.93MiB/min"},
        {unit::seconds,          "cpu",        0.30281, "0.3028"      },
        {unit::count,            "dropped",    1100,    "1100"        },
    };
    for (const auto &c : cases) {
        const std::string written = requirement_value(c.of, c.value);
        EXPECT_EQ(written, c.written);
        const bool search = std::string(c.key) == "limit";
        const requirement r = required(std::string(c.key) + " <= " + written, search);
        EXPECT_NEAR(r.wanted.get<double>(), c.value, std::abs(c.value) * 5e-4) << written;
    }
}

// A baseline's row sets a row no lower limit or rate, and no more drops,
// misses, memory, growth or CPU, each beyond the tolerance of its figure and
// beyond the least change that is not noise.
TEST(Baseline, ARowMayDoNoWorseThanItsBaselineBeyondTheTolerance) {
    const json before = json::parse(R"({"command": "c", "rate_bytes_per_s": 2.5e6, "dropped": 0,
        "missed": null, "peak_rss_kib": 40000, "rss_growth_kib_per_min": 0, "cpu_seconds": 4})");
    std::vector<std::string> exprs;
    for (const auto &[r, was] : baseline_requirements(before, false, true, 0.15)) {
        exprs.push_back(r.expr);
        EXPECT_EQ(was, before[r.key]);
    }
    EXPECT_EQ(exprs, (std::vector<std::string>{"dropped <= 0", "rate >= 17M", "cpu <= 4.6",
                                               "peak_rss <= 44.92MiB", "rss_growth <= 1MiB/min"}));
    const struct {
        const char *before;
        bool search, datagrams;
        const char *expr;
    } cases[] = {
        {R"({"command": "c", "cpu_seconds": 0.05})",                         false, true,  "cpu <= 0.3"   },
        {R"({"command": "c", "dropped": 10})",                               false, true,  "dropped <= 11"},
        {R"({"command": "c", "rss_growth_kib_per_min": -3000})",             false, true,
         "rss_growth <= -1.93MiB/min"                                                                     },
        {R"({"commands": ["a", "b"], "limit_bits_per_s": 100e6})",           true,  true,  "limit >= 85M" },
        {R"({"command": "c", "limit_bits_per_s": null})",                    true,  true,  nullptr        },
 // Through a pipe, what only a socket counts is left out.
        {R"({"command": "c", "dropped": 0, "missed": 0, "cpu_seconds": 1})", false, false,
         "cpu <= 1.25"                                                                                    },
    };
    for (const auto &c : cases) {
        const auto made = baseline_requirements(json::parse(c.before), c.search, c.datagrams, 0.15);
        ASSERT_EQ(made.size(), c.expr != nullptr ? 1u : 0u) << c.before;
        if (c.expr != nullptr) {
            EXPECT_EQ(made[0].first.expr, c.expr);
        }
    }
    EXPECT_EQ(row_name(json::parse(R"({"command": null, "commands": ["a", "b"]})")), "a + b");
}

// Each row is judged beside the baseline's row of the same command that
// stands where it stands among that command's rows; one with none is new;
// a row whose flood failed meets nothing; a row never printed is judged as
// not flooded.
TEST(Gate, EachRowIsJudgedBesideItsOwnBaselineRow) {
    run_options o;
    o.transport.kind = transport_options::kind_type::udp;
    o.commands = {"a", "a", "b", "c"};
    o.requirements = {required("dropped == 0")};
    o.baseline = std::vector<json>{json::parse(R"({"command": "a", "dropped": 0})"),
                                   json::parse(R"({"command": "a", "dropped": 10})"),
                                   json::parse(R"({"command": "z", "dropped": 0})")};
    gate verdicts(o);
    EXPECT_TRUE(verdicts.active());
    const judged_row first = verdicts.judge(json::parse(R"({"command": "a", "dropped": 5})"), "");
    EXPECT_FALSE(first.is_new);
    ASSERT_EQ(first.verdicts.size(), 2u);
    EXPECT_FALSE(first.verdicts[1].met) << "5 against the first row's 0";
    EXPECT_EQ(first.object["requirements"][1],
              json::parse(R"({"expr": "dropped <= 0", "value": 5, "met": false, "baseline": 0})"));
    const judged_row second = verdicts.judge(json::parse(R"({"command": "a", "dropped": 0})"), "");
    ASSERT_EQ(second.verdicts.size(), 2u);
    EXPECT_TRUE(second.verdicts[0].met && second.verdicts[1].met) << "0 against the second's 10";
    EXPECT_EQ(second.verdicts[1].of.expr, "dropped <= 11");
    const judged_row failed =
        verdicts.judge(json::parse(R"({"command": "b", "dropped": 0})"), "it was sent nothing");
    EXPECT_TRUE(failed.is_new);
    EXPECT_EQ(failed.object["new"], true);
    EXPECT_FALSE(failed.verdicts[0].met);
    EXPECT_EQ(verdicts.markdown_row("| b |\n", failed),
              "| b | new; ✗ dropped == 0: not judged, its flood failed |\n");
    verdicts.not_flooded("not flooded: stopped by SIGTERM");
    ASSERT_EQ(verdicts.rows().size(), 4u);
    EXPECT_EQ(verdicts.rows()[3].name, "c");
    EXPECT_EQ(verdicts.rows()[3].failure, "not flooded: stopped by SIGTERM");
    EXPECT_TRUE(verdicts.missed());
    EXPECT_EQ(verdicts.messages(),
              (std::vector<std::string>{"a: missed dropped == 0: 5",
                                        "a: missed dropped <= 0: 5 (baseline 0)",
                                        "b: new, the baseline has no row of it",
                                        "b: missed dropped == 0: not judged, its flood failed",
                                        "c: new, the baseline has no row of it",
                                        "c: missed dropped == 0: not judged, its flood failed"}));
    EXPECT_EQ(verdicts.markdown_heading("| x |\n|---|\n"), "| x | requirements |\n|---|---|\n");

    // With neither, the rows are as they were.
    run_options plain;
    plain.commands = {"a"};
    gate none(plain);
    const judged_row row = none.judge(json::parse(R"({"command": "a"})"), "");
    EXPECT_FALSE(row.object.contains("requirements") || row.object.contains("new"));
    EXPECT_EQ(none.markdown_row("| a |\n", row), "| a |\n");
    EXPECT_FALSE(none.missed());
}

// A figure the row is unsure of (missed 482 to 487: of 20 uncertain, 15
// reached its sockets unread and were never missed) meets a requirement
// only over its whole range, which is the value said where it is missed.
TEST(Gate, AnUnsureFigureMeetsARequirementOverItsWholeRange) {
    const json row = json::parse(R"({"command": "c", "datagrams_sent": 602, "read": 100,
        "dropped": 0, "missed": 482, "uncertain": 20, "unread": 15})");
    const struct {
        const char *text, *missed; // the line said where it is missed
    } cases[] = {
        {"missed <= 485",         "c: missed missed <= 485: 482 to 487"},
        {"missed <= 487",         nullptr                              },
        {"missed != 485",         "c: missed missed != 485: 482 to 487"},
        {"missed != 488",         nullptr                              },
        {"dropped <= 0",          "c: missed dropped <= 0: 0 to 5"     },
        {"dropped <= 5",          nullptr                              },
        {"read >= 90",            "c: missed read >= 90: 80 to 100"    },
        {"read >= 80",            nullptr                              },
        {"datagrams_sent == 602", nullptr                              },
    };
    for (const auto &c : cases) {
        run_options o;
        o.requirements = {required(c.text)};
        gate verdicts(o);
        EXPECT_EQ(verdicts.judge(row, "").verdicts[0].met, c.missed == nullptr) << c.text;
        EXPECT_EQ(verdicts.messages(),
                  c.missed ? std::vector<std::string>{c.missed} : std::vector<std::string>{});
    }
}

// A search's test case takes the time of its tries' floods, each once
// however many receivers it flooded together.
TEST(JUnit, ACaseTakesTheTimeOfItsOwnFloods) {
    const judged_row search{"a + b",
                            json::parse(R"({"commands": ["a", "b"], "tries": [
        {"try": 1, "flood_seconds": 1}, {"try": 1, "flood_seconds": 1},
        {"try": 2, "flood_seconds": 1.5}, {"try": 2, "flood_seconds": 1.5}]})"),
                            {},
                            "",
                            false};
    const std::string path = testing::TempDir() + "gates_junit.xml";
    ASSERT_EQ(write_junit(path, {search}, true, 9), "");
    std::stringstream xml;
    xml << std::ifstream(path).rdbuf();
    EXPECT_NE(xml.str().find(R"(name="a + b" classname="tsflood-consumers" time="2.500")"),
              std::string::npos)
        << xml.str();
}

} // namespace
