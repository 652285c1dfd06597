// The change monitor's choice of kernel interface, on a real directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/linux/engine/change_monitor.h"
#include "platform/linux/engine/inotify_source.h"
#include "platform/linux/engine/linux_disk.h"
#include "tests/watch_fixture.h"

namespace {

/// No directory on it can be named by a handle.
class NoHandlesDisk : public LinuxDisk {
public:
    using LinuxDisk::LinuxDisk;
    int watch(int, int& error) override {
        error = EOPNOTSUPP;
        return -1;
    }
    void forget(int, bool) override {}
};

/// An interface that takes its mark, then fails once the tracker starts on it,
/// as fanotify would on a file system it marks but whose directories give no
/// handles.
class MarkedWithoutHandles : public EventSource {
public:
    explicit MarkedWithoutHandles(int rootFd) : fd_(eventfd(0, EFD_CLOEXEC)), disk_(rootFd) {}
    ~MarkedWithoutHandles() override { close(fd_); }
    int fd() const override { return fd_; }
    Disk& disk() override { return disk_; }
    bool listsNewDirectories() const override { return false; }
    size_t read(Receiver&, const TreeQuery&, long long) override { return 0; }
    bool mayHaveMore(size_t) const override { return false; }
    bool hasQueued() override { return false; }

private:
    int fd_;
    NoHandlesDisk disk_;
};

std::unique_ptr<EventSource> markWithoutHandles(int rootFd, DWORD, int&) {
    return std::make_unique<MarkedWithoutHandles>(rootFd);
}

std::unique_ptr<EventSource> openInotify(int rootFd, DWORD notifyFilter, int& error) {
    return InotifySource::open(rootFd, notifyFilter, error);
}

/// Waits on the monitor as the alertable wait does, for at most about 10 s;
/// returns the name of the first record delivered.
std::string firstDelivered(ChangeMonitor& monitor) {
    std::vector<uint8_t> buffer(4096);
    for (int round = 0; round < 50; ++round) {
        std::vector<pollfd> fds;
        monitor.waiterArrived();
        monitor.addPollFds(fds);
        poll(fds.data(), fds.size(), 200);
        monitor.service(fds.data());
        DWORD bytes = 0;
        if (monitor.take(buffer.data(), buffer.size(), bytes) == ChangeMonitor::Delivery::Records) {
            DWORD nameBytes;
            std::memcpy(&nameBytes, buffer.data() + 8, sizeof nameBytes);
            return bytesFromUtf16(reinterpret_cast<const WCHAR*>(buffer.data() + 12), nameBytes / sizeof(WCHAR));
        }
        monitor.waiterLeft();
    }
    return "";
}

}  // namespace

TEST(ChangeMonitor, AnInterfaceThatFailsAfterItsMarkGivesWayToTheNext) {
    WatchFixture w;
    const int rootFd = open(w.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(rootFd, 0);
    DWORD error = ERROR_SUCCESS;
    const ChangeMonitor::SourceOpener alone[] = {markWithoutHandles};
    EXPECT_EQ(ChangeMonitor::startWith(alone, rootFd, true, 0x5F, error), nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_GEN_FAILURE)) << "the failure of the last one tried";
    const ChangeMonitor::SourceOpener sources[] = {markWithoutHandles, openInotify};
    std::unique_ptr<ChangeMonitor> monitor = ChangeMonitor::startWith(sources, rootFd, true, 0x5F, error);
    ASSERT_NE(monitor, nullptr);
    touch(w.path("seen"));
    EXPECT_EQ(firstDelivered(*monitor), "seen");
    monitor.reset();
    close(rootFd);
}
