/* latency: time from creating a file to the watcher's line naming it.
 *
 *   latency FD DIR COUNT INTERVAL_US TIMEOUT_MS
 *
 * FD is the read end of the watcher's output (inherited). For each of COUNT
 * probes: note the time, create DIR/lat-NNNNNN-x, then read FD until the name
 * shows up. Prints one line per probe with the latency in nanoseconds, or -1
 * when the name did not show up within TIMEOUT_MS. Probes are INTERVAL_US
 * apart (plus up to 50% jitter, so that no watcher's timer lines up with them).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include "common.h"

/* The tail of the previous read, so that a name split across two reads is still found. */
static char window[1 << 16];
static size_t kept;

static int readUntil(int fd, const char* name, long long deadline) {
    size_t nameLength = strlen(name);
    for (;;) {
        long long left = (deadline - nowNs()) / 1000000;
        if (left < 0) return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, (int)left + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return 0;
        ssize_t got = read(fd, window + kept, sizeof window - kept - 1);
        if (got <= 0) return 0;
        size_t total = kept + (size_t)got;
        if (memmem(window, total, name, nameLength)) {
            kept = 0;
            return 1;
        }
        kept = total < nameLength ? total : nameLength;
        memmove(window, window + total - kept, kept);
    }
}

static void drain(int fd) {
    char scratch[1 << 16];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && read(fd, scratch, sizeof scratch) > 0) continue;
    kept = 0;
}

int main(int argc, char** argv) {
    if (argc != 6) return usage("latency FD DIR COUNT INTERVAL_US TIMEOUT_MS");
    int fd = atoi(argv[1]);
    const char* dir = argv[2];
    long count = atol(argv[3]), interval = atol(argv[4]);
    long long timeout = atoll(argv[5]) * 1000000LL;
    srand(12345);
    char name[64], path[4096];
    for (long i = 0; i < count; ++i) {
        long pause = interval + (interval > 1 ? rand() % (interval / 2) : 0);
        usleep((useconds_t)pause);
        drain(fd);
        snprintf(name, sizeof name, "lat-%06ld-x", i);
        snprintf(path, sizeof path, "%s/%s", dir, name);
        long long start = nowNs();
        int file = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (file < 0) die(path);
        close(file);
        long long result = readUntil(fd, name, start + timeout) ? nowNs() - start : -1;
        printf("%lld\n", result);
        fflush(stdout);
    }
    return 0;
}
