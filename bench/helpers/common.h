/* What the helpers share: a monotonic clock, and leaving with status 2 on misuse or failure. */
#pragma once
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static inline long long nowNs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static inline double now(void) { return (double)nowNs() / 1e9; }

static inline int usage(const char* text) {
    fprintf(stderr, "usage: %s\n", text);
    return 2;
}

static inline void die(const char* what) {
    perror(what);
    exit(2);
}
