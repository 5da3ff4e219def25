// SPDX-License-Identifier: MIT
// The flood through a pipe, the consumer's standard input: every byte the
// pipe took is one the consumer was given.
#include <cerrno>
#include <fcntl.h>

#include "transport.h"

namespace {

class pipe_transport final : public transport {
  public:
    explicit pipe_transport(const transport_options &o) : asked_(o.pipe_asked) {}

    const char *mode() const override {
        return "pipe";
    }
    bool datagrams() const override {
        return false;
    }
    unique_fd consumer_input() override {
        pipe_ends in = make_pipe();
        if (asked_ != 0 && fcntl(in.write.get(), F_SETPIPE_SZ, static_cast<int>(asked_)) < 0) {
            throw_errno("no pipe of " + std::to_string(asked_) + " bytes");
        }
        set_nonblocking(in.write.get());
        flood_end_ = std::move(in.write);
        return std::move(in.read);
    }
    flood_output open(const std::vector<listening_sockets> &) override {
        return {std::move(flood_end_), ""};
    }
    std::string ended_text(int error, const std::string &to, const std::string &at) const override {
        return error == EPIPE ? "it closed its input" + at : transport::ended_text(error, to, at);
    }
    bool ended_by_consumer(int error) const override {
        return error == EPIPE;
    }
    measuring_sink sink() const override {
        return {open_file("/dev/null", O_WRONLY | O_NONBLOCK), {}};
    }

  private:
    const long asked_;
    unique_fd flood_end_; // the last consumer's pipe, written to
};

} // namespace

std::unique_ptr<transport> make_pipe_transport(const run_options &options) {
    return std::make_unique<pipe_transport>(options.transport);
}
