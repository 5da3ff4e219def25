// SPDX-License-Identifier: MIT
#include "source.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "mover.h"
#include "phases.h"

namespace {

using std::chrono::milliseconds;

constexpr int flood_pipe_size = 1 << 20;                   // tsflood's blocks pass whole
constexpr auto first_bytes_wait = std::chrono::seconds(2); // for tsflood, when measured
constexpr auto calibration = milliseconds(250);            // of the unpaced flood into a sink
constexpr std::size_t big_step = 1 << 20;

} // namespace

running_tsflood start_tsflood(const std::string &path) {
    pipe_ends pipe = make_pipe();
    fcntl(pipe.read.get(), F_SETPIPE_SZ, flood_pipe_size); // a smaller one only slows it
    set_nonblocking(pipe.read.get());
    return {spawn({{path}, -1, pipe.write.get(), -1, true, {}}), std::move(pipe.read)};
}

void kill_and_reap(const std::vector<process_stat> &tree) {
    for (const auto &p : tree) {
        signal_process(p, SIGKILL);
    }
    const time_point give_up = clock_type::now() + std::chrono::seconds(1);
    for (std::size_t left = tree.size(); left > 0 && clock_type::now() < give_up;) {
        left = 0;
        for (const auto &p : tree) {
            const auto now = stat_of(p.pid);
            if (now && now->start_ticks == p.start_ticks) {
                ++left;
                if (now->zombie && now->ppid == getpid()) {
                    waitpid(p.pid, nullptr, WNOHANG);
                }
            }
        }
        if (left > 0) {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
}

int end_tsflood(running_tsflood &tsflood) {
    const pid_t pid = tsflood.process.pid();
    // Found while tsflood lives, before its output closes, so that what left
    // its session is still known by its parentage.
    std::vector<process_stat> tree = descendants(pid);
    for (const auto &p : descendants(getpid())) {
        if (p.session == pid && p.pid != pid) {
            tree.push_back(p);
        }
    }
    tsflood.process.signal(SIGKILL);
    tsflood.output.reset();
    const int status = tsflood.process.reap(true)->status;
    kill_and_reap(tree);
    return status;
}

std::string status_text(int status) {
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + signal_name(WTERMSIG(status));
}

std::optional<double> unpaced_maximum(const run_options &options, transport &through,
                                      stop_signals &signals) {
    running_tsflood tsflood = start_tsflood(options.tsflood);
    const measuring_sink sink = through.sink();
    run_context ctx(options, through, signals);
    flood_mover mover(tsflood.output.get(), sink.out.get(), through.datagrams());
    const time_point give_up = clock_type::now() + first_bytes_wait;
    move_limits limits;
    limits.deadline = give_up + calibration;
    limits.most = [] { return big_step; };
    limits.done = [&] {
        const auto first = mover.first_byte();
        return first ? clock_type::now() - *first >= calibration : clock_type::now() >= give_up;
    };
    const moved_until how = move_until(ctx, mover, limits);
    const auto first = mover.first_byte();
    const double seconds = first ? seconds_between(*first, clock_type::now()) : 0;
    end_tsflood(tsflood);
    // No consumer runs yet: whatever is left below the harness is tsflood's.
    kill_and_reap(descendants(getpid()));
    if (how == moved_until::stopped) {
        return std::nullopt;
    }
    return seconds > 0 ? static_cast<double>(mover.bytes()) * 8 / seconds : 0;
}
