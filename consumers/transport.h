// SPDX-License-Identifier: MIT
// How the flood reaches a consumer: through a pipe, in datagrams to its
// UDP port, or to a multicast group it has joined. Each is one unit that
// owns the consumer's input, the wait until the consumer is ready, the
// descriptor the flood is written to, what it knows of delivery, and the
// texts of its failures; the rest of the program asks it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "posix.h"
#include "sampler.h"

// Where the unpaced flood is measured: `out`, written to, and what must
// stay open for it to take the flood (the socket it sends to).
struct measuring_sink {
    unique_fd out, held;
};

// What the flood is written to, and where it goes ("127.0.0.1:5000").
struct flood_output {
    unique_fd fd; // non-blocking
    std::string to;
};

class transport {
  public:
    virtual ~transport() = default;
    // The row's mode: "pipe", "udp", "group".
    virtual const char *mode() const = 0;
    // In datagrams of 7 packets (behind an RTP header, if asked); else a
    // byte stream, each byte counted as it is taken.
    virtual bool datagrams() const = 0;
    // What the sampler looks at, with datagrams.
    virtual const port_watch *watch() const {
        return nullptr;
    }
    // Why no consumer can be started, when none can: checked before each
    // run.
    virtual std::string refused() const {
        return "";
    }
    // A consumer's standard input, made as it is started; none: /dev/null.
    virtual unique_fd consumer_input() {
        return {};
    }
    // Whether a consumer must be waited for before the flood: one that
    // listens on a socket.
    virtual bool listens() const {
        return false;
    }
    // With `listening` its sockets at the last look, none of which the
    // flood reaches: why not, for its row.
    virtual std::string why_not_reached(const listening_sockets &listening) const;
    // The output of a flood to the consumers whose sockets are
    // `listening`, now that they are ready.
    virtual flood_output open(const std::vector<listening_sockets> &listening) = 0;
    // Why the flood could not go on, from the errno that ended it, `at`
    // its time (" at 1.2 s"); and whether that was the consumer's doing
    // (it closed its input, it refused the flood), not a failure.
    virtual std::string ended_text(int error, const std::string &to, const std::string &at) const;
    virtual bool ended_by_consumer(int error) const = 0;
    // A flood that no consumer refuses ends once nothing has reached any
    // for this long (a group's receivers leave without a word).
    virtual bool ends_when_unreached() const {
        return false;
    }
    // What the unpaced flood is measured into, as the consumers would
    // take it: /dev/null, or a loopback socket that nobody reads.
    virtual measuring_sink sink() const = 0;
};

std::unique_ptr<transport> make_transport(const run_options &options);
