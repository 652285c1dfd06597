// The heart of the Linux change notification: the kernel's events, taken one
// at a time in the order of the changes, become the records Windows would
// deliver, and a tree of watched directories follows them. No threads and no
// descriptors: the disk is reached only through a Disk, so whatever happens
// is decided by the events and the disk alone. See README.md beside this
// file for the rules it keeps.
#pragma once

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/linux/engine/change_event.h"
#include "platform/linux/engine/doubt.h"
#include "platform/linux/engine/held_names.h"
#include "platform/linux/engine/record_sink.h"
#include "platform/linux/engine/tree_walker.h"
#include "platform/linux/engine/unwatched_names.h"

class ChangeTracker : public TreeQuery, private TreeWalker::Visitor {
public:
    struct Options {
        bool recursive = true;
        DWORD notifyFilter = 0;
        /// Whether a directory made in the tree is listed once watched,
        /// because what was made in it before its watch existed was not
        /// seen (inotify). Otherwise the interface reports changes anywhere,
        /// and tells the tracker of the directories it meets (fanotify).
        bool listNewDirectories = true;
    };

    /// What a call had to give up. A loss means records were dropped: the
    /// caller says so (an overflow). Once the root is gone nothing more is told.
    enum class Outcome { Ok, Lost, RootGone };

    ChangeTracker(Disk& disk, RecordSink& sink, Options options);

    /// Watches the root, and when recursive everything below it when the
    /// interface needs it. Returns 0, or the errno that kept part of the
    /// tree from being watched.
    int start();
    /// One event, in the order of the changes.
    Outcome onEvent(const ChangeEvent& event);
    /// The kernel's queue was read to its end after everything done so far:
    /// no event older than the tracker's own looks at the disk is still to come.
    Outcome onQueueEmpty();
    /// Called when a read found the queue empty, before the tracker is told
    /// so. True when it looked at the disk: then only another read can tell
    /// that no event of a change made before that look is still queued.
    bool lookBeforeQueueEnd();
    /// Whether that look found a directory where the tree does not have it.
    bool foundMisplaced() const { return !misplaced_.empty(); }
    /// The mount table changed: directories a file system was mounted on
    /// are looked at again.
    Outcome onMountsChanged();
    /// Whether something waits for the queue's end, so that a read that
    /// finds it empty is worth making.
    bool awaitsQueueEnd() const {
        return !doubt_.empty() || unwatched_.awaitQueueEnd() || !sightings_.empty() || !movedDirectories_.empty() ||
               !misplaced_.empty();
    }

    bool holds(int key) const override { return tree_.find(key) != kNoNode; }
    bool place(int key, int& parentKey, std::string& name) const override;
    bool isWithin(int key, int ancestorKey) const override;
    int rootKey() const override { return tree_.root() == kNoNode ? -1 : tree_.key(tree_.root()); }

private:
    using Why = UnwatchedNames::Why;

    void adopt(const Place& place);
    void added(NodeId dir, std::string_view name, bool isDirectory, int entry, bool leaves = false);
    void removed(NodeId dir, std::string_view name, bool isDirectory);
    void vanished(NodeId node);
    void retell(NodeId parent, const std::string& name, Why why);
    void forgetChild(NodeId dir, std::string_view name, bool isDirectory);
    void modified(NodeId dir, std::string_view name, bool isDirectory, bool content);
    void moved(const ChangeEvent& event);
    /// The key of the directory at dir/name on the disk now, or -1.
    int keyAt(NodeId dir, std::string_view name) { return walker_.keyAt(tree_, dir, name); }
    void follow(NodeId node, NodeId to, std::string_view name, bool carried, bool heard, bool unheard);

    // What the reader holds (see doubt.h).
    void tell(DWORD action, NodeId dir, std::string_view name, bool isDirectory = false, bool content = false);
    void tellAdded(NodeId dir, std::string_view name, bool isDirectory, bool carried);

    // Directories.
    void placeNew(NodeId parent, std::string_view name, int entry, bool made, bool leaves = false);
    void newDirectory(NodeId node, int dir);
    void distrust(NodeId node);
    bool list(NodeId node);
    void misplaced(NodeId node);
    void giveUp(NodeId node);
    void leaveTree(NodeId node);
    void forgetSubtree(NodeId node, bool stillWatched);
    void settle();
    void repair();
    void lose();
    Outcome takeOutcome();

    // The walk's visitor.
    void watched(NodeId dir, const std::vector<Disk::Entry>& entries) override;
    void placed(NodeId dir) override;
    bool wantsListing(NodeId dir, bool isNew) override;
    bool goesBelow(NodeId dir) override;
    void listed(NodeId dir, const std::vector<TreeWalker::Found>& entries) override;
    void stale(NodeId dir) override;
    void blocked(NodeId dir, std::string_view name, bool mounted) override;

    const std::string& pathOf(NodeId dir);
    std::string childPath(NodeId dir, std::string_view name);

    Disk& disk_;
    RecordSink& sink_;
    Options options_;
    WatchTree tree_;
    TreeWalker walker_;
    Doubt doubt_;
    HeldNames held_;
    UnwatchedNames unwatched_;
    // Directories a walk met under another parent or name than the tree
    // gives them, by key: where the walk met them, for a move whose second
    // half never comes (it went through a directory not watched yet).
    std::unordered_map<int, std::pair<int, std::string>> sightings_;
    // Directories an event moved (where every directory has its own watch),
    // by key: each is looked for at its path once the queue is empty. One
    // watched by a path that, by then, led to another directory follows that
    // one's moves in the tree, and only its path can tell.
    std::vector<int> movedDirectories_;
    // Those its path did not lead to, with no event read since the look.
    std::vector<int> misplaced_;
    // Events read since the queue's end after which misplaced ones were
    // looked for again.
    unsigned relooks_ = 0;
    // How many times the queue was read to its end.
    unsigned queueEnds_ = 0;
    bool walkingWhole_ = false;
    Outcome outcome_ = Outcome::Ok;
    bool rootGone_ = false;
    // The path of the last record told, when it was a directory's removal.
    std::string lastRemovedDirectory_;
    std::string path_;
    NodeId pathNode_ = kNoNode;
    uint64_t pathGeneration_ = 0;
};
