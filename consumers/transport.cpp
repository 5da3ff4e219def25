// SPDX-License-Identifier: MIT
#include "transport.h"

#include <cstring>

std::unique_ptr<transport> make_pipe_transport(const run_options &options);
std::unique_ptr<transport> make_udp_transport(const run_options &options);
std::unique_ptr<transport> make_group_transport(const run_options &options);

std::unique_ptr<transport> make_transport(const run_options &options) {
    switch (options.transport.kind) {
    case transport_options::kind_type::udp:
        return make_udp_transport(options);
    case transport_options::kind_type::group:
        return make_group_transport(options);
    case transport_options::kind_type::pipe:
        break;
    }
    return make_pipe_transport(options);
}

std::string transport::why_not_reached(const listening_sockets &) const {
    return "";
}

std::string transport::ended_text(int error, const std::string &, const std::string &at) const {
    return "the flood failed" + at + ": " + std::strerror(error);
}
