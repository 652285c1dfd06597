// The real disk under the change tracker: directories opened relative to the
// watched root with openat2 (never through a symbolic link, never across a
// mount point, whatever the path's length), listed with getdents64, and
// watched through inotify.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/linux/engine/disk.h"

/// Opens the directory at relative path `path` below rootFd without following
/// any symbolic link and without leaving the root's mount, whatever its length.
/// Returns the descriptor, or -1 with errno set.
int openBeneath(int rootFd, const std::string& path);

/// Directories below the root open as rootFd (which the caller keeps open).
/// Handles are the descriptors themselves. Watching is left to the kernel
/// interface's own subclass.
class LinuxDisk : public Disk {
public:
    explicit LinuxDisk(int rootFd);
    int open(const std::string& path, int& error) override;
    int openChild(int dir, std::string_view name, int& error) override;
    void close(int dir) override;
    int list(int dir, std::vector<Entry>& entries) override;
    bool exists(const std::string& path) override;

protected:
    int rootFd_;

private:
    std::vector<char> direntBuffer_;
};

/// Watches with one inotify instance: a directory's key is its watch descriptor.
class InotifyDisk : public LinuxDisk {
public:
    InotifyDisk(int rootFd, int inotifyFd, uint32_t mask) : LinuxDisk(rootFd), inotifyFd_(inotifyFd), mask_(mask) {}
    int watch(int dir, int& error) override;
    void forget(int key, bool stillWatched) override;

private:
    int inotifyFd_;
    uint32_t mask_;
};
