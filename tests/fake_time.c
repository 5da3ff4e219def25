/* A scripted wall clock for the generator's tests, preloaded in place of the
 * C library's time().
 *
 * FAKE_TIME_SCRIPT lists the values that successive calls return, separated
 * by spaces: "V" returns V once, "V*N" returns V for N calls in a row. When
 * the script runs out the process ends with status 77, so a test sees exactly
 * the iterations its script paid for: one clock read at start-up, then one per
 * write. */
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

enum { script_exhausted = 77 };

time_t time(time_t *out) {
    static const char *next;
    static time_t value;
    static long repeat;

    if (repeat == 0) {
        if (next == NULL) {
            next = getenv("FAKE_TIME_SCRIPT");
        }
        char *end = NULL;
        value = next ? (time_t)strtoll(next, &end, 10) : 0;
        if (next == NULL || end == next) {
            _exit(script_exhausted);
        }
        repeat = 1;
        if (*end == '*') {
            repeat = strtol(end + 1, &end, 10);
        }
        next = end;
    }
    --repeat;
    if (out != NULL) {
        *out = value;
    }
    return value;
}
