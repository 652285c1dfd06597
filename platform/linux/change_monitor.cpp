#include "platform/linux/change_monitor.h"

#include <algorithm>
#include <cerrno>
#include <climits>
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
constexpr size_t kLargestEvent = sizeof(inotify_event) + NAME_MAX + 1;
// Our own descriptor keeps a deleted root alive, and the kernel says nothing
// about it until the last descriptor closes; so it is looked at this often,
// when the waiting thread wakes anyway, and at the latest kRootCheckMs later.
constexpr int kRootCheckMs = 200;
// How long the waiting thread may be away (printing a report) before the
// monitor's thread reads the queue for it, and how often that thread looks.
// The kernel's queue of 16,384 events lasts far longer at any rate at which
// files can be made.
constexpr int kUnattendedMs = 20;
// After this long with the waiting thread always back at once, the monitor's
// thread sleeps until it is told the waiting thread left: an idle watch costs
// no wake-ups but the program's own.
constexpr int kDrowsyAfterMs = 1000;
// How many bytes of records the waiting thread reads at most before it
// delivers: a long burst must not keep the first lines from the reader.
constexpr size_t kServiceBudgetBytes = 64 * 1024;
constexpr size_t kStandInBudgetBytes = 4 * kServiceBudgetBytes;

}  // namespace

ChangeMonitor::ChangeMonitor(int rootFd, bool recursive, DWORD notifyFilter, size_t backlogLimit)
    : rootFd_(rootFd),
      inotifyFd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      stopFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      readyFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      kickFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      recursive_(recursive),
      notifyFilter_(notifyFilter),
      mask_(inotifyMaskFor(notifyFilter)),
      walker_(inotifyFd_, mask_, recursive),
      queue_(backlogLimit) {}

std::unique_ptr<ChangeMonitor> ChangeMonitor::start(int rootFd, bool recursive, DWORD notifyFilter, DWORD& error,
                                                    size_t backlogLimit) {
    std::unique_ptr<ChangeMonitor> monitor(new ChangeMonitor(rootFd, recursive, notifyFilter, backlogLimit));
    if (monitor->inotifyFd_ < 0 || monitor->stopFd_ < 0 || monitor->readyFd_ < 0 || monitor->kickFd_ < 0) {
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
    monitor->nextRootCheckMs_ = nowMs() + kRootCheckMs;
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
    for (int fd : {inotifyFd_, stopFd_, readyFd_, kickFd_, mountsFd_}) {
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

void ChangeMonitor::addPollFds(std::vector<pollfd>& fds) const {
    fds.push_back({inotifyFd_, POLLIN, 0});
    fds.push_back({readyFd_, POLLIN, 0});
    fds.push_back({mountsFd_, POLLPRI, 0});  // ignored by poll when there is none
}

int ChangeMonitor::msUntilDue() {
    std::lock_guard<std::mutex> lock(engine_);
    long long due = nextRootCheckMs_ + kRootCheckMs;
    if (pendingMove_.waiting) due = std::min(due, pendingMove_.deadlineMs);
    return static_cast<int>(std::max(0LL, due - nowMs()));
}

void ChangeMonitor::service(const pollfd* mine) {
    uint64_t count;
    if (mine[1].revents & POLLIN) (void)!read(readyFd_, &count, sizeof count);
    std::lock_guard<std::mutex> lock(engine_);
    // The caller looks for completions next: telling it through readyFd
    // would only cost it a write, a wake-up and a read.
    wakeWaiter_ = false;
    serviceLocked((mine[2].revents & (POLLPRI | POLLERR)) != 0, kServiceBudgetBytes);
    wakeWaiter_ = true;
}

void ChangeMonitor::leave() {
    attended_.store(false);
    leftAtMs_.store(nowMs());
    departures_.fetch_add(1);
    if (drowsy_.exchange(false)) {
        const uint64_t one = 1;
        (void)!write(kickFd_, &one, sizeof one);
    }
}

void ChangeMonitor::serviceLocked(bool mountsChanged, size_t budgetBytes) {
    drain(budgetBytes);
    if (rootGone_.load()) return;
    if (mountsChanged && !rootGone_.load() && !rootStillMounted()) rootVanished();
    if (pendingMove_.waiting && nowMs() >= pendingMove_.deadlineMs) flushPendingMove();
    publish();
    if (nowMs() >= nextRootCheckMs_ && !rootGone_.load()) {
        struct stat info;
        if (fstat(rootFd_, &info) != 0 || info.st_nlink == 0) rootVanished();
        nextRootCheckMs_ = nowMs() + kRootCheckMs;
    }
}

// The monitor's own thread: idle while a thread waits for completions, since
// that thread reads the queue; reading it in its place while it is away.
void ChangeMonitor::run() {
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {kickFd_, POLLIN, 0}};
    unsigned departures = departures_.load();
    long long busySince = nowMs();
    for (;;) {
        bool sleepy = attended_.load() && nowMs() - busySince >= kDrowsyAfterMs;
        if (sleepy) {
            // Either this sees the waiting thread gone, or leave() sees this
            // flag and kicks: the sleep cannot miss a departure.
            drowsy_.store(true);
            if (!attended_.load()) {
                drowsy_.store(false);
                sleepy = false;
            }
        }
        if (poll(fds, 2, sleepy ? -1 : kUnattendedMs) < 0 && errno != EINTR) return;
        drowsy_.store(false);
        if (fds[0].revents != 0) return;
        uint64_t count;
        if (fds[1].revents & POLLIN) (void)!read(kickFd_, &count, sizeof count);
        if (departures_.load() != departures) {
            departures = departures_.load();
            busySince = nowMs();
        }
        if (!attended_.load() && nowMs() - leftAtMs_.load() >= kUnattendedMs) {
            if (!drainWhileUnattended()) return;
            busySince = nowMs();
        }
    }
}

// Returns false when told to stop.
bool ChangeMonitor::drainWhileUnattended() {
    pollfd fds[3] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}, {mountsFd_, POLLPRI, 0}};
    while (!attended_.load()) {
        const int timeout = std::min(msUntilDue(), kUnattendedMs);
        if (poll(fds, 3, timeout) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
        std::lock_guard<std::mutex> lock(engine_);
        // In bounded helpings, so the waiting thread, back, need not wait
        // for the end of a long burst to take its place again.
        serviceLocked((fds[2].revents & (POLLPRI | POLLERR)) != 0, kStandInBudgetBytes);
    }
    return true;
}

// Reads the kernel's queue until it is empty, or until budgetBytes of events
// have been read. Once the root is gone, what is left is only thrown away, so
// that no one polls a queue that stays readable.
void ChangeMonitor::drain(size_t budgetBytes) {
    alignas(inotify_event) char buffer[kReadBufferBytes];
    size_t consumed = 0;
    for (;;) {
        const ssize_t got = read(inotifyFd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (rootGone_.load()) continue;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            handle(*event);
            if (rootGone_.load()) break;
        }
        publish();
        consumed += static_cast<size_t>(got);
        // A move's first half waits for the second, which may be next in the queue.
        if (consumed >= budgetBytes && !pendingMove_.waiting) return;
        // A read stops early only when the queue is empty, so there is no need
        // to ask again; unless a walk made while handling it left work for
        // the moment the queue is seen empty after it.
        const bool walked = !listed_.empty() || !retries_.empty() || !sightings_.empty() || !unverified_.empty();
        if (static_cast<size_t>(got) <= sizeof buffer - kLargestEvent && !walked) break;
    }
    if (rootGone_.load()) return;
    // The queue was empty: every event older than the listings made so far
    // has been seen, so their names need no more guarding, and paths that
    // were stale when a directory could not be opened are current again.
    listed_.clear();
    retryWatches();
    verifyMoves();
    settleSightings();
    publish();
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
    if (!wakeWaiter_) return;
    const uint64_t one = 1;
    (void)!write(readyFd_, &one, sizeof one);
}
