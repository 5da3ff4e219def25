/* SPDX-License-Identifier: MIT */
/* A scripted wall clock for the generator's tests, preloaded in place of the
 * C library's time().
 *
 * FAKE_TIME_SCRIPT lists the values that successive calls return, separated
 * by spaces: "V" returns V once, "V*N" returns V for N calls in a row. When
 * the script runs out the process ends with status 77, so a test sees exactly
 * the iterations its script paid for: one clock read at start-up, then one per
 * write. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

time_t time(time_t *out) {
    static const char *next;
    static long long value, repeat;
    if (repeat == 0) {
        int used = 0;
        next = next ? next : getenv("FAKE_TIME_SCRIPT");
        repeat = 1;
        if (next == NULL || sscanf(next, "%lld%n*%lld%n", &value, &used, &repeat, &used) < 1) {
            _exit(77);
        }
        next += used;
    }
    --repeat;
    return out ? (*out = (time_t)value) : (time_t)value;
}
