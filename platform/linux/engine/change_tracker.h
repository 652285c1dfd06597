// The heart of the Linux change notification: the kernel's events, taken one
// at a time in queue order, become the records Windows would deliver, and a
// tree of watched directories follows them. No threads and no descriptors:
// the disk is reached only through a Disk, so tests can run it on one in
// memory, and whatever happens is decided by the events and the disk alone.
#pragma once

#include <climits>
#include <functional>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/engine/disk.h"
#include "platform/linux/engine/reader_view.h"
#include "platform/linux/engine/record_queue.h"
#include "platform/linux/engine/watch_tree.h"

/// One event as the kernel queued it, in inotify's terms whichever interface
/// it came from.
struct KernelEvent {
    /// Key of the directory it happened in (inotify's watch descriptor).
    int watch = -1;
    /// inotify's IN_* bits.
    uint32_t mask = 0;
    /// Pairs IN_MOVED_FROM with IN_MOVED_TO.
    uint32_t cookie = 0;
    /// The entry's name; empty for an event on the directory itself.
    std::string_view name;
    /// Key of the entry itself, when the interface reports it (directories).
    int child = -1;
    /// A half of a move whose other half will never come (the interface knows).
    bool alone = false;
};

/// Where the tracker hands finished records.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    /// Takes the packed records (and leaves the vector empty).
    virtual void publish(std::vector<uint8_t>& packed) = 0;
};

class ChangeTracker {
public:
    struct Options {
        bool recursive = true;
        DWORD notifyFilter = 0;
        /// Whether a new directory must be listed once watched, because
        /// changes made in it before its watch existed were not seen (inotify).
        bool listNewDirectories = true;
        /// Whether every directory must be watched before changes in it are
        /// seen (inotify). Otherwise the interface reports changes anywhere
        /// and tells the tracker of the directories it finds (see adopt).
        bool watchEveryDirectory = true;
    };

    /// What a call had to give up. A loss means records were dropped and the
    /// tree was made afresh: the caller says so (an overflow). Once the root
    /// is gone nothing more is reported.
    enum class Outcome { Ok, Lost, RootGone };

    ChangeTracker(Disk& disk, RecordSink& sink, Options options);

    /// Watches the root, and when recursive everything below it. Returns 0, or
    /// the errno that kept part of the tree from being watched.
    int start();

    /// One event, in the order the kernel queued it.
    Outcome onEvent(const KernelEvent& event, long long nowMs);
    /// The kernel's queue was read to its end after everything done so far:
    /// no event older than the tracker's own looks at the disk is still to come.
    Outcome onQueueEmpty(long long nowMs);
    /// Time passed; does what was waiting for it (a move's lone first half).
    Outcome onTime(long long nowMs);
    /// When onTime next has something to do; LLONG_MAX for never.
    long long dueMs() const;

    /// Reports a move's first half that is still waiting, as a removal (the
    /// root is going away), then publishes everything.
    void finish();
    /// Hands every record made so far to the sink.
    void publish();
    /// Whether enough records have gathered to be worth handing over now, at
    /// a point where that splits no rename's halves.
    bool publishDue() const;
    /// Whether a move's first half waits for its second, which may be next
    /// in the kernel's queue.
    bool awaitingSecondHalf() const { return pendingMove_.waiting; }
    /// Whether something waits for the queue to be read to its end (see
    /// onQueueEmpty), so that a read that finds it empty is worth making.
    bool awaitsEmptyQueue() const {
        return !reader_.empty() || !retries_.empty() || !sightings_.empty() || !unverified_.empty() ||
               !unlisted_.empty() || !returned_.empty() || !unheard_.empty();
    }

    /// Adds a directory that the kernel interface found inside the tree by
    /// itself, as child `name` of the directory with key parentKey. Its contents
    /// are not reported: the reader knows them already.
    void adopt(int key, int parentKey, std::string_view name);
    /// Whether the directory with this key is in the watched tree.
    bool watches(int key) const { return tree_.find(key) != kNoNode; }
    /// Where the watched directory with this key is: its parent's key and its
    /// name. False for the root and for a key not in the tree.
    bool locate(int key, int& parentKey, std::string& name) const;
    /// Whether the directory with this key is the one with ancestorKey or lies
    /// below it; false when either is not in the tree.
    bool isWithin(int key, int ancestorKey) const;
    int rootKey() const { return tree_.root() == kNoNode ? -1 : tree_.wd(tree_.root()); }
    size_t watchedDirectories() const { return tree_.size(); }

private:
    struct PendingMove {
        bool waiting = false;
        uint32_t cookie = 0;
        NodeId dir = kNoNode;
        std::string name;
        bool isDirectory = false;
        long long deadlineMs = 0;
        int child = -1;
        unsigned readAt = 0;  // emptyQueues_ when its first half was read
    };
    /// A watched directory a walk found under another parent or name than the tree gives it.
    struct Sighting {
        int parentKey;
        std::string name;
        unsigned seenAt = 0;  // emptyQueues_ when the walk saw it
    };
    /// A new directory that could not be opened at the path the tree gave.
    struct Retry {
        int parentKey;
        std::string name;
        bool list;
        int rounds;
    };
    enum Sameness { kOther, kSame, kLikely };

    // change_tracker.cpp: events
    void handle(const KernelEvent& event);
    void handleEntry(NodeId dir, std::string_view name, bool isDirectory, const KernelEvent& event);
    void addDirectory(NodeId parent, std::string_view name, int child);
    /// False when nothing was told: the filter, or a directory out of hearing.
    bool emit(DWORD action, NodeId dir, std::string_view name, bool isDirectory, uint32_t mask = 0);
    bool readerKnows(NodeId dir, std::string_view name);
    bool unheardAt(NodeId dir);
    bool inWindow(NodeId dir, std::string_view name);
    std::string childPath(NodeId dir, std::string_view name);
    const std::string& dirPath(NodeId dir);
    void lose();
    void rootVanished();
    Outcome takeOutcome();

    // tracker_moves.cpp: the two halves of a move, and moves no event told of
    void handleMovedTo(NodeId dir, std::string_view name, bool isDirectory, const KernelEvent& event);
    bool listedAsItself(NodeId dir, std::string_view name);
    void reportMove(const PendingMove& from, NodeId dir, std::string_view name, bool isDirectory, int child = -1);
    void followDirectory(const PendingMove& from, NodeId dir, std::string_view name, int child, bool targetKnown,
                         bool list);
    Sameness isPendingDirectory(NodeId dir, std::string_view name);
    void flushPendingMove();
    void settleSightings();
    void dropSighting(int key);
    void keepReturned(NodeId leaving);
    bool takeReturned(int key);
    void settleReturned();
    void verifyMoves();
    void hearAgain();
    void forgetSubtree(NodeId node, bool stillWatched);

    // tracker_walks.cpp: the disk
    struct WalkFrame;
    enum class Placed { Added, Through, Sighted, Skipped };
    int walk(WatchTree& tree, int dir, NodeId parent, std::string_view name, bool list);
    int descend(WatchTree& tree, std::vector<WalkFrame>& stack, bool list);
    Placed place(WatchTree& tree, int dir, NodeId parent, std::string_view name, bool parentIsNew, NodeId& node,
                 int& error);
    int listEntries(WatchTree& tree, WalkFrame& frame, bool list);
    void popFrame(WatchTree& tree, std::vector<WalkFrame>& stack);
    void report(WatchTree& tree, NodeId dir, std::string_view name, bool isDirectory);
    void reportListing();
    void watchNew(NodeId parent, std::string_view name, bool list);
    void listSubtree(NodeId node, bool fresh = true);
    void listUnlisted();
    void rewatch(NodeId dir);
    void retryWatches();
    int keyAt(const std::string& path, int& error);
    void repair();

    Disk& disk_;
    RecordSink& sink_;
    Options options_;
    WatchTree tree_;
    RecordBatch batch_;
    DWORD lastAction_ = 0;
    Outcome outcome_ = Outcome::Ok;
    bool rootGone_ = false;
    long long nowMs_ = 0;
    PendingMove pendingMove_;
    // What the reader knows below the directories listed since the queue was
    // last read to its end.
    ReaderView reader_;
    // Watched directories with a sub-directory we could not enter: a change of
    // their attributes may let us in.
    std::unordered_set<int> blocked_;
    // By key: the events of their moves are still queued, at least the first
    // half; if only that ever comes, this tells where the directory went.
    // Each in the order walks saw it: a directory moved twice out of sight is
    // followed through both places, not straight to the last.
    std::unordered_map<int, std::vector<Sighting>> sightings_;
    // Keys of directories followed through a move on their name alone (see
    // isPendingDirectory), to be checked when the queue is empty.
    std::vector<int> unverified_;
    // Keys of directories kept in the tree by keepReturned, not told of yet.
    std::vector<int> returned_;
    std::vector<Retry> retries_;
    // Keys of directories to be listed, whose path was stale when they had to be.
    std::vector<int> unlisted_;
    // Directories that were moved where no watch saw them arrive, and found
    // by a walk since: where they were in between is not known, so neither is
    // where the changes their queued events tell happened. Until the queue is
    // read, the tree follows those events but nothing below them is told; if
    // anything was, the directory is then told as replaced, with what it holds.
    struct Unheard {
        int key;
        bool missed = false;
    };
    std::vector<Unheard> unheard_;
    // How many times the queue was found empty: an event read before a later
    // count is older than anything done at that count or after.
    unsigned emptyQueues_ = 0;
    // Keys of the directories the listing under way has listed.
    std::unordered_set<int> reached_;
    // What the walk under way has listed, told once it is known to be right.
    struct Listed {
        NodeId dir;
        std::string name;
        bool isDirectory;
    };
    std::vector<Listed> listing_;
    std::vector<NodeId> listedDirs_;
    std::vector<Disk::Entry> entries_;
    std::string pathScratch_;
    WString nameScratch_;
    NodeId cachedDir_ = kNoNode;
    uint64_t cachedGeneration_ = 0;
    std::string cachedDirPath_;
    // Counts rebuilds of the tree: a NodeId held across a call that may
    // rebuild it is meaningless once this has changed.
    unsigned repairs_ = 0;
};
