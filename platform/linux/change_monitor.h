// The engine behind ReadDirectoryChangesW on Linux: one inotify instance per
// directory handle, a tree of watched directories, and a bounded backlog of
// packed records. The thread waiting for completions reads the kernel's queue
// itself, so a change costs one wake-up; a thread of the monitor's own takes
// over only while no one waits (the program is blocked printing to a slow
// reader, say), so the kernel's queue never fills and drops changes.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/record_queue.h"
#include "platform/linux/tree_walker.h"
#include "platform/linux/watch_tree.h"

/// Milliseconds on the monotonic clock.
inline long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class ChangeMonitor : private WalkListener {
public:
    /// What a finished request delivers.
    enum class Delivery { Nothing, Records, Overflow, RootGone };

    /// Watches the directory open as rootFd (the caller keeps it open for the
    /// monitor's life). Every directory below it is watched before this returns
    /// when recursive. On failure returns nullptr with a Windows code in error.
    static std::unique_ptr<ChangeMonitor> start(int rootFd, bool recursive, DWORD notifyFilter, DWORD& error,
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
    /// Reads the kernel's queue and does what is due; `mine` are the entries
    /// addPollFds added, with the poll's results. Called by the waiting thread.
    void service(const pollfd* mine);

    /// The calling thread waits for this monitor's completions and will
    /// service it (attend), or stops waiting to run a completion (leave).
    void attend() { attended_.store(true); }
    void leave();

private:
    struct PendingMove {
        bool waiting = false;
        uint32_t cookie = 0;
        NodeId dir = kNoNode;
        std::string name;
        bool isDirectory = false;
        long long deadlineMs = 0;
    };

    ChangeMonitor(int rootFd, bool recursive, DWORD notifyFilter, size_t backlogLimit);
    void run();
    bool drainWhileUnattended();
    void serviceLocked(bool mountsChanged, size_t budgetBytes);
    void drain(size_t budgetBytes);
    void handle(const struct inotify_event& event);
    void handleMovedTo(NodeId dir, std::string_view name, bool isDirectory, uint32_t cookie);
    [[nodiscard]] bool reportMove(const PendingMove& from, NodeId dir, std::string_view name, bool isDirectory);
    enum Sameness { kOther, kSame, kLikely };
    Sameness isPendingDirectory(NodeId dir, std::string_view name);
    void verifyMoves();
    void flushPendingMove();
    void settleSightings();
    [[nodiscard]] bool relocate(const PendingMove& from, NodeId to, const std::string& name);
    bool existsOnDisk(NodeId dir, std::string_view name);
    void forgetSubtree(NodeId node, bool removeWatches);
    void watchNew(NodeId parent, std::string_view name, bool list);
    void rewatch(NodeId dir);
    void retryWatches();
    void noteWalk();
    bool rootStillMounted();
    void repair();
    void announceLoss();
    void rootVanished();
    void emit(DWORD action, NodeId dir, std::string_view name, bool isDirectory, uint32_t mask = 0);
    void onEntry(NodeId dir, std::string_view name, bool isDirectory) override;
    bool suppressListed(NodeId dir, std::string_view name);
    void publish();
    void signalReady();
    const std::string& dirPath(NodeId dir);
    /// The path of `name` in dir, relative to the root.
    std::string childPath(NodeId dir, std::string_view name);

    int rootFd_;
    int inotifyFd_ = -1;
    int stopFd_ = -1;
    int readyFd_ = -1;
    int kickFd_ = -1;
    // Held by whichever thread reads the kernel's queue; guards everything below
    // that the reading touches, up to the mount table.
    std::mutex engine_;
    bool recursive_;
    DWORD notifyFilter_;
    uint32_t mask_;
    TreeWalker walker_;
    WatchTree tree_;
    RecordQueue queue_;
    RecordBatch batch_;
    PendingMove pendingMove_;
    // Names already reported by listing a new directory, so that the create
    // events still queued for them are not reported a second time.
    std::unordered_map<NodeId, std::unordered_set<std::string>> listed_;
    // Watched directories with a sub-directory we could not enter: a change of
    // their attributes may let us in.
    std::unordered_set<int> blocked_;
    // Watched directories that a walk found in another place than the tree
    // says, by watch descriptor: where they were found. The tree follows the
    // move when its events are read; if only the first half ever comes, this
    // tells where the directory went.
    std::unordered_map<int, TreeWalker::Sighting> sightings_;
    // Watch descriptors of directories followed through a move on their name
    // alone (see isPendingDirectory), to be checked when the queue is empty.
    std::vector<int> unverified_;
    // New directories that could not be opened at the path the tree gave.
    struct Retry {
        int parentWd;
        std::string name;
        bool list;
        int rounds;
    };
    std::vector<Retry> retries_;
    // The mount table, which becomes readable with POLLPRI when it changes, and
    // the mount the root is on: a root unmounted lazily sends no event while
    // our descriptor keeps its file system alive.
    int mountsFd_ = -1;
    uint64_t rootMountId_ = 0;
    long long nextRootCheckMs_ = 0;
    std::string pathScratch_;
    WString nameScratch_;
    NodeId cachedDir_ = kNoNode;
    std::string cachedDirPath_;
    std::atomic<bool> rootGone_{false};
    // Whether records made ready are signalled on readyFd: not while the
    // waiting thread itself reads the queue (guarded by engine_).
    bool wakeWaiter_ = true;
    // Whether a thread waits for completions (and so reads the queue); when it
    // last stopped to run one, and how many times it has; whether the monitor's
    // thread sleeps until told that it stopped.
    std::atomic<bool> attended_{false};
    std::atomic<long long> leftAtMs_{0};
    std::atomic<unsigned> departures_{0};
    std::atomic<bool> drowsy_{false};
    std::thread thread_;
};
