/* slowread: a consumer that reads standard input at no more than RATE lines
 * per second and copies what it read to OUTFILE, to show what a watcher does
 * when its output cannot leave as fast as changes arrive.
 *
 *   slowread RATE OUTFILE    (appends)
 *
 * Reads at most CHUNK bytes at a time and then sleeps until the lines taken so
 * far are due, so the pipe fills up behind it as it would behind a slow script.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include "common.h"

enum { CHUNK = 4096 };

static void sleepUntil(double when) {
    double wait = when - now();
    if (wait <= 0) return;
    struct timespec ts = {(time_t)wait, (long)((wait - (double)(time_t)wait) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) continue;
}

int main(int argc, char** argv) {
    if (argc != 3) return usage("slowread RATE OUTFILE");
    double rate = atof(argv[1]);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0 || rate <= 0) die("slowread");
    char buffer[CHUNK];
    unsigned long lines = 0;
    double start = 0;
    for (;;) {
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (start == 0) start = now();
        for (ssize_t i = 0; i < got; ++i) lines += buffer[i] == '\n';
        if (write(out, buffer, (size_t)got) != got) die("slowread: write");
        sleepUntil(start + (double)lines / rate);
    }
    close(out);
    return 0;
}
