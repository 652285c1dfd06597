// What the change tracker needs from the file system: open, watch and list
// directories. The real one works on descriptors (linux_disk.h) and watches
// through a kernel interface (watching_disk.h); the simulation uses a model.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class Disk {
public:
    /// One entry of a listed directory.
    struct Entry {
        std::string name;
        bool isDirectory;
    };

    virtual ~Disk() = default;

    /// Opens the directory at `path`, relative to the watched root ("" is the
    /// root itself), following no symbolic link and crossing no mount point.
    /// Returns a handle for the calls below, or -1 with the errno in error.
    virtual int open(const std::string& path, int& error) = 0;

    /// Opens the sub-directory `name` of the open directory dir, by the same rules.
    virtual int openChild(int dir, std::string_view name, int& error) = 0;

    virtual void close(int dir) = 0;

    /// Watches the open directory dir and returns its key: the same key every
    /// time for the same directory, and a directory keeps it wherever it
    /// moves. -1 with the errno in error (ENOSPC: the kernel's watch limit).
    virtual int watch(int dir, int& error) = 0;

    /// Stops watching the directory with this key. stillWatched is false when
    /// the kernel has already dropped the watch (the directory was deleted).
    virtual void forget(int key, bool stillWatched) = 0;

    /// Appends the entries of the open directory dir, without "." and "..".
    /// Returns 0 or an errno.
    virtual int list(int dir, std::vector<Entry>& entries) = 0;
};
