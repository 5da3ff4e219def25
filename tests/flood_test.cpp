// Runs the tsflood executable as a child process and checks what reaches its
// reader, what it reports and how it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
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

// How the child starts. Descriptors given here are dup'ed onto 1 and 2; -1
// leaves that standard stream closed.
struct launch_t {
    int out = -1;
    int err = -1;
    bool ignore_sigpipe = false;
    const char *clock = nullptr; // scripted clock (fake_time.c); null: the real one
    rlim_t file_limit = RLIM_INFINITY;
    const char *arg = nullptr; // an argument the tool must ignore
};

pid_t launch(const launch_t &how) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    if (how.out >= 0) {
        dup2(how.out, STDOUT_FILENO);
    } else {
        close(STDOUT_FILENO);
    }
    if (how.err >= 0) {
        dup2(how.err, STDERR_FILENO);
    } else {
        close(STDERR_FILENO);
    }
    signal(SIGPIPE, how.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (how.file_limit != RLIM_INFINITY) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{how.file_limit, how.file_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (how.clock != nullptr) {
        setenv("LD_PRELOAD", FAKE_TIME_PATH, 1);
        setenv("FAKE_TIME_SCRIPT", how.clock, 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    execl(TSFLOOD_PATH, "tsflood", how.arg, static_cast<char *>(nullptr));
    _exit(127);
}

// Waits for the child to end and says how: "exit N", "signal NAME" or, after
// `limit` (the child is then killed), "hang".
std::string finish(pid_t pid, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "hang";
        }
        std::this_thread::sleep_for(2ms);
    }
    if (WIFSIGNALED(status)) {
        return std::string("signal ") + sigabbrev_np(WTERMSIG(status));
    }
    return "exit " + std::to_string(WEXITSTATUS(status));
}

struct pipe_t {
    int r = -1, w = -1;
    pipe_t() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~pipe_t() {
        close_r();
        close_w();
    }
    void close_r() {
        if (r >= 0) {
            close(r);
        }
        r = -1;
    }
    void close_w() {
        if (w >= 0) {
            close(w);
        }
        w = -1;
    }
};

int open_cloexec(const char *path, int flags) {
    return open(path, flags | O_CLOEXEC, 0600);
}

std::string temp_path(const char *name) {
    return testing::TempDir() + "tsflood-" + std::to_string(getpid()) + "-" + name;
}

// Checks a byte stream against an endless run of null_ts, byte by byte, so a
// torn or shifted packet anywhere shows.
struct null_stream_checker {
    std::size_t seen = 0;
    std::size_t first_bad = SIZE_MAX;

    void feed(const unsigned char *data, std::size_t n) {
        for (std::size_t i = 0; i < n && first_bad == SIZE_MAX; ++i) {
            if (data[i] != null_ts[(seen + i) % sizeof null_ts]) {
                first_bad = seen + i;
            }
        }
        seen += n;
    }
    // Reads from fd until `want` bytes more or end of file; returns the count.
    std::size_t read_from(int fd, std::size_t want) {
        static unsigned char chunk[1 << 16];
        std::size_t got = 0;
        while (got < want) {
            const ssize_t n = read(fd, chunk, std::min(sizeof chunk, want - got));
            if (n <= 0) {
                break;
            }
            feed(chunk, static_cast<std::size_t>(n));
            got += static_cast<std::size_t>(n);
        }
        return got;
    }
};

std::string read_all(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

off_t file_size(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(Stream, IsNothingButWholeNullPacketsOnPacketBoundaries) {
    pipe_t out;
    const int devnull = open_cloexec("/dev/null", O_WRONLY);
    const pid_t pid = launch({out.w, devnull, false, nullptr, RLIM_INFINITY, "--help"});
    out.close_w();

    unsigned char head[4] = {};
    ASSERT_EQ(read(out.r, head, sizeof head), 4);
    EXPECT_EQ(head[0], 0x47); // sync byte
    EXPECT_EQ(head[1], 0x1F); // PID 0x1FFF
    EXPECT_EQ(head[2], 0xFF);
    EXPECT_EQ(head[3], 0x10); // payload only

    null_stream_checker check;
    check.feed(head, sizeof head);
    const std::size_t want = 8 * 1024 * 1024;
    EXPECT_EQ(check.read_from(out.r, want), want);
    EXPECT_EQ(check.first_bad, SIZE_MAX) << "first bad byte at offset " << check.first_bad;

    out.close_r();
    EXPECT_EQ(finish(pid), "signal PIPE");
    close(devnull);
}

TEST(Stream, SurvivesStopAndContinueWhileBlockedOnASlowReader) {
    pipe_t out;
    const pid_t pid = launch({out.w, -1});
    out.close_w();

    null_stream_checker check;
    for (int round = 0; round < 400; ++round) {
        check.read_from(out.r, 16 * 1024);
        kill(pid, SIGSTOP);
        std::this_thread::sleep_for(500us);
        kill(pid, SIGCONT);
    }
    const std::size_t after = check.seen;
    EXPECT_EQ(check.read_from(out.r, 4 * block), 4 * block)
        << "the flood ended after " << after << " bytes";
    EXPECT_EQ(check.first_bad, SIZE_MAX) << "first bad byte at offset " << check.first_bad;

    out.close_r();
    EXPECT_EQ(finish(pid), "signal PIPE");
}

// Every way the output can fail ends the flood at once, silently, and never hangs.
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
        pipe_t out, err;
        launch_t how{-1, err.w, c.ignore_sigpipe, "0*100000"};
        switch (c.sink) {
        case dev_full:
            how.out = open_cloexec("/dev/full", O_WRONLY);
            break;
        case reader_gone:
            out.close_r();
            how.out = out.w;
            break;
        case full_nonblocking_pipe:
            fcntl(out.w, F_SETFL, O_NONBLOCK);
            how.out = out.w;
            break;
        case size_limited_file:
            how.out = open_cloexec(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
            how.file_limit = limit;
            break;
        }
        const pid_t pid = launch(how);
        err.close_w();
        EXPECT_EQ(finish(pid), c.ending);
        EXPECT_EQ(read_all(err.r), "");
        if (how.out != out.w) {
            close(how.out);
        }
    }
    EXPECT_EQ(file_size(file), static_cast<off_t>(limit));
    std::remove(file.c_str());
}

// The scripted clock returns one value per call: the first is read at
// start-up, then one per iteration before its write; when it runs out the
// child ends with status 77, which also proves one clock read per write.
// A clock set back reports like one set forward ("9 9 3"), and the block
// written in the iteration that reports counts towards the next line.
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
        pipe_t err;
        const int devnull = open_cloexec("/dev/null", O_WRONLY);
        const pid_t pid = launch({devnull, err.w, false, c.clock});
        err.close_w();
        EXPECT_EQ(read_all(err.r), c.report);
        EXPECT_EQ(finish(pid), "exit 77");
        close(devnull);
    }
}

// Reports never stop the stream: a closed or full standard error is ignored
// and every byte counted is a byte out.
TEST(Report, AFailingStandardErrorDoesNotStopTheStream) {
    const std::string file = temp_path("out.ts");
    const char *const errs[] = {nullptr, "/dev/full"};
    for (const char *err_path : errs) {
        SCOPED_TRACE(err_path ? err_path : "closed");
        const int out = open_cloexec(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
        const int err = err_path ? open_cloexec(err_path, O_WRONLY) : -1;
        const pid_t pid = launch({out, err, false, "0 1 1 2 2 3"});
        EXPECT_EQ(finish(pid), "exit 77");
        EXPECT_EQ(file_size(file), static_cast<off_t>(5 * block));
        close(out);
        if (err >= 0) {
            close(err);
        }
    }
    std::remove(file.c_str());
}

// "written: " then a figure with two decimals, a space and a unit label.
bool is_report_line(const std::string &line) {
    const std::string prefix = "written: ";
    const std::size_t space = line.rfind(' ');
    if (line.compare(0, prefix.size(), prefix) != 0 || space < prefix.size() + 4) {
        return false;
    }
    const std::string figure = line.substr(prefix.size(), space - prefix.size());
    const std::string label = line.substr(space + 1);
    const std::size_t point = figure.size() - 3;
    for (std::size_t i = 0; i < figure.size(); ++i) {
        if (i == point ? figure[i] != '.' : !std::isdigit(static_cast<unsigned char>(figure[i]))) {
            return false;
        }
    }
    const char *const labels[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    return std::find(std::begin(labels), std::end(labels), label) != std::end(labels);
}

TEST(Report, IsAboutOneLineASecondInRealTime) {
    pipe_t err;
    const int devnull = open_cloexec("/dev/null", O_WRONLY);
    const pid_t pid = launch({devnull, err.w});
    err.close_w();
    std::this_thread::sleep_for(3500ms);
    kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid), "signal TERM");
    close(devnull);

    const std::string text = read_all(err.r);
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(is_report_line(line)) << line;
        ++count;
    }
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    EXPECT_GE(count, 2) << text;
    EXPECT_LE(count, 5) << text;
}

} // namespace
