// The engine behind ReadDirectoryChangesW on Linux, around a ChangeTracker:
// the kernel interface it reads, the thread that reads it while no one waits,
// the checks that the root is still there, and the bounded backlog of records
// waiting for a request. The thread waiting for completions reads the
// kernel's queue itself, so a change costs one wake-up, and a stream of them
// one for all that came while it let them gather; the monitor's own
// thread takes over only while that thread is away (printing to a slow
// reader, say), so the kernel's queue never fills and drops changes.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <poll.h>
#include <span>
#include <thread>
#include <vector>

#include "platform/linux/engine/change_engine.h"
#include "platform/linux/engine/event_source.h"
#include "platform/linux/engine/own_output.h"
#include "platform/linux/engine/record_queue.h"

/// Milliseconds on the monotonic clock.
inline long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

/// Microseconds on the monotonic clock.
inline long long nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

class ChangeMonitor : private EngineOutput {
public:
    /// What a finished request delivers.
    enum class Delivery { Nothing, Records, Overflow, RootGone };

    /// Watches the directory open as rootFd (the caller keeps it open for the
    /// monitor's life). Every directory below it is watched before this returns
    /// when recursive. On failure returns nullptr with a Windows code in error.
    static std::unique_ptr<ChangeMonitor> start(int rootFd, bool recursive, DWORD notifyFilter, DWORD& error,
                                                size_t backlogLimit = kBacklogLimitBytes);

    /// Opens one kernel interface for the tree below rootFd; nullptr with the
    /// errno in error.
    using SourceOpener = std::unique_ptr<EventSource> (*)(int rootFd, DWORD notifyFilter, int& error);
    /// As start, with the kernel interfaces tried in this order: the first
    /// with which the whole tree is watched is kept, and when none is, the
    /// last one's failure is reported. start uses fanotify, then inotify.
    static std::unique_ptr<ChangeMonitor> startWith(std::span<const SourceOpener> sources, int rootFd,
                                                    bool recursive, DWORD notifyFilter, DWORD& error,
                                                    size_t backlogLimit = kBacklogLimitBytes);
    ~ChangeMonitor() override;

    /// Fills buffer[0, size) with waiting records (bytes receives the count),
    /// or reports an overflow or a vanished root. Called by the requesting thread.
    Delivery take(void* buffer, DWORD size, DWORD& bytes);

    /// How many descriptors addPollFds adds.
    static constexpr size_t kPollFds = 3;
    /// Appends what a thread waiting for this monitor's completions polls.
    void addPollFds(std::vector<pollfd>& fds) const;
    /// Milliseconds until service() has something due even if no descriptor
    /// becomes ready (a rename's wait for its second half, say).
    int msUntilDue();
    /// Microseconds the waiting thread lets changes gather in the kernel's
    /// queue before it polls: nonzero only while they come in a stream, so
    /// that one wake-up carries many of them; a change on its own is read at once.
    long long gatherUs() const;
    /// Reads the kernel's queue and does what is due; `mine` are the entries
    /// addPollFds added, with the poll's results. Called by the waiting thread.
    void service(const pollfd* mine);

    /// The calling thread now waits for this monitor's completions, and reads
    /// the kernel's queue while it does.
    void waiterArrived() { waiterPresent_.store(true); }
    /// The waiting thread stops waiting, to run a completion.
    void waiterLeft();

private:
    ChangeMonitor(std::unique_ptr<EventSource> source, int rootFd, bool recursive, DWORD notifyFilter,
                  size_t backlogLimit);
    static std::unique_ptr<ChangeMonitor> prepare(SourceOpener openSource, int rootFd, bool recursive,
                                                  DWORD notifyFilter, DWORD& error, size_t backlogLimit);
    void add(DWORD action, std::string_view path) override { batch_.append(action, path); }
    size_t pendingBytes() const override { return batch_.size(); }
    void publish() override;
    void lost() override;
    void rootGone() override;
    void run();
    bool readWhileNoOneWaits();
    void serviceLocked(bool mountsChanged, size_t budgetBytes);
    void readAndSettle(bool mountsChanged, size_t budgetBytes);
    void lostForMemory();
    bool rootStillMounted();
    void signalReady();

    std::unique_ptr<EventSource> source_;
    int rootFd_;
    int stopFd_ = -1;
    int readyFd_ = -1;
    int wakeFd_ = -1;
    // Held by whichever thread reads the kernel's queue; guards everything
    // below that the reading touches, up to the mount table.
    std::mutex engineLock_;
    RecordBatch batch_;
    RecordQueue queue_;
    OwnOutput ownOutput_;
    ChangeEngine engine_;
    // The mount table, which becomes readable with POLLPRI when it changes, and
    // the mount the root is on: a root unmounted lazily sends no event while
    // our descriptor keeps its file system alive.
    int mountsFd_ = -1;
    uint64_t rootMountId_ = 0;
    long long nextRootCheckMs_ = 0;
    std::atomic<bool> rootGone_{false};
    // Whether records made ready are signalled on readyFd: not while the
    // waiting thread itself reads the queue (guarded by engineLock_).
    bool wakeWaiter_ = true;
    // Whether a thread waits for completions (and so reads the queue); when it
    // last left to run one, and how many times it has; whether the monitor's
    // thread sleeps until it is told that the waiting thread left.
    std::atomic<bool> waiterPresent_{false};
    std::atomic<long long> waiterLeftAtMs_{0};
    std::atomic<unsigned> timesWaiterLeft_{0};
    std::atomic<bool> sleepingUntilWaiterLeaves_{false};
    // When the waiting thread last found the kernel's queue readable, and how
    // long it lets changes gather before it polls while they come at the pace
    // that read found (its own).
    long long lastReadUs_ = 0;
    long long gatherUs_ = 0;
    std::thread thread_;
};
