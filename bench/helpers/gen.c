/* gen: makes the file trees and bursts the benchmark watches, as fast as the
 * file system allows, and says how fast that was.
 *
 *   gen tree   ROOT DIRS FANOUT FILES_PER_DIR
 *   gen burst  ROOT FILES flat|spread MANIFEST
 *   gen chains ROOT CHAINS LEVELS FILES MANIFEST
 *
 * tree:   DIRS directories below ROOT, breadth first, FANOUT per parent
 *         (d0, d1, ...), each holding FILES_PER_DIR empty files (f0, ...).
 * burst:  FILES new empty files b0000000, b0000001, ..., all in ROOT (flat)
 *         or dealt round-robin over every directory already below ROOT (spread).
 * chains: CHAINS chains of LEVELS nested directories (cNN/l2/l3/...), made as
 *         mkdir -p makes them, then at once FILES files in each level, so that
 *         a watcher must catch up with directories it does not watch yet.
 *
 * MANIFEST ("-" for none) receives every created path relative to ROOT, one per
 * line. The last line on standard output is "made N entries in S s (R/s)".
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include "common.h"

static FILE* manifest;
static unsigned long made;

static void fail(const char* what, const char* path) {
    fprintf(stderr, "gen: %s %s: %s\n", what, path, strerror(errno));
    exit(2);
}

static void makeFile(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) fail("create", path);
    close(fd);
    ++made;
}

static void makeDir(const char* path) {
    if (mkdir(path, 0755) != 0) fail("mkdir", path);
    ++made;
}

static void note(const char* root, const char* path) {
    if (manifest) fprintf(manifest, "%s\n", path + strlen(root) + 1);
}

/* Directories as a growing list of relative paths; the tree is built breadth first. */
static char** dirs;
static size_t dirCount, dirSlots;

static void addDir(const char* path) {
    if (dirCount == dirSlots) {
        dirSlots = dirSlots ? dirSlots * 2 : 1024;
        if (!(dirs = realloc(dirs, dirSlots * sizeof *dirs))) fail("realloc", "");
    }
    dirs[dirCount++] = strdup(path);
}

static void makeTree(const char* root, long total, long fanout, long filesPerDir) {
    char path[4096];
    addDir(root);
    for (size_t parent = 0; parent < dirCount && (long)dirCount - 1 < total; ++parent) {
        for (long i = 0; i < fanout && (long)dirCount - 1 < total; ++i) {
            snprintf(path, sizeof path, "%s/d%ld", dirs[parent], i);
            makeDir(path);
            addDir(path);
        }
    }
    for (size_t d = 1; d < dirCount; ++d)
        for (long f = 0; f < filesPerDir; ++f) {
            snprintf(path, sizeof path, "%s/f%ld", dirs[d], f);
            makeFile(path);
        }
}

static void listDirs(const char* path) {
    addDir(path);
    DIR* dir = opendir(path);
    if (!dir) fail("opendir", path);
    struct dirent* entry;
    char child[4096];
    while ((entry = readdir(dir)) != NULL) {
        if (entry->d_type != DT_DIR || entry->d_name[0] == '.') continue;
        snprintf(child, sizeof child, "%s/%s", path, entry->d_name);
        listDirs(child);
    }
    closedir(dir);
}

static void makeChains(const char* root, long chains, long levels, long files) {
    char path[4096], file[4200];
    int ends[64];
    if (levels > 64) levels = 64;
    for (long c = 0; c < chains; ++c) {
        /* The whole chain first, as mkdir -p makes it, then the files level by level. */
        int length = snprintf(path, sizeof path, "%s/c%02ld", root, c);
        for (long level = 0; level < levels; ++level) {
            if (level > 0) length += snprintf(path + length, sizeof path - (size_t)length, "/l%ld", level + 1);
            makeDir(path);
            note(root, path);
            ends[level] = length;
        }
        for (long level = 0; level < levels; ++level) {
            path[ends[level]] = 0;
            for (long f = 0; f < files; ++f) {
                snprintf(file, sizeof file, "%s/f%02ld", path, f);
                makeFile(file);
                note(root, file);
            }
            if (level + 1 < levels) path[ends[level]] = '/';
        }
    }
}

static FILE* openManifest(const char* name) {
    if (strcmp(name, "-") == 0) return NULL;
    FILE* f = fopen(name, "w");
    if (!f) fail("open", name);
    return f;
}

int main(int argc, char** argv) {
    if (argc < 3) return usage("gen tree|burst|chains ROOT ...");
    const char* mode = argv[1], *root = argv[2];
    double start;
    if (strcmp(mode, "tree") == 0 && argc == 6) {
        mkdir(root, 0755);
        start = now();
        makeTree(root, atol(argv[3]), atol(argv[4]), atol(argv[5]));
    } else if (strcmp(mode, "burst") == 0 && argc == 6) {
        manifest = openManifest(argv[5]);
        if (strcmp(argv[4], "spread") == 0) listDirs(root);
        else addDir(root);
        start = now();
        char path[4096];
        long files = atol(argv[3]);
        for (long i = 0; i < files; ++i) {
            snprintf(path, sizeof path, "%s/b%07ld", dirs[(size_t)i % dirCount], i);
            makeFile(path);
            note(root, path);
        }
    } else if (strcmp(mode, "chains") == 0 && argc == 7) {
        manifest = openManifest(argv[6]);
        start = now();
        makeChains(root, atol(argv[3]), atol(argv[4]), atol(argv[5]));
    } else {
        fprintf(stderr, "gen: bad arguments\n");
        return 2;
    }
    double seconds = now() - start;
    if (manifest && fclose(manifest) != 0) fail("close", "manifest");
    printf("made %lu entries in %.3f s (%.0f/s)\n", made, seconds, seconds > 0 ? (double)made / seconds : 0.0);
    return 0;
}
