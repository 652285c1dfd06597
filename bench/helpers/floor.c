/* floor: the least a recursive inotify watcher has to do, as a yardstick.
 *
 *   floor [-p] [-l] [-a] DIR
 *
 * Walks DIR (getdents64, openat relative to the parent, d_type instead of
 * stat), adds one watch per directory, keeps each watched directory's path (a
 * watcher has to name what changed), prints "ready N", then reads events until
 * SIGTERM or SIGINT and writes "floor: dirs=N events=N created=N overflow=N"
 * to standard error.
 *
 *   -p  print "<kind> <path>" per event, written once per read, and "OVERFLOW";
 *       without -p events are only counted.
 *   -l  list each new directory once watched, reporting what is already in it;
 *       without -l, as for a plain watcher, entries made before the watch are missed.
 *   -a  keep names as (parent, name) in one arena instead of a path string per
 *       directory, to show what the compact layout saves.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include "common.h"

#define WATCH_MASK (IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | \
                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK)

static int inotifyFd;
static int printEvents, listNewDirs, useArena;
static volatile sig_atomic_t stopRequested;
static unsigned long dirCount, eventCount, createdCount, overflowCount;

/* Path of every watched directory, indexed by watch descriptor. */
static char** paths;
static struct { int parent; uint32_t name; } *nodes;
static char* arena;
static size_t arenaUsed, arenaSize, slots;

static char outBuffer[1 << 20];
static size_t outUsed;

static void growSlots(int wd) {
    size_t want = slots ? slots : 1024;
    while ((size_t)wd >= want) want *= 2;
    if (want == slots) return;
    if (useArena) {
        if (!(nodes = realloc(nodes, want * sizeof *nodes))) die("realloc");
    } else {
        if (!(paths = realloc(paths, want * sizeof *paths))) die("realloc");
        memset(paths + slots, 0, (want - slots) * sizeof *paths);
    }
    slots = want;
}

/* Keeps the name of a directory just watched, and counts it. */
static void remember(int wd, int parentWd, const char* fullPath, const char* name) {
    growSlots(wd);
    ++dirCount;
    if (!useArena) {
        free(paths[wd]);
        paths[wd] = strdup(fullPath);
        return;
    }
    size_t length = strlen(name) + 1;
    if (arenaUsed + length > arenaSize) {
        arenaSize = arenaSize ? arenaSize * 2 : 1 << 16;
        if (!(arena = realloc(arena, arenaSize))) die("realloc");
    }
    memcpy(arena + arenaUsed, name, length);
    nodes[wd].parent = parentWd;
    nodes[wd].name = (uint32_t)arenaUsed;
    arenaUsed += length;
}

/* Writes the path of wd into out (at least PATH_MAX bytes); returns its length. */
static size_t pathOf(int wd, char* out) {
    if (!useArena) return (size_t)(stpcpy(out, (size_t)wd < slots && paths[wd] ? paths[wd] : "?") - out);
    int chain[4096], depth = 0;
    for (int w = wd; w > 0 && depth < 4096; w = nodes[w].parent) chain[depth++] = w;
    char* end = out;
    *end = 0;
    while (depth-- > 0) {
        if (end > out && end[-1] != '/') *end++ = '/';
        end = stpcpy(end, arena + nodes[chain[depth]].name);
    }
    return (size_t)(end - out);
}

static void flushOut(void) {
    for (size_t done = 0; done < outUsed;) {
        ssize_t n = write(1, outBuffer + done, outUsed - done);
        if (n >= 0) done += (size_t)n;
        else if (errno != EINTR) break;
    }
    outUsed = 0;
}

/* "KIND DIR/NAME", or KIND alone when DIR is empty. */
static void emit(const char* kind, const char* dir, const char* name) {
    if (outUsed + strlen(kind) + strlen(dir) + strlen(name) + 4 > sizeof outBuffer) flushOut();
    outUsed += (size_t)snprintf(outBuffer + outUsed, sizeof outBuffer - outUsed, "%s%s%s%s%s\n", kind,
                                *dir ? " " : "", dir, *name ? "/" : "", name);
}

/* Watches everything below path (open as dirFd); `report` prints what a directory made while watching holds. */
static void walk(int dirFd, char* path, size_t length, int wd, int report) {
    char buffer[32768];
    for (;;) {
        ssize_t got = getdents64(dirFd, buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            struct dirent64* entry = (struct dirent64*)(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) continue;
            if (report) {
                emit("A", path, name);
                ++createdCount;
            }
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st;
                if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
            }
            if (type != DT_DIR) continue;
            size_t nameLength = strlen(name);
            if (length + 1 + nameLength >= 4096) continue;
            path[length] = '/';
            memcpy(path + length + 1, name, nameLength + 1);
            int childWd = inotify_add_watch(inotifyFd, path, WATCH_MASK);
            int childFd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childWd >= 0) remember(childWd, wd, path, name);
            if (childFd >= 0) {
                walk(childFd, path, length + 1 + nameLength, childWd, report);
                close(childFd);
            }
            path[length] = 0;
        }
    }
}

static void onNewDirectory(int parentWd, const char* name) {
    char path[4096];
    size_t length = pathOf(parentWd, path);
    if (length + 2 + strlen(name) >= sizeof path) return;
    path[length] = '/';
    strcpy(path + length + 1, name);
    int wd = inotify_add_watch(inotifyFd, path, WATCH_MASK);
    if (wd < 0) return;
    remember(wd, parentWd, path, name);
    if (!listNewDirs) return;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    walk(fd, path, strlen(path), wd, 1);
    close(fd);
}

static const char* kindOf(uint32_t mask) {
    return mask & IN_CREATE ? "A" : mask & IN_DELETE ? "R" : mask & IN_MOVED_FROM ? "O"
         : mask & IN_MOVED_TO ? "N" : "M";
}

static void handle(const struct inotify_event* event) {
    ++eventCount;
    if (event->mask & IN_Q_OVERFLOW) {
        ++overflowCount;
        if (printEvents) emit("OVERFLOW", "", "");
        return;
    }
    if (event->mask & IN_CREATE) ++createdCount;
    if (printEvents && event->len && !(event->mask & IN_IGNORED)) {
        char dir[4096];
        pathOf(event->wd, dir);
        emit(kindOf(event->mask), dir, event->name);
    }
    if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO))) onNewDirectory(event->wd, event->name);
    if ((event->mask & IN_IGNORED) && !useArena && (size_t)event->wd < slots) {
        free(paths[event->wd]);
        paths[event->wd] = NULL;
    }
}

static void onSignal(int sig) { (void)sig; stopRequested = 1; }

int main(int argc, char** argv) {
    int opt;
    while ((opt = getopt(argc, argv, "pla")) != -1) {
        if (opt == 'p') printEvents = 1;
        else if (opt == 'l') listNewDirs = 1;
        else if (opt == 'a') useArena = 1;
        else return 2;
    }
    if (optind + 1 != argc) return usage("floor [-p] [-l] [-a] DIR");
    /* No SA_RESTART: the blocking read must return so that we can stop. */
    struct sigaction action = {.sa_handler = onSignal};
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    inotifyFd = inotify_init1(IN_CLOEXEC);
    if (inotifyFd < 0) die("inotify_init1");
    static char path[4096];
    snprintf(path, sizeof path, "%s", argv[optind]);
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') path[--length] = 0;
    int rootWd = inotify_add_watch(inotifyFd, path, WATCH_MASK);
    if (rootWd < 0) die("inotify_add_watch");
    remember(rootWd, 0, path, path);
    int rootFd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) die("open");
    walk(rootFd, path, length, rootWd, 0);
    close(rootFd);

    if (dprintf(1, "ready %lu\n", dirCount) < 0) die("write");

    static char events[256 * 1024] __attribute__((aligned(8)));
    while (!stopRequested) {
        ssize_t got = read(inotifyFd, events, sizeof events);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const struct inotify_event* event = (const struct inotify_event*)(events + at);
            handle(event);
            at += (ssize_t)(sizeof *event + event->len);
        }
        flushOut();
    }
    fprintf(stderr, "floor: dirs=%lu events=%lu created=%lu overflow=%lu\n", dirCount, eventCount, createdCount,
            overflowCount);
    return 0;
}
