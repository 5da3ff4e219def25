// SPDX-License-Identifier: MIT
// One status line on a terminal while consumers are flooded and searched:
// which consumer, its phase and how far it is, redrawn in place a few times
// a second by a thread of its own, from figures the program already has.
// The flood only stores numbers for it; the drawing never waits on the
// terminal, as it writes to its own non-blocking description of it and
// drops a line the terminal cannot take at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "posix.h"

class status_line {
  public:
    enum class phase_type { starting, listening, flooding, finishing, grace, ending };
    // What a search has found so far.
    struct search_state {
        int try_number = 0;
        double rate = 0; // bits per second; 0: unpaced
        std::optional<double> loss_free, lossy;
        int tries_left = -1; // about; -1: not known yet
    };

    // On standard error: nothing when `wanted` says no, or when it says
    // nothing and standard error is not a terminal; plain lines once a second
    // for TERM=dumb.
    static std::unique_ptr<status_line> open(std::optional<bool> wanted);
    ~status_line();

    // The main thread's news. None of them waits on the terminal.
    void consumer(std::size_t number, std::size_t of, const std::string &command);
    void phase(phase_type phase, double seconds = 0); // the phase's length, if it has one
    void search(const search_state &state);
    // Figures of the flood, as plain stores.
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<bool> udp{false};

    // Erases the line at once, before a row or a message is printed; it is
    // drawn again at the next refresh.
    void clear();

  private:
    status_line(unique_fd terminal, bool plain);
    void run();
    std::string text(std::size_t width);
    void write_line(const std::string &line); // with mutex_ held

    unique_fd terminal_;
    const bool plain_; // TERM=dumb: lines, no control sequences
    std::mutex mutex_; // guards all below, and the terminal's writes
    std::condition_variable changed_;
    bool stop_ = false, drawn_ = false;
    std::size_t number_ = 0, of_ = 0;
    std::string command_;
    phase_type phase_ = phase_type::starting;
    double phase_seconds_ = 0;
    time_point phase_began_;
    std::optional<search_state> search_;
    std::thread thread_;
};
