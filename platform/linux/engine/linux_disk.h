// The real disk under the change tracker: directories opened relative to the
// watched root with openat2 (never through a symbolic link, never across a
// mount point, whatever the path's length) and listed with getdents64.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/linux/engine/disk.h"

/// Opens the directory at relative path `path` below rootFd without following
/// any symbolic link and without leaving the root's mount, whatever its length.
/// Returns the descriptor, or -1 with errno set.
int openBeneath(int rootFd, const std::string& path);

/// Directories below the root open as rootFd (which the caller keeps open).
/// Handles are the descriptors themselves. It watches nothing by itself: a
/// kernel interface watches through it (watching_disk.h).
class LinuxDisk : public Disk {
public:
    explicit LinuxDisk(int rootFd);
    int open(const std::string& path, int& error) override;
    int openChild(int dir, std::string_view name, int& error) override;
    void close(int dir) override;
    int list(int dir, std::vector<Entry>& entries) override;
    /// Refuses (EOPNOTSUPP).
    int watch(int dir, int& error) override;
    void forget(int, bool) override {}

private:
    int rootFd_;
    std::vector<char> direntBuffer_;
};
