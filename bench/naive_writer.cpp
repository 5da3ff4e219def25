// SPDX-License-Identifier: MIT
// What a first attempt looks like: one 188-byte null packet per write call.
#include <unistd.h>

#include "mpegts/types.h"

int main() {
    while (write(STDOUT_FILENO, null_ts, sizeof null_ts) == static_cast<ssize_t>(sizeof null_ts)) {
    }
    return 1;
}
