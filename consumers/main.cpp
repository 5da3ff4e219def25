// SPDX-License-Identifier: MIT
// tsflood-consumers: floods transport stream consumers, one after another,
// with tsflood's null packets, through a pipe or over UDP, and prints one
// row for each: what it was sent, at what rate, what it cost, what it said
// and how it ended. Every process a consumer starts is ended with it.
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "limit.h"
#include "options.h"
#include "procfs.h"
#include "session.h"

int main(int argc, char **argv) {
    // Blocked before anything starts and read from a signalfd, a stop
    // signal is never lost: one that comes during start-up waits its turn.
    // One that the caller ignores (nohup) stays ignored.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGCHLD);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction inherited {};
        if (sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN) {
            sigaddset(&handled, sig);
        }
    }
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    signal(SIGCHLD, SIG_DFL); // not inherited as ignored: children must be waited for
    signal(SIGPIPE, SIG_IGN); // a consumer gone is an end like any other
    signals_t signals;
    signals.fd = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    // Standard input, output and error open, so no pipe of ours takes their numbers.
    for (int fd = open("/dev/null", O_RDWR); fd >= 0 && fd <= STDERR_FILENO;) {
        fd = open("/dev/null", O_RDWR);
    }

    const parsed_t parsed = parse_options(argc, argv);
    if (parsed.info) {
        std::fputs(parsed.message.c_str(), stdout);
        return 0;
    }
    const auto usage_error = [](const std::string &what) {
        std::fprintf(stderr, "tsflood-consumers: %s\n%s\n", what.c_str(), usage_line);
        return 2;
    };
    if (!parsed.options) {
        return usage_error(parsed.message);
    }
    const options_t &o = *parsed.options;
    // A paced flood cannot go faster than the unpaced one.
    if (o.rate > 0 || o.find_limit) {
        const double most = unpaced_maximum(o);
        const double floor = o.rate > 0 ? o.rate : default_floor_bits_per_s;
        if (most == 0) {
            return usage_error(o.tsflood + " gave no flood");
        }
        if (floor > most) {
            return usage_error((o.rate > 0 ? "-r " : "the search's floor, ") +
                               bit_rate_text(floor) + " is past the unpaced flood on this " +
                               "machine (" + bit_rate_text(most) + ")");
        }
    }
    // A sleep until a paced piece is due ends when the timer says, not up
    // to 50 microseconds later.
    prctl(PR_SET_TIMERSLACK, 1);
    if (signals.fd < 0) {
        std::perror("tsflood-consumers: no signalfd to read signals from");
        return 1;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        // qemu-user, for one, does not pass it on.
        std::perror("tsflood-consumers: cannot become a child subreaper, which holds all that a "
                    "consumer starts");
        return 1;
    }
    if (o.port != 0) {
        const auto taken = udp_sockets(o.port);
        if (!taken.empty()) {
            std::fprintf(stderr,
                         "tsflood-consumers: UDP port %u is in use by %s: a consumer must have it "
                         "to itself\n",
                         o.port, holder_of(taken.front().inode).c_str());
            return 1;
        }
    }
    if (o.pipe_asked != 0 && o.pipe_granted != o.pipe_asked) {
        std::fprintf(stderr, "tsflood-consumers: -P %ld: the kernel grants %ld bytes\n",
                     o.pipe_asked, o.pipe_granted);
    }

    // True when what was printed reached standard output. Once nobody reads
    // the table, no other consumer is flooded.
    const auto printed = [] {
        if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
            return true;
        }
        std::perror("tsflood-consumers: the table cannot be written");
        return false;
    };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!o.json) {
        std::fputs((o.find_limit ? limit_heading() : markdown_heading(o.port != 0)).c_str(),
                   stdout);
    }
    if (!printed()) {
        return 1;
    }
    int status = 0;
    for (const auto &command : o.commands) {
        bool flooded = true;
        if (o.find_limit) {
            const limit_t limit = find_limit(o, command, signals);
            std::fputs((o.json ? limit_json(limit) : limit_markdown(limit)).c_str(), stdout);
            for (const row_t &row : limit.tries) {
                flooded = flooded && row.flooded();
            }
        } else {
            const row_t row = flood_consumer(o, command, signals);
            std::fputs((o.json ? json_row(row) : markdown_row(row)).c_str(), stdout);
            flooded = row.flooded();
        }
        if (!printed()) {
            return 1;
        }
        status = flooded ? status : 1;
        if (signals.stops > 0) {
            // Stopped: the rest is not run, and the harness ends by the
            // signal it was sent, as its caller expects.
            signal(signals.first, SIG_DFL);
            sigprocmask(SIG_UNBLOCK, &handled, nullptr);
            raise(signals.first);
        }
    }
    return status;
}
