// Runs the tsflood executable as a child process and checks what reaches its
// reader, what it reports and how it ends.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "mpegts/types.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t block = 262072;

// How the child starts: descriptors for its standard output and error (-1
// leaves one closed), SIGPIPE's disposition, a scripted clock (fake_time.c;
// null keeps the real one) and a file size limit (with SIGXFSZ ignored).
struct launch_t {
    int out = -1;
    int err = -1;
    bool ignore_sigpipe = false;
    const char *clock = nullptr;
    rlim_t file_limit = RLIM_INFINITY;
};

pid_t launch(const launch_t &how) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    const auto attach = [](int from, int to) { from >= 0 ? dup2(from, to) : close(to); };
    attach(how.out, STDOUT_FILENO);
    attach(how.err, STDERR_FILENO);
    signal(SIGPIPE, how.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{how.file_limit, how.file_limit};
    setrlimit(RLIMIT_FSIZE, &limit);
    if (how.clock != nullptr) {
        setenv("LD_PRELOAD", FAKE_TIME_PATH, 1);
        setenv("FAKE_TIME_SCRIPT", how.clock, 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    execl(TSFLOOD_PATH, "tsflood", "--an-argument-to-ignore", static_cast<char *>(nullptr));
    _exit(127);
}

// Waits for the child and says how it ended: "exit N", "signal NAME", or
// "hang" when it was still running after 30 s (it is then killed).
std::string finish(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "hang";
        }
        std::this_thread::sleep_for(2ms);
    }
    return WIFSIGNALED(status) ? std::string("signal ") + sigabbrev_np(WTERMSIG(status))
                               : "exit " + std::to_string(WEXITSTATUS(status));
}

struct pipe_t {
    int r = -1, w = -1;
};

pipe_t make_pipe() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    return {fds[0], fds[1]};
}

void shut(int &fd) {
    if (fd >= 0) {
        close(fd);
    }
    fd = -1;
}

int open_file(const std::string &path, int flags = O_WRONLY) {
    return open(path.c_str(), flags | O_CLOEXEC, 0600);
}

std::string temp_path(const char *name) {
    return testing::TempDir() + "tsflood-" + std::to_string(getpid()) + "-" + name;
}

off_t file_size(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string read_all(int fd) {
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

// Checks a byte stream against an endless run of null_ts, byte by byte, so a
// torn or shifted packet anywhere shows.
struct null_stream_checker {
    std::size_t seen = 0;
    std::size_t first_bad = SIZE_MAX;

    // Reads up to `want` more bytes from fd; returns how many came.
    std::size_t read_from(int fd, std::size_t want) {
        static unsigned char chunk[1 << 16];
        std::size_t got = 0;
        while (got < want) {
            const ssize_t n = read(fd, chunk, std::min(sizeof chunk, want - got));
            if (n <= 0) {
                break;
            }
            for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
                if (chunk[i] != null_ts[(seen + i) % sizeof null_ts] && first_bad == SIZE_MAX) {
                    first_bad = seen + i;
                }
            }
            got += static_cast<std::size_t>(n);
            seen += static_cast<std::size_t>(n);
        }
        return got;
    }
};

// "written: ", a figure with exactly two decimals, a space, a unit label.
bool is_report_line(const std::string &line) {
    unsigned whole = 0, cents = 0;
    char unit[4] = {};
    int used = 0;
    const std::size_t point = line.find('.');
    return std::sscanf(line.c_str(), "written: %u.%2u %3s%n", &whole, &cents, unit, &used) == 3 &&
           static_cast<std::size_t>(used) == line.size() && line[point + 3] == ' ' &&
           std::strstr(" B KiB MiB GiB TiB PiB ", (" " + std::string(unit) + " ").c_str());
}

TEST(Stream, IsNothingButWholeNullPacketsOnPacketBoundaries) {
    pipe_t out = make_pipe();
    const pid_t pid = launch({out.w});
    shut(out.w);
    null_stream_checker check;
    EXPECT_EQ(check.read_from(out.r, 8 << 20), 8U << 20);
    EXPECT_EQ(check.first_bad, SIZE_MAX) << "first bad byte at offset " << check.first_bad;
    shut(out.r);
    EXPECT_EQ(finish(pid), "signal PIPE");
}

// Stopped while blocked in a write, a writer gets a short count when it
// continues; the flood must complete the block and go on.
TEST(Stream, SurvivesStopAndContinueWhileBlockedOnASlowReader) {
    pipe_t out = make_pipe();
    const pid_t pid = launch({out.w});
    shut(out.w);
    null_stream_checker check;
    for (int round = 0; round < 400; ++round) {
        check.read_from(out.r, 16 * 1024);
        kill(pid, SIGSTOP);
        std::this_thread::sleep_for(500us);
        kill(pid, SIGCONT);
    }
    const std::size_t before = check.seen;
    EXPECT_EQ(check.read_from(out.r, 4 * block), 4 * block) << "ended after " << before << " bytes";
    EXPECT_EQ(check.first_bad, SIZE_MAX) << "first bad byte at offset " << check.first_bad;
    shut(out.r);
    EXPECT_EQ(finish(pid), "signal PIPE");
}

// Every output fault ends the flood at once and silently; none hangs. The
// clock stands still, so no report line is due.
TEST(Ending, EveryOutputFaultEndsTheFloodSilently) {
    enum sink_t { dev_full, reader_gone, full_nonblocking_pipe, size_limited_file };
    const rlim_t limit = 1000000; // three whole blocks and part of a fourth
    const struct {
        const char *name;
        sink_t sink;
        bool ignore_sigpipe;
        const char *ending;
    } cases[] = {
        {"disk full",                       dev_full,              false, "exit 1"     },
        {"reader gone, SIGPIPE default",    reader_gone,           false, "signal PIPE"},
        {"reader gone, SIGPIPE ignored",    reader_gone,           true,  "exit 1"     },
        {"non-blocking pipe, nobody reads", full_nonblocking_pipe, false, "exit 1"     },
        {"file size limit",                 size_limited_file,     false, "exit 1"     },
    };
    const std::string file = temp_path("limited.ts");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pipe_t out = make_pipe(), err = make_pipe();
        launch_t how{out.w, err.w, c.ignore_sigpipe, "0*100000"};
        if (c.sink == dev_full) {
            how.out = open_file("/dev/full");
        } else if (c.sink == reader_gone) {
            shut(out.r);
        } else if (c.sink == full_nonblocking_pipe) {
            fcntl(out.w, F_SETFL, O_NONBLOCK);
        } else {
            how.out = open_file(file, O_WRONLY | O_CREAT | O_TRUNC);
            how.file_limit = limit;
        }
        const pid_t pid = launch(how);
        shut(err.w);
        EXPECT_EQ(finish(pid), c.ending);
        EXPECT_EQ(read_all(err.r), "");
        for (int fd : {how.out == out.w ? -1 : how.out, out.r, out.w, err.r}) {
            shut(fd);
        }
    }
    EXPECT_EQ(file_size(file), static_cast<off_t>(limit));
    std::remove(file.c_str());
}

// The scripted clock gives one value per call: the first is read at start-up,
// then one per iteration before its write. When it runs out the child exits
// with 77, which also shows one clock read per write. A clock set back
// reports like one set forward ("9 9 3"), and the block written in the
// iteration that reports counts towards the next line.
TEST(Report, IsExactUnderAScriptedClock) {
    const struct {
        const char *clock;
        const char *report;
    } cases[] = {
        {"0 1",         "written: 0.00 B\n"                         },
        {"0 0 1",       "written: 255.93 KiB\n"                     },
        {"0 0 0 1",     "written: 511.86 KiB\n"                     },
        {"0*5 1",       "written: 1023.72 KiB\n"                    },
        {"0*6 1",       "written: 1.25 MiB\n"                       },
        {"0*4097 1",    "written: 1023.72 MiB\n"                    },
        {"0*16385 1",   "written: 4.00 GiB\n"                       },
        {"9 9 3",       "written: 255.93 KiB\n"                     },
        {"0 1 1 2",     "written: 0.00 B\nwritten: 511.86 KiB\n"    },
        {"0 0 7*3 100", "written: 255.93 KiB\nwritten: 767.79 KiB\n"},
        {"0*50",        ""                                          },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.clock);
        pipe_t err = make_pipe();
        const int devnull = open_file("/dev/null");
        const pid_t pid = launch({devnull, err.w, false, c.clock});
        shut(err.w);
        EXPECT_EQ(read_all(err.r), c.report);
        EXPECT_EQ(finish(pid), "exit 77");
        close(devnull);
        shut(err.r);
    }
}

// A closed or full standard error never stops the stream, and every byte
// counted is a byte out: six clock reads pay for five whole blocks.
TEST(Report, AFailingStandardErrorDoesNotStopTheStream) {
    const std::string file = temp_path("out.ts");
    for (const char *err_path : {"", "/dev/full"}) {
        SCOPED_TRACE(err_path);
        const int out = open_file(file, O_WRONLY | O_CREAT | O_TRUNC);
        const int err = *err_path ? open_file(err_path) : -1;
        EXPECT_EQ(finish(launch({out, err, false, "0 1 1 2 2 3"})), "exit 77");
        EXPECT_EQ(file_size(file), static_cast<off_t>(5 * block));
        close(out);
        if (err >= 0) {
            close(err);
        }
    }
    std::remove(file.c_str());
}

TEST(Report, IsAboutOneLineASecondInRealTime) {
    pipe_t err = make_pipe();
    const int devnull = open_file("/dev/null");
    const pid_t pid = launch({devnull, err.w});
    shut(err.w);
    std::this_thread::sleep_for(3500ms);
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid), "signal TERM");
    close(devnull);

    const std::string text = read_all(err.r);
    shut(err.r);
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(is_report_line(line)) << line;
    }
    EXPECT_TRUE(text.empty() || text.back() == '\n') << text;
    EXPECT_GE(count, 2) << text;
    EXPECT_LE(count, 5) << text;
}

} // namespace
