#include "platform/linux/change_monitor.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "platform/linux/inotify_mask.h"
#include "platform/linux/last_error.h"

namespace {

constexpr size_t kReadBufferBytes = 64 * 1024;
// Our own descriptor keeps a deleted root alive, and the kernel says nothing
// about it until the last descriptor closes; so it is looked at this often.
constexpr int kRootCheckMs = 250;

dev_t deviceOf(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 ? info.st_dev : 0;
}

}  // namespace

ChangeMonitor::ChangeMonitor(int rootFd, bool recursive, DWORD notifyFilter, size_t backlogLimit)
    : rootFd_(rootFd),
      inotifyFd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      stopFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      readyFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      recursive_(recursive),
      notifyFilter_(notifyFilter),
      mask_(inotifyMaskFor(notifyFilter)),
      walker_(inotifyFd_, mask_, deviceOf(rootFd), recursive),
      queue_(backlogLimit) {}

std::unique_ptr<ChangeMonitor> ChangeMonitor::start(int rootFd, bool recursive, DWORD notifyFilter, DWORD& error,
                                                    size_t backlogLimit) {
    std::unique_ptr<ChangeMonitor> monitor(new ChangeMonitor(rootFd, recursive, notifyFilter, backlogLimit));
    if (monitor->inotifyFd_ < 0 || monitor->stopFd_ < 0 || monitor->readyFd_ < 0) {
        error = win32ErrorFromErrno(errno);
        return nullptr;
    }
    const int walkError = monitor->walker_.watch(openBeneath(rootFd, ""), monitor->tree_, kNoNode, "",
                                                 nullptr);
    if (walkError != 0 || monitor->tree_.root() == kNoNode) {
        // A partial watch would miss changes in silence: refuse instead.
        error = walkError != 0 ? win32ErrorFromErrno(walkError) : ERROR_ACCESS_DENIED;
        return nullptr;
    }
    monitor->noteWalk();
    struct statx mount {};
    if (statx(rootFd, "", AT_EMPTY_PATH, STATX_MNT_ID, &mount) == 0 && (mount.stx_mask & STATX_MNT_ID)) {
        monitor->rootMountId_ = mount.stx_mnt_id;
        monitor->mountsFd_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    }
    // Signals belong to the main thread, whose handlers put the terminal back:
    // the new thread inherits a mask that blocks them all.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        monitor->thread_ = std::thread(&ChangeMonitor::run, monitor.get());
    } catch (const std::system_error&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!monitor->thread_.joinable()) return nullptr;
    return monitor;
}

ChangeMonitor::~ChangeMonitor() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    for (int fd : {inotifyFd_, stopFd_, readyFd_, mountsFd_}) {
        if (fd >= 0) close(fd);
    }
}

ChangeMonitor::Delivery ChangeMonitor::take(void* buffer, DWORD size, DWORD& bytes) {
    // Read before the queue: records published before the root vanished must
    // be delivered before the request that says so.
    const bool gone = rootGone_.load();
    switch (queue_.take(buffer, size, bytes)) {
    case RecordQueue::Taken::Records: return Delivery::Records;
    case RecordQueue::Taken::Overflow:
    case RecordQueue::Taken::RecordTooLarge: bytes = 0; return Delivery::Overflow;
    case RecordQueue::Taken::Nothing: break;
    }
    return gone ? Delivery::RootGone : Delivery::Nothing;
}

void ChangeMonitor::run() {
    pollfd fds[3] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}, {mountsFd_, POLLPRI, 0}};
    long long nextRootCheck = nowMs() + kRootCheckMs;
    while (!rootGone_.load()) {
        long long wake = nextRootCheck;
        if (pendingMove_.waiting) wake = std::min(wake, pendingMove_.deadlineMs);
        if (poll(fds, 3, static_cast<int>(std::max(0LL, wake - nowMs()))) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if (fds[0].revents & POLLIN) drain();
        if ((fds[2].revents & (POLLPRI | POLLERR)) && !rootStillMounted()) rootVanished();
        if (pendingMove_.waiting && nowMs() >= pendingMove_.deadlineMs) flushPendingMove();
        publish();
        if (nowMs() >= nextRootCheck) {
            struct stat info;
            if (fstat(rootFd_, &info) != 0 || info.st_nlink == 0) rootVanished();
            nextRootCheck = nowMs() + kRootCheckMs;
        }
    }
}

bool ChangeMonitor::drain() {
    alignas(inotify_event) char buffer[kReadBufferBytes];
    for (;;) {
        const ssize_t got = read(inotifyFd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            handle(*event);
            if (rootGone_.load()) return false;
        }
        publish();
    }
    // The queue was empty: every event older than the listings made so far
    // has been seen, so their names need no more guarding, and paths that
    // were stale when a directory could not be opened are current again.
    listed_.clear();
    retryWatches();
    settleSightings();
    publish();
    return true;
}

bool ChangeMonitor::rootStillMounted() {
    char buffer[16384];
    std::string table;
    for (off_t at = 0;;) {
        const ssize_t got = pread(mountsFd_, buffer, sizeof buffer, at);
        if (got <= 0) break;
        table.append(buffer, static_cast<size_t>(got));
        at += got;
    }
    // Each line starts with the mount's ID.
    const std::string id = std::to_string(rootMountId_) + ' ';
    for (size_t line = 0; line < table.size(); line = table.find('\n', line) + 1) {
        if (table.compare(line, id.size(), id) == 0) return true;
        if (table.find('\n', line) == std::string::npos) break;
    }
    return table.empty();  // unreadable: assume the best
}

void ChangeMonitor::rootVanished() {
    if (pendingMove_.waiting) flushPendingMove();
    publish();
    rootGone_.store(true);
    signalReady();
}

void ChangeMonitor::publish() {
    if (batch_.empty()) return;
    if (queue_.publish(batch_.packed())) signalReady();
}

void ChangeMonitor::signalReady() {
    const uint64_t one = 1;
    (void)!write(readyFd_, &one, sizeof one);
}
