// The kernel interfaces as this machine's kernel gives them.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/engine/kernel_ports.h"

/// An inotify instance; watches are added through the open directory (its
/// /proc/self/fd entry, or "." from a thread that stands in it), so a
/// directory is watched by what is open, not by a path that may have changed.
class LinuxInotifyPort : public InotifyPort {
public:
    /// nullptr with the errno in error.
    static std::unique_ptr<LinuxInotifyPort> open(uint32_t mask, int& error);
    ~LinuxInotifyPort() override;
    int fd() const override { return fd_; }
    size_t read(char* buffer, size_t size) override;
    bool hasQueued() override;
    int addWatch(int dir, int& error) override;
    void removeWatch(int wd) override;

private:
    LinuxInotifyPort(int fd, uint32_t mask) : fd_(fd), mask_(mask) {}
    int fd_;
    uint32_t mask_;
};

/// While one lives, inotify watches added by the calling thread step into
/// the directory they watch and name it "." (inotify_add_watch takes no
/// directory descriptor, and every other path to an open directory costs a
/// walk through /proc). The first step gives the thread a working directory
/// of its own, so the process's other threads never see it move; the last
/// one to end puts the thread back where it stood. Without one, or where the
/// thread cannot have a working directory of its own, watches are added
/// through /proc/self/fd.
class OwnWorkingDirectory {
public:
    OwnWorkingDirectory();
    ~OwnWorkingDirectory();
    OwnWorkingDirectory(const OwnWorkingDirectory&) = delete;
    OwnWorkingDirectory& operator=(const OwnWorkingDirectory&) = delete;
};

/// A fanotify group marking the whole file system of rootFd, which the caller
/// keeps open: handles are opened relative to it.
class LinuxFanotifyPort : public FanotifyPort {
public:
    /// nullptr with the errno in error: not privileged (EPERM), a kernel
    /// without these reports (EINVAL), a file system that gives no file
    /// handles (EOPNOTSUPP, ENODEV, EXDEV).
    static std::unique_ptr<LinuxFanotifyPort> open(int rootFd, uint64_t mask, int& error);
    ~LinuxFanotifyPort() override;
    int fd() const override { return fd_; }
    size_t read(char* buffer, size_t size) override;
    size_t queuedBytes() override;
    bool awaitEvents(int milliseconds) override;
    std::string handleOf(int dir, int& error) override;
    bool placeOf(HandleBytes dir, std::string& parent, std::string& name) override;
    bool holds(HandleBytes dir, std::string_view name, HandleBytes entry) override;
    bool directoriesIn(HandleBytes dir, size_t most, std::vector<std::pair<std::string, std::string>>& found) override;

private:
    LinuxFanotifyPort(int rootFd, int fd, int openFds) : rootFd_(rootFd), fd_(fd), openFds_(openFds) {}
    int openDirectory(HandleBytes handle, bool listable = false) const;
    int rootFd_;
    int fd_;
    // This process's /proc/self/fd, or -1: a directory's name is read from
    // its entry there, without walking the whole path to it each time.
    int openFds_;
};
