// SPDX-License-Identifier: MIT
// tsflood: floods standard output with MPEG-TS null packets, as fast as the
// reader takes them, and reports once per wall-clock second on standard error
// how many bytes went out since the previous report.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "mpegts/types.h"

namespace {

constexpr std::size_t packet_size = sizeof null_ts;
constexpr std::size_t packets_per_block = 1394;
constexpr std::size_t block_size = packet_size * packets_per_block;
static_assert(block_size == 262072, "one write carries 1394 whole packets");

// Report units, 1024 apart; the null entry closes the list.
const char *const unit_list[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", nullptr};

// 1394 null packets back to back, filled once and handed to every write.
unsigned char buffer[block_size];

// Writes all len bytes of buf to fd, or fails.
// A short count is not a failure (a writer stopped and continued while blocked
// on a pipe gets one): the rest of the block follows, so no packet is torn.
// A write interrupted before it wrote anything (EINTR) is retried.
// Returns false when a write fails or makes no progress.
bool write_all(int fd, const unsigned char *buf, std::size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Prints the bytes written since the previous report in the first 1024-based
// unit that keeps the figure below 1024 ("PiB" at most). The unit is chosen
// before rounding, so 1023.999 KiB prints as "1024.00 KiB".
void report(std::uint64_t written) {
    double amount = static_cast<double>(written);
    const char *const *units = unit_list;
    while (amount >= 1024 && units[1] != nullptr) {
        amount *= 1.0 / 1024;
        ++units;
    }
    std::fprintf(stderr, "written: %.2f %s\n", amount, *units);
}

} // namespace

int main() {
    for (std::size_t slot = 0; slot < packets_per_block; ++slot) {
        std::memcpy(buffer + slot * packet_size, null_ts, packet_size);
    }

    std::uint64_t written = 0;
    std::time_t last = std::time(nullptr);
    for (;;) {
        const std::time_t now = std::time(nullptr);
        if (now != last) {
            report(written);
            written = 0;
        }
        if (!write_all(STDOUT_FILENO, buffer, sizeof buffer)) {
            return 1;
        }
        written += sizeof buffer;
        last = now;
    }
}
