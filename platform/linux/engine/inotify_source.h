// Events from one inotify instance, with one watch per directory.
#pragma once

#include <memory>

#include "platform/linux/engine/event_source.h"
#include "platform/linux/engine/linux_disk.h"

class InotifySource : public EventSource {
public:
    /// A new instance for the tree below rootFd; nullptr with the errno in error.
    static std::unique_ptr<InotifySource> open(int rootFd, DWORD notifyFilter, int& error);
    ~InotifySource() override;

    int fd() const override { return fd_; }
    Disk& disk() override { return disk_; }
    ChangeTracker::Options options(bool recursive, DWORD notifyFilter) const override;
    size_t read(Receiver& receiver) override;
    bool mayHaveMore(size_t bytes) const override;

private:
    InotifySource(int rootFd, int fd, uint32_t mask);

    int fd_;
    InotifyDisk disk_;
    std::unique_ptr<char[]> buffer_;
};
