#include "platform/linux/engine/change_monitor.h"

#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "platform/linux/engine/fanotify_source.h"
#include "platform/linux/engine/inotify_source.h"
#include "platform/linux/engine/linux_ports.h"
#include "platform/linux/last_error.h"

namespace {

// Our own descriptor keeps a deleted root alive, and the kernel says nothing
// about it until the last descriptor closes; so it is looked at this often,
// when the waiting thread wakes anyway, and at the latest kRootCheckMs later.
constexpr int kRootCheckMs = 200;
// How long the waiting thread may be away (printing a report) before the
// monitor's thread reads the queue for it, and how often that thread looks.
// The kernel's queue of 16,384 events lasts far longer at any rate at which
// files can be made.
constexpr int kAwayMs = 20;
// After this long with the waiting thread always back at once, the monitor's
// thread sleeps until it is told the waiting thread left: an idle watch costs
// no wake-ups but the program's own.
constexpr int kSleepAfterMs = 1000;
// How many bytes of events the waiting thread reads at most before it
// delivers: a long burst must not keep the first lines from the reader.
constexpr size_t kServiceBudgetBytes = 64 * 1024;
constexpr size_t kStandInBudgetBytes = 4 * kServiceBudgetBytes;
// While changes come in a stream, the waiting thread sleeps before it polls,
// so that one wake-up, one read and one write carry what the stream brings
// meanwhile rather than one change each: long enough for about kGatherEvents
// at the pace of the last read, at most kGatherMaxUs, far below what a reader
// could notice. Where that time would not bring two changes, a sleep would only
// add a wake-up, and a change after a pause of kStreamGapUs is read at once.
constexpr long long kGatherMaxUs = 400;
constexpr long long kGatherEvents = 32;
constexpr long long kStreamGapUs = 1000;

}  // namespace

ChangeMonitor::ChangeMonitor(std::unique_ptr<EventSource> source, int rootFd, bool recursive, DWORD notifyFilter,
                             size_t backlogLimit)
    : source_(std::move(source)),
      rootFd_(rootFd),
      stopFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      readyFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      queue_(backlogLimit),
      ownOutput_(rootFd),
      engine_(*source_, *this, recursive, notifyFilter) {}

std::unique_ptr<ChangeMonitor> ChangeMonitor::start(int rootFd, bool recursive, DWORD notifyFilter, DWORD& error,
                                                    size_t backlogLimit) {
    // A recursive watch takes the whole file system at once where the process
    // may (privileged, a recent kernel, a file system that gives handles);
    // anywhere else, or wherever any of that fails at the start, a watch per
    // directory, without a word.
    static constexpr SourceOpener kSources[] = {
        [](int fd, DWORD filter, int& failure) -> std::unique_ptr<EventSource> {
            return FanotifySource::open(fd, filter, failure);
        },
        [](int fd, DWORD filter, int& failure) -> std::unique_ptr<EventSource> {
            return InotifySource::open(fd, filter, failure);
        },
    };
    return startWith(std::span(kSources).subspan(recursive ? 0 : 1), rootFd, recursive, notifyFilter, error,
                     backlogLimit);
}

std::unique_ptr<ChangeMonitor> ChangeMonitor::startWith(std::span<const SourceOpener> sources, int rootFd,
                                                        bool recursive, DWORD notifyFilter, DWORD& error,
                                                        size_t backlogLimit) {
    std::unique_ptr<ChangeMonitor> monitor;
    for (const SourceOpener openSource : sources) {
        monitor = prepare(openSource, rootFd, recursive, notifyFilter, error, backlogLimit);
        if (monitor) break;
    }
    if (!monitor) return nullptr;
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

// Everything of the start that depends on the kernel interface: the tree
// watched whole, or nothing. nullptr with a Windows code in error.
std::unique_ptr<ChangeMonitor> ChangeMonitor::prepare(SourceOpener openSource, int rootFd, bool recursive,
                                                      DWORD notifyFilter, DWORD& error, size_t backlogLimit) {
    try {
        int failure = 0;
        std::unique_ptr<EventSource> source = openSource(rootFd, notifyFilter, failure);
        if (!source) {
            error = win32ErrorFromErrno(failure);
            return nullptr;
        }
        std::unique_ptr<ChangeMonitor> monitor(
            new ChangeMonitor(std::move(source), rootFd, recursive, notifyFilter, backlogLimit));
        if (monitor->stopFd_ < 0 || monitor->readyFd_ < 0 || monitor->wakeFd_ < 0) {
            error = win32ErrorFromErrno(errno);
            return nullptr;
        }
        // A partial watch would miss changes in silence: refuse instead.
        const OwnWorkingDirectory walking;
        if (const int walkError = monitor->engine_.start(); walkError != 0) {
            error = win32ErrorFromErrno(walkError);
            return nullptr;
        }
        struct statx mount {};
        if (statx(rootFd, "", AT_EMPTY_PATH, STATX_MNT_ID, &mount) == 0 && (mount.stx_mask & STATX_MNT_ID)) {
            monitor->rootMountId_ = mount.stx_mnt_id;
            monitor->mountsFd_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        }
        monitor->nextRootCheckMs_ = nowMs() + kRootCheckMs;
        return monitor;
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
}

ChangeMonitor::~ChangeMonitor() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    for (int fd : {stopFd_, readyFd_, wakeFd_, mountsFd_}) {
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
    fds.push_back({source_->fd(), POLLIN, 0});
    fds.push_back({readyFd_, POLLIN, 0});
    fds.push_back({mountsFd_, POLLPRI, 0});  // ignored by poll when there is none
}

int ChangeMonitor::msUntilDue() {
    std::lock_guard<std::mutex> lock(engineLock_);
    const long long due = std::min<long long>(nextRootCheckMs_ + kRootCheckMs, engine_.dueMs());
    return static_cast<int>(std::max(0LL, due - nowMs()));
}

long long ChangeMonitor::gatherUs() const { return nowUs() - lastReadUs_ < kStreamGapUs ? gatherUs_ : 0; }

void ChangeMonitor::service(const pollfd* mine) {
    uint64_t count;
    if (mine[1].revents & POLLIN) (void)!read(readyFd_, &count, sizeof count);
    std::lock_guard<std::mutex> lock(engineLock_);
    const unsigned long long before = engine_.eventsRead();
    // The caller looks for completions next: telling it through readyFd
    // would only cost it a write, a wake-up and a read.
    wakeWaiter_ = false;
    serviceLocked((mine[2].revents & (POLLPRI | POLLERR)) != 0, kServiceBudgetBytes);
    wakeWaiter_ = true;
    if (mine[0].revents & POLLIN) {
        // What this read found came since the last one: the stream's pace.
        const long long now = nowUs();
        const long long events = static_cast<long long>(engine_.eventsRead() - before);
        const long long usPerEvent = events > 0 ? (now - lastReadUs_) / events : LLONG_MAX;
        gatherUs_ = usPerEvent <= kGatherMaxUs / 2 ? std::min(kGatherMaxUs, kGatherEvents * usPerEvent) : 0;
        lastReadUs_ = now;
    }
}

void ChangeMonitor::waiterLeft() {
    waiterPresent_.store(false);
    waiterLeftAtMs_.store(nowMs());
    timesWaiterLeft_.fetch_add(1);
    if (sleepingUntilWaiterLeaves_.exchange(false)) {
        const uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
    }
}

void ChangeMonitor::serviceLocked(bool mountsChanged, size_t budgetBytes) {
    const OwnWorkingDirectory watching;
    try {
        readAndSettle(mountsChanged, budgetBytes);
    } catch (const std::bad_alloc&) {
        lostForMemory();
    }
}

// Memory ran out (an address-space limit, say) while records waited: they are
// dropped, which gives memory back, and the reader is told of the loss as of
// any other. The tracker may have been stopped half way through an event, so
// it starts afresh, as after an overflow of the kernel's queue.
void ChangeMonitor::lostForMemory() {
    batch_.packed().clear();
    queue_.markOverflow();
    try {
        engine_.lose();
    } catch (const std::bad_alloc&) {
        // Not even for a fresh tree: the old one goes on, and the next loss tries again.
    }
    signalReady();
}

void ChangeMonitor::readAndSettle(bool mountsChanged, size_t budgetBytes) {
    engine_.drain(budgetBytes, nowMs());
    if (engine_.ended()) return;
    bool gone = mountsChanged && !rootStillMounted();
    if (mountsChanged && !gone) engine_.mountsChanged();
    if (!gone && nowMs() >= nextRootCheckMs_) {
        struct stat info;
        gone = fstat(rootFd_, &info) != 0 || info.st_nlink == 0;
        nextRootCheckMs_ = nowMs() + kRootCheckMs;
    }
    if (gone) {
        // Every change made before the root went is queued by now, and
        // belongs in the report before the request that says it went.
        engine_.drain(SIZE_MAX, nowMs());
        engine_.endWithRoot();
        return;
    }
    engine_.settle(budgetBytes, nowMs());
}

// The monitor's own thread: idle while a thread waits for completions, since
// that thread reads the queue; reading it in its place while it is away.
void ChangeMonitor::run() {
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    unsigned timesLeft = timesWaiterLeft_.load();
    long long busySince = nowMs();
    for (;;) {
        bool sleep = waiterPresent_.load() && nowMs() - busySince >= kSleepAfterMs;
        if (sleep) {
            // Either this sees the waiting thread gone, or waiterLeft() sees
            // this flag and wakes us: the sleep cannot miss a departure.
            sleepingUntilWaiterLeaves_.store(true);
            if (!waiterPresent_.load()) {
                sleepingUntilWaiterLeaves_.store(false);
                sleep = false;
            }
        }
        if (poll(fds, 2, sleep ? -1 : kAwayMs) < 0 && errno != EINTR) return;
        sleepingUntilWaiterLeaves_.store(false);
        if (fds[0].revents != 0) return;
        uint64_t count;
        if (fds[1].revents & POLLIN) (void)!read(wakeFd_, &count, sizeof count);
        if (timesWaiterLeft_.load() != timesLeft) {
            timesLeft = timesWaiterLeft_.load();
            busySince = nowMs();
        }
        if (!waiterPresent_.load() && nowMs() - waiterLeftAtMs_.load() >= kAwayMs) {
            if (!readWhileNoOneWaits()) return;
            busySince = nowMs();
        }
    }
}

// Returns false when told to stop.
bool ChangeMonitor::readWhileNoOneWaits() {
    pollfd fds[3] = {{source_->fd(), POLLIN, 0}, {stopFd_, POLLIN, 0}, {mountsFd_, POLLPRI, 0}};
    while (!waiterPresent_.load()) {
        const int timeout = std::min(msUntilDue(), kAwayMs);
        if (poll(fds, 3, timeout) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
        std::lock_guard<std::mutex> lock(engineLock_);
        // In bounded helpings, so the waiting thread, back, need not wait
        // for the end of a long burst to take its place again.
        serviceLocked((fds[2].revents & (POLLPRI | POLLERR)) != 0, kStandInBudgetBytes);
    }
    return true;
}

void ChangeMonitor::lost() {
    batch_.packed().clear();
    queue_.markOverflow();
    signalReady();
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

void ChangeMonitor::rootGone() {
    rootGone_.store(true);
    signalReady();
}

void ChangeMonitor::publish() {
    if (batch_.empty()) return;
    // Each report written to an output file in the tree would be a change to
    // report, and so on without end.
    if (ownOutput_.present()) {
        eraseRecords(batch_.packed(), [this](DWORD action, std::basic_string_view<WCHAR> path) {
            return ownOutput_.isOwnWrite(action, path);
        });
        if (batch_.empty()) return;
    }
    if (queue_.publish(batch_.packed())) signalReady();
}

void ChangeMonitor::signalReady() {
    if (!wakeWaiter_) return;
    const uint64_t one = 1;
    (void)!write(readyFd_, &one, sizeof one);
}
