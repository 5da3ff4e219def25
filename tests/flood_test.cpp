// SPDX-License-Identifier: MIT
// Runs the tsflood executable as a child process and checks what reaches its
// reader, what it reports and how it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 warns falsely about <regex>'s own code when it optimises (-O1 and up).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mpegts/types.h"

namespace {

// Where the flood's standard output goes.
enum class output {
    dev_null,
    full_disk,           // /dev/full
    pipe_without_reader, // a pipe whose read end is closed
    full_pipe,           // a non-blocking pipe that nobody reads
    test_pipe,           // the test's own pipe, passed as `fd`
    test_file,           // a file of the test's, passed as `fd`
};

// What else the flood inherits, combined with |.
enum class inherit : unsigned {
    nothing = 0,
    ignored_signals = 1 << 0, // SIGPIPE and SIGXFSZ ignored
    size_limit = 1 << 1,      // a file size limit of 1,000,000 bytes: 3 blocks and part of a 4th
    full_stderr = 1 << 2,     // standard error on /dev/full
};
constexpr inherit operator|(inherit a, inherit b) {
    return static_cast<inherit>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool has(inherit set, inherit one) {
    return (static_cast<unsigned>(set) & static_cast<unsigned>(one)) != 0;
}

// Starts tsflood with its standard output as `out` says, under the fake_time.c
// script `clock` (null: the real clock); returns its pid and the read end of
// its standard error pipe. A flood still running after 5 s ends by SIGALRM.
std::pair<pid_t, int> launch(const char *clock, output out, inherit with, int fd = -1) {
    int err[2];
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    const pid_t pid = fork();
    if (pid != 0) {
        close(err[1]);
        return {pid, err[0]};
    }
    int fds[2];
    switch (out) {
    case output::dev_null:
    case output::full_disk:
        fd = open(out == output::full_disk ? "/dev/full" : "/dev/null", O_WRONLY);
        break;
    case output::pipe_without_reader:
    case output::full_pipe: // its read end stays open here, unread
        pipe2(fds, out == output::full_pipe ? O_NONBLOCK : 0);
        fd = fds[1];
        if (out == output::pipe_without_reader) {
            close(fds[0]);
        }
        break;
    case output::test_pipe:
    case output::test_file:
        break;
    }
    dup2(fd, 1);
    dup2(has(with, inherit::full_stderr) ? open("/dev/full", O_WRONLY) : err[1], 2);
    for (int sig : {SIGPIPE, SIGXFSZ}) {
        signal(sig, has(with, inherit::ignored_signals) ? SIG_IGN : SIG_DFL);
    }
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = has(with, inherit::size_limit) ? 1000000 : RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &limit);
    if (clock != nullptr) {
        setenv("LD_PRELOAD", FAKE_TIME_PATH, 1);
        setenv("FAKE_TIME_SCRIPT", clock, 1);
    }
    alarm(5); // survives exec: no test waits on a stuck flood for long
    execl(TSFLOOD_PATH, "tsflood", "--an-argument-to-ignore", static_cast<char *>(nullptr));
    _exit(127);
}

// Waits for the child; returns what it left in its standard error pipe and how
// it ended.
std::string finish(std::pair<pid_t, int> child) {
    int status = 0;
    waitpid(child.first, &status, 0);
    char said[1 << 16];
    const ssize_t n = read(child.second, said, sizeof said);
    close(child.second);
    const int sig = WTERMSIG(status);
    return std::string(said, n > 0 ? static_cast<std::size_t>(n) : 0) +
           (!WIFSIGNALED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
            : sig == SIGALRM     ? "no end within 5 s"
                                 : std::string("signal ") + sigabbrev_np(sig));
}

// The reader checks every byte against an endless run of null_ts while it
// stops and continues the writer, for a little more than a second of real
// time. A writer stopped while blocked on a pipe gets a short count when it
// continues: the flood must finish the block, tear no packet and go on. The
// real clock brings a report line or two, and nothing else, on standard error.
TEST(Flood, WholeNullPacketsThroughStopAndContinue) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const auto child = launch(nullptr, output::test_pipe, inherit::nothing, out[1]);
    close(out[1]);
    std::size_t seen = 0, first_bad = SIZE_MAX;
    // Bounded by time, not rounds: on a slow or emulated machine fewer rounds
    // fit, and the report still comes once or twice.
    const auto began = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - began < std::chrono::milliseconds(1200)) {
        static unsigned char chunk[16 * 1024];
        const ssize_t n = read(out[0], chunk, sizeof chunk);
        ASSERT_GT(n, 0) << "the flood ended after " << seen << " bytes";
        for (ssize_t i = 0; i < n; ++i, ++seen) {
            first_bad = std::min(first_bad, chunk[i] == null_ts[seen % 188] ? SIZE_MAX : seen);
        }
        kill(child.first, SIGSTOP);
        usleep(500);
        kill(child.first, SIGCONT);
    }
    EXPECT_EQ(first_bad, SIZE_MAX) << "first bad byte at offset " << first_bad;
    close(out[0]);
    const std::string said = finish(child);
    const std::regex lines("(written: \\d+\\.\\d\\d (B|KiB|MiB|GiB|TiB|PiB)\n){1,3}signal PIPE");
    EXPECT_TRUE(std::regex_match(said, lines)) << said;
}

// The scripted clock gives one value per call: the first is read at start-up,
// then one per iteration before its write. When it runs out the child exits
// with 77, which also shows one clock read per write. Every output fault ends
// the flood at once and silently while the clock stands still. A clock set
// back reports like one set forward ("9 9 3"), and the block written in the
// iteration that reports counts towards the next line. A full standard error
// never stops the stream: six clock reads pay for five whole blocks.
TEST(Flood, EndsAndReportsExactlyUnderAScriptedClock) {
    const char *const still = "0*100000";
    using o = output;
    using i = inherit;
    const struct {
        const char *clock;
        output out;
        inherit with;
        const char *outcome;
    } cases[] = {
        {still,         o::full_disk,           i::nothing,                         "exit 1"                        },
        {still,         o::pipe_without_reader, i::nothing,                         "signal PIPE"                   },
        {still,         o::pipe_without_reader, i::ignored_signals,                 "exit 1"                        },
        {still,         o::full_pipe,           i::nothing,                         "exit 1"                        },
        {still,         o::test_file,           i::size_limit,                      "signal XFSZ, 1000000 bytes out"},
        {still,         o::test_file,           i::size_limit | i::ignored_signals, "exit 1, 1000000 bytes out"     },
        {"0 1 1 2 2 3", o::test_file,           i::full_stderr,                     "exit 77, 1310360 bytes out"    },
        {"0 1",         o::dev_null,            i::nothing,                         "written: 0.00 B\nexit 77"      },
        {"0*5 1",       o::dev_null,            i::nothing,                         "written: 1023.72 KiB\nexit 77" },
        {"0*6 1",       o::dev_null,            i::nothing,                         "written: 1.25 MiB\nexit 77"    },
        {"0*4097 1",    o::dev_null,            i::nothing,                         "written: 1023.72 MiB\nexit 77" },
        {"0*16385 1",   o::dev_null,            i::nothing,                         "written: 4.00 GiB\nexit 77"    },
        {"9 9 3",       o::dev_null,            i::nothing,                         "written: 255.93 KiB\nexit 77"  },
        {"0 0 7*3 100", o::dev_null,            i::nothing,
         "written: 255.93 KiB\nwritten: 767.79 KiB\nexit 77"                                                        },
        {"0*50",        o::dev_null,            i::nothing,                         "exit 77"                       },
    };
    for (const auto &c : cases) {
        // What it said on standard error, how it ended and, into a file, how
        // many bytes reached it.
        const bool to_file = c.out == output::test_file;
        const int file =
            to_file ? open(testing::TempDir().c_str(), O_TMPFILE | O_WRONLY, 0600) : -1;
        std::string outcome = finish(launch(c.clock, c.out, c.with, file));
        if (to_file) {
            outcome += ", " + std::to_string(lseek(file, 0, SEEK_END)) + " bytes out";
            close(file);
        }
        EXPECT_EQ(outcome, c.outcome) << c.clock << ", row " << &c - cases;
    }
}

} // namespace
