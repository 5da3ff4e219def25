// SPDX-License-Identifier: MIT
// What the transports that send datagrams share: the port, which no other
// process may hold, the look at its sockets, and the measurement of the
// unpaced flood into a loopback socket.
#pragma once

#include <mutex>

#include "transport.h"

class datagram_transport : public transport, public port_watch {
  public:
    explicit datagram_transport(unsigned port) : port_(port) {}
    bool datagrams() const override {
        return true;
    }
    const port_watch *watch() const override {
        return this;
    }
    bool listens() const override {
        return true;
    }
    std::string refused() const override;
    measuring_sink sink() const override;
    look look_at_port() const override;

  protected:
    // Whether the flood reaches socket `s` of the port, as the kernel
    // delivers it now; `table` is what the kernel's tables said, read once
    // a look.
    struct kernel_state {
        unsigned members = 0; // of the group on the loopback interface
    };
    virtual kernel_state read_state() const {
        return {};
    }
    virtual reach reaches(const udp_socket &s, const kernel_state &state) const = 0;

    const unsigned port_;

  private:
    mutable udp_tables tables_; // read by one look at a time: the sampler's
};

// "127.0.0.1", "::1", "::ffff:127.0.0.1": whether the socket is bound to
// an address of the loopback interface, or to every address.
bool on_loopback(const udp_socket &s);
bool bound_to_any(const udp_socket &s);
