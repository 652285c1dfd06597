// Events from one inotify instance, with one watch per directory.
#pragma once

#include <memory>

#include "platform/linux/engine/event_source.h"
#include "platform/linux/engine/watching_disk.h"

class InotifySource : public EventSource {
public:
    /// A new instance for the tree below rootFd; nullptr with the errno in error.
    static std::unique_ptr<InotifySource> open(int rootFd, DWORD notifyFilter, int& error);
    /// Over a port and a disk that the caller keeps for the source's life,
    /// reading at most readBytes at a time.
    InotifySource(InotifyPort& port, Disk& base, size_t readBytes = kReadBytes);
    static constexpr size_t kReadBytes = 64 * 1024;

    int fd() const override { return port_.fd(); }
    Disk& disk() override { return disk_; }
    ChangeTracker::Options options(bool recursive, DWORD notifyFilter) const override;
    size_t read(Receiver& receiver) override;
    bool mayHaveMore(size_t bytes) const override;
    bool hasQueued() override { return port_.hasQueued(); }

private:
    InotifySource(std::unique_ptr<InotifyPort> port, std::unique_ptr<Disk> base);

    std::unique_ptr<InotifyPort> ownedPort_;
    std::unique_ptr<Disk> ownedBase_;
    InotifyPort& port_;
    InotifyDisk disk_;
    size_t readBytes_;
    std::unique_ptr<char[]> buffer_;
};
