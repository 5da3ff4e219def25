// SPDX-License-Identifier: MIT
// tsflood-consumers: floods transport stream consumers, one after another,
// with tsflood's null packets, through a pipe or over UDP, and prints one
// row for each: what it was sent, at what rate, what it cost, what it said
// and how it ended. Every process a consumer starts is ended with it.
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <sys/prctl.h>
#include <system_error>
#include <unistd.h>

#include "gate.h"
#include "junit.h"
#include "limit.h"
#include "netns.h"
#include "options.h"
#include "phases.h"
#include "posix.h"
#include "procfs.h"
#include "progress.h"
#include "session.h"
#include "source.h"
#include "text.h"
#include "transport.h"

namespace {

// The stop signals are blocked before any constructor of the program or
// its libraries runs: from then on, one that comes is read in its turn.
void hold_stop_signals(int, char **, char **) {
    stop_signals::block();
}
__attribute__((section(".preinit_array"), used)) void (*const hold)(int, char **,
                                                                    char **) = hold_stop_signals;

bool message_lost = false;           // standard error could not take one
std::unique_ptr<status_line> status; // on standard error, when it is drawn
std::string last_said;               // the last message, which may say why a run ended
const auto started = std::chrono::steady_clock::now();

// "tsflood-consumers: " and the message, on a line of standard error.
void say(const std::string &message) {
    last_said = message;
    if (status) {
        status->clear();
    }
    const std::string line = "tsflood-consumers: " + message + "\n";
    if (std::fputs(line.c_str(), stderr) < 0 || std::fflush(stderr) != 0) {
        message_lost = true;
    }
}

int usage_error(const std::string &what) {
    say(what + "\n" + usage_line);
    return 2;
}

// Prints `text` on standard output, the status line erased first.
void print(const std::string &text) {
    if (status) {
        status->clear();
    }
    std::fputs(text.c_str(), stdout);
}

// True when what was printed reached standard output; else says that
// `what` cannot be written.
bool printed(const char *what = "the table") {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return true;
    }
    say(std::string(what) + " cannot be written: " + std::strerror(errno));
    return false;
}

// The end of a run that `exit_status` ends: a line for each requirement
// missed, the JUnit report, and exit status 3 where a requirement was
// missed and nothing failed.
int judged(const run_options &o, gate &verdicts, int exit_status, const std::string &why_not) {
    verdicts.not_flooded("not flooded: " + why_not);
    for (const std::string &line : verdicts.messages()) {
        say(valid_utf8(line));
    }
    if (!o.junit.empty()) {
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
        if (const std::string error =
                write_junit(o.junit, verdicts.rows(), o.find_limit, seconds.count());
            !error.empty()) {
            say(error);
            return 1;
        }
    }
    return exit_status == 0 && verdicts.missed() ? 3 : exit_status;
}

int run(const run_options &o, stop_signals &signals, gate &verdicts) {
    // Stopped: the rest is not run, and the harness ends by the signal it
    // was sent, as its caller expects.
    const auto stop = [&] {
        status.reset();
        judged(o, verdicts, 1, "stopped by SIG" + signal_name(signals.first()));
        signals.end_by_first();
    };
    if (o.netns) {
        enter_private_network(); // while the program has one thread
    }
    if (o.transport.kind == transport_options::kind_type::group) {
        if (const auto command = missing_route(o.transport.group)) {
            say("-u " + o.transport.group.text +
                ": the group has no route to the loopback interface, where the flood goes and "
                "its receivers listen; add one (" +
                *command + "), or use --netns");
            return 1;
        }
    }
    const std::unique_ptr<transport> through = make_transport(o);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        // qemu-user, for one, does not pass it on.
        say(std::string("cannot become a child subreaper, which holds all that a consumer "
                        "starts: ") +
            std::strerror(errno));
        return 1;
    }
    // A paced flood cannot go faster than the unpaced one.
    if (o.rate > 0 || o.find_limit) {
        std::optional<double> most;
        try {
            most = unpaced_maximum(o, *through, signals);
        } catch (const std::system_error &e) {
            say(o.tsflood + " gave no flood: " + e.what());
            return 1;
        }
        if (!most) {
            stop();
        }
        const double floor = o.rate > 0 ? o.rate : default_floor_bits_per_s;
        if (*most == 0) {
            say(o.tsflood + " gave no flood within 2 s");
            return 1;
        }
        if (floor > *most) {
            return usage_error((o.rate > 0 ? "-r " : "the search's floor, ") +
                               bit_rate_text(floor) + " is past the unpaced flood on this " +
                               "machine (" + bit_rate_text(*most) + ")");
        }
    }
    // A sleep until a paced piece is due ends when the timer says, not up
    // to 50 microseconds later.
    prctl(PR_SET_TIMERSLACK, 1);
    if (const std::string refused = through->refused(); !refused.empty()) {
        say(refused + ": a consumer must have it to itself");
        return 1;
    }
    const transport_options &t = o.transport;
    if (t.pipe_asked != 0 && t.pipe_granted != t.pipe_asked) {
        say("-P " + std::to_string(t.pipe_asked) + ": the kernel grants " +
            std::to_string(t.pipe_granted) + " bytes");
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!o.json) {
        print(verdicts.markdown_heading(o.find_limit ? limit_heading()
                                                     : markdown_heading(t.datagrams())));
    }
    if (!printed()) {
        return 1; // nobody reads the table: no consumer is flooded
    }
    int exit_status = 0;
    status = status_line::open(o.progress);
    // Each consumer in turn, or all of them together.
    std::vector<std::vector<std::string>> runs;
    for (const std::string &command : o.commands) {
        if (!o.together || runs.empty()) {
            runs.emplace_back();
        }
        runs.back().push_back(command);
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::vector<std::string> &commands = runs[i];
        const std::string named = commands.size() == 1
                                      ? commands.front()
                                      : std::to_string(commands.size()) + " receivers together";
        if (status) {
            status->consumer(i + 1, runs.size(), named);
        }
        std::vector<std::pair<std::string, std::string>> failed; // command, why
        if (o.find_limit) {
            const limit_result limit = find_limit(o, commands, signals, status.get());
            const std::string why = !limit.failed()       ? ""
                                    : !limit.note.empty() ? limit.note
                                                          : "a try failed";
            const judged_row &row = verdicts.judge(json_object(limit_columns, limit), why);
            print(o.json ? json_line(row.object)
                         : verdicts.markdown_row(limit_markdown(limit), row));
            if (!why.empty()) {
                failed.emplace_back(named, why);
            }
        } else {
            for (const consumer_row &row : flood_consumers(o, commands, signals, status.get())) {
                const std::string why = row.failed() ? row.why_not_flooded() : "";
                const judged_row &with_verdicts = verdicts.judge(row_json(row), why);
                print(o.json ? json_line(with_verdicts.object)
                             : verdicts.markdown_row(markdown_row(row), with_verdicts));
                if (row.failed()) {
                    failed.emplace_back(row.command, why);
                }
            }
        }
        if (!printed()) {
            return 1;
        }
        if (signals.count() > 0) {
            stop();
        }
        for (const auto &[command, why] : failed) {
            say(valid_utf8(command) + ": " + why);
            exit_status = 1;
        }
    }
    status.reset();
    return exit_status;
}

} // namespace

int main(int argc, char **argv) {
    // No descriptor of the program's own takes 0, 1 or 2.
    const unsigned closed = hold_standard_descriptors();
    signal(SIGCHLD, SIG_DFL); // not inherited as ignored: children must be waited for
    signal(SIGPIPE, SIG_IGN); // a consumer gone is an end like any other

    const parsed_command_line parsed = parse_options(argc, argv);
    int exit_status;
    if (parsed.info) {
        std::fputs(parsed.message.c_str(), stdout);
        exit_status = printed("standard output") ? 0 : 1;
    } else if (!parsed.options) {
        exit_status = usage_error(parsed.message);
    } else if ((closed & 1u << STDOUT_FILENO) != 0) {
        say("standard output is closed: the table has nowhere to go");
        exit_status = 1;
    } else {
        gate verdicts(*parsed.options);
        try {
            stop_signals signals;
            exit_status = judged(*parsed.options, verdicts, run(*parsed.options, signals, verdicts),
                                 last_said);
        } catch (const std::exception &e) {
            say(e.what());
            exit_status = judged(*parsed.options, verdicts, 1, e.what());
        }
    }
    return message_lost && exit_status == 0 ? 1 : exit_status;
}
