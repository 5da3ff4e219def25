// SPDX-License-Identifier: MIT
// tsflood-consumers: floods transport stream consumers, one after another,
// with tsflood's null packets, through a pipe or over UDP, and prints one
// row for each: what it was sent, at what rate, what it cost, what it said
// and how it ended. Every process a consumer starts is ended with it.
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <sys/prctl.h>
#include <system_error>
#include <unistd.h>

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

// "tsflood-consumers: " and the message, on a line of standard error.
void say(const std::string &message) {
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

int run(const run_options &o, stop_signals &signals) {
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
            signals.end_by_first();
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
        print(o.find_limit ? limit_heading() : markdown_heading(t.datagrams()));
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
            print(o.json ? limit_json(limit) : limit_markdown(limit));
            if (limit.failed()) {
                failed.emplace_back(named, !limit.note.empty() ? limit.note : "a try failed");
            }
        } else {
            for (const consumer_row &row : flood_consumers(o, commands, signals, status.get())) {
                print(o.json ? json_line(row_json(row)) : markdown_row(row));
                if (row.failed()) {
                    failed.emplace_back(row.command, row.why_not_flooded());
                }
            }
        }
        if (!printed()) {
            return 1;
        }
        if (signals.count() > 0) {
            // Stopped: the rest is not run, and the harness ends by the
            // signal it was sent, as its caller expects.
            status.reset();
            signals.end_by_first();
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
        try {
            stop_signals signals;
            exit_status = run(*parsed.options, signals);
        } catch (const std::exception &e) {
            say(e.what());
            exit_status = 1;
        }
    }
    return message_lost && exit_status == 0 ? 1 : exit_status;
}
