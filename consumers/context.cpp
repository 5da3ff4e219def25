// SPDX-License-Identifier: MIT
// What the phases of a run share: its waits, and what they take in.
#include <algorithm>
#include <cerrno>
#include <unistd.h>

#include "phases.h"
#include "text.h"

namespace {

constexpr std::size_t output_chunk = 1 << 16;
constexpr double output_rate = 64 << 20; // bytes per second that may always be read
constexpr double most_output_room = 1 << 20;

// Bytes of `c`'s output that may be read at `now`: what its flood gave it
// room for, and what time has since.
double room(const consumer_process &c, time_point now) {
    return std::min(most_output_room,
                    c.output_room + output_rate * seconds_between(c.output_read, now));
}

} // namespace

woken run_context::wait(time_point until, pollfd *extra, std::size_t extras) const {
    const time_point now = clock_type::now();
    watched what{signals.pollable(), {}, {}};
    for (const consumer_process &c : consumers) {
        what.children.push_back(&c.process);
        const double room_now = room(c, now);
        if (room_now > 0) {
            what.outputs.push_back(c.output.get());
        } else if (c.output) {
            until = std::min(until, now + seconds_of(-room_now / output_rate)); // when there is
        }
    }
    return wait_until(until, what, extra, extras);
}

void run_context::attend(const woken &w) {
    if (w.signal) {
        signals.take();
    }
    if (w.output) {
        read_output(false);
    }
    if (w.child) {
        for (consumer_process &c : consumers) {
            c.process.reap(false);
        }
    }
}

void run_context::read_output(bool all) {
    static char chunk[output_chunk];
    const time_point now = clock_type::now();
    for (consumer_process &c : consumers) {
        c.output_room = room(c, now);
        c.output_read = now;
        while (c.output && (all || c.output_room > 0)) {
            const ssize_t n = read(c.output.get(), chunk, sizeof chunk);
            if (n > 0) {
                c.said.take(chunk, static_cast<std::size_t>(n));
                c.output_room -= static_cast<double>(n);
            } else if (n == 0 || errno != EINTR) {
                if (n == 0) {
                    c.output.reset(); // its last writer is gone
                }
                break;
            }
        }
    }
}

void run_context::flooded(std::uint64_t bytes) {
    for (consumer_process &c : consumers) {
        c.output_room += static_cast<double>(bytes);
    }
}

bool run_context::all_ended() const {
    return std::all_of(consumers.begin(), consumers.end(),
                       [](const consumer_process &c) { return c.process.reaped(); });
}

std::string run_context::at_text(time_point t) const {
    return " at " + fixed(since_start(t), 1) + " s";
}

std::string run_context::stop_text() const {
    return "SIG" + signal_name(signals.first());
}
