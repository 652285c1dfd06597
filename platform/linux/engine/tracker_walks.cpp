// How ChangeTracker keeps its tree up with the disk: the walk that watches a
// directory and everything below it (listing what it finds when asked), new
// directories, stale paths tried again, and the rebuild after a loss.
#include <cerrno>

#include "platform/linux/engine/change_tracker.h"

namespace {

// A deep tree would otherwise hold one open directory per level; above this
// depth the walk closes ancestors and opens them again by path.
constexpr size_t kMaxOpenDirectories = 64;

// Errors that only mean the tree changed under us, or that a directory is not
// ours to read; the walk carries on without it.
bool isSkippable(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM || error == ELOOP ||
           error == ENODEV || error == EXDEV;
}

}  // namespace

struct ChangeTracker::WalkFrame {
    NodeId node;
    int dir;     // -1 while closed to bound the walk's open directories
    bool isNew;  // added to the tree by this walk
    std::vector<std::string> subdirectories;
    size_t next = 0;
};

// Watches the open directory dir (which this call closes) as child `name` of
// parent (kNoNode for the root), then everything below it when recursive.
// With `list`, every entry met is reported as added, and each directory
// listed opens a window (see ReaderView). Directories already watched where they
// are found are walked through; one watched at another place has moved, and
// is only noted: its move's events, still queued, will move it in the tree.
// Returns 0 or the errno that stopped the walk (ENOSPC, EMFILE, ENOMEM).
int ChangeTracker::walk(WatchTree& tree, int dir, NodeId parent, std::string_view name, bool list) {
    NodeId node = kNoNode;
    int error = 0;
    const Placed placed = place(tree, dir, parent, name, false, node, error);
    if (node == kNoNode) {
        disk_.close(dir);
        return error;
    }
    std::vector<WalkFrame> stack;
    stack.push_back(WalkFrame{node, dir, placed == Placed::Added, {}, 0});
    error = listEntries(tree, stack.back(), list);
    while (error == 0 && !stack.empty()) {
        if (stack.back().next == stack.back().subdirectories.size()) {
            popFrame(tree, stack);
        } else {
            error = descend(tree, stack, list);
        }
    }
    for (WalkFrame& frame : stack) {
        if (frame.dir >= 0) disk_.close(frame.dir);
    }
    if (list && &tree == &tree_) reportListing();
    return error;
}

// The directories of a walk are listed one after another while the tree goes
// on changing: one renamed meanwhile, above or at a directory listed after
// it, would give its entries a path that never existed. So what a listing
// found is told only for directories still at the path the tree gives them;
// the others are listed again once the queue has been read.
void ChangeTracker::reportListing() {
    std::unordered_set<NodeId> stale;
    for (const NodeId dir : listedDirs_) {
        int error = 0;
        const int fd = disk_.open(dirPath(dir), error);
        const int key = fd >= 0 ? disk_.watch(fd, error) : -1;
        if (fd >= 0) disk_.close(fd);
        if (key != tree_.wd(dir)) {
            if (key >= 0 && tree_.find(key) == kNoNode) disk_.forget(key, true);
            stale.insert(dir);
            unlisted_.push_back(tree_.wd(dir));
        }
    }
    for (const Listed& entry : listing_) {
        if (stale.count(entry.dir) != 0 || (inWindow(entry.dir, entry.name) && readerKnows(entry.dir, entry.name)))
            continue;
        if (emit(FILE_ACTION_ADDED, entry.dir, entry.name, entry.isDirectory))
            reader_.learn(childPath(entry.dir, entry.name), true);
    }
    listing_.clear();
    listedDirs_.clear();
}

int ChangeTracker::descend(WatchTree& tree, std::vector<WalkFrame>& stack, bool list) {
    WalkFrame& top = stack.back();
    const std::string name = top.subdirectories[top.next++];
    const NodeId parent = top.node;
    const bool parentIsNew = top.isNew;
    int error = 0;
    const int dir = disk_.openChild(top.dir, name, error);
    if (dir < 0) {
        // Only a directory that is there and unreadable is reported: one the
        // listing saw go (a rename caught half way shows both names) is
        // reported by its events, under the name it has.
        if (error == EACCES || error == EPERM) {
            blocked_.insert(tree.wd(parent));
            if (list) report(tree, parent, name, true);
        }
        return isSkippable(error) ? 0 : error;
    }
    NodeId node = kNoNode;
    const Placed placed = place(tree, dir, parent, name, parentIsNew, node, error);
    // A directory watched elsewhere is not reported here: the events of its
    // move will report it, and take along what the reader knows of it.
    if (list && placed != Placed::Sighted) report(tree, parent, name, true);
    if (node == kNoNode) {
        disk_.close(dir);
        return error;
    }
    stack.push_back(WalkFrame{node, dir, placed == Placed::Added, {}, 0});
    if (stack.size() > kMaxOpenDirectories) {
        WalkFrame& old = stack[stack.size() - 1 - kMaxOpenDirectories];
        if (old.dir >= 0) disk_.close(old.dir);
        old.dir = -1;
    }
    return listEntries(tree, stack.back(), list);
}

ChangeTracker::Placed ChangeTracker::place(WatchTree& tree, int dir, NodeId parent, std::string_view name,
                                           bool parentIsNew, NodeId& node, int& error) {
    node = kNoNode;
    const int key = disk_.watch(dir, error);
    if (key < 0) {
        if (isSkippable(error)) error = 0;
        return Placed::Skipped;
    }
    const NodeId existing = tree.find(key);
    // A directory this walk has just added has only the children the walk
    // gives it, each name once: the search among siblings, which would make a
    // wide directory quadratic, is needed only where the tree was before.
    if (existing == kNoNode && parentIsNew) {
        node = tree.add(key, parent, name);
        return Placed::Added;
    }
    const NodeId here = parent == kNoNode ? tree.root() : tree.findChild(parent, name);
    if (existing == kNoNode && here == kNoNode) {
        node = tree.add(key, parent, name);
        return Placed::Added;
    }
    if (existing == here) {
        node = existing;  // walked through, for what below it is not watched yet
        return Placed::Through;
    }
    if (existing != kNoNode && parent != kNoNode) {
        // Watched elsewhere: it was moved here (over whatever the tree still
        // has under this name), and the events of that move are still
        // queued, at least its first half. Events older than the move are
        // queued too and must get the old path, so the tree is left as it is
        // until the move's events are read.
        if (&tree == &tree_) {
            std::vector<Sighting>& places = sightings_[key];
            if (places.empty() || places.back().parentKey != tree.wd(parent) || places.back().name != name)
                places.push_back(Sighting{tree.wd(parent), std::string(name), emptyQueues_});
        }
        return Placed::Sighted;
    }
    // Another directory than the tree has under this name: the events about
    // the one the tree has are still queued, and will make room for it.
    if (existing == kNoNode) disk_.forget(key, true);
    return Placed::Skipped;
}

int ChangeTracker::listEntries(WatchTree& tree, WalkFrame& frame, bool list) {
    entries_.clear();
    const int error = disk_.list(frame.dir, entries_);
    if (error != 0 && !isSkippable(error)) return error;
    if (list && &tree == &tree_) {
        // A directory listed outside any window (one just made, say) opens
        // its own: the reader knows nothing in it but what is reported.
        if (const std::string path = dirPath(frame.node); !reader_.inWindow(path + "/")) reader_.openWindow(path);
        reached_.insert(tree.wd(frame.node));
        listedDirs_.push_back(frame.node);
    }
    for (Disk::Entry& entry : entries_) {
        if (entry.isDirectory && options_.recursive) {
            frame.subdirectories.push_back(std::move(entry.name));
        } else if (list) {
            report(tree, frame.node, entry.name, entry.isDirectory);
        }
    }
    return 0;
}

// Leaves a finished directory. If its parent was closed to bound the walk's
// open directories, the parent is opened again by path, and must still be
// the same directory: if it moved meanwhile, its remaining children are
// skipped, and the events of that move bring them back.
void ChangeTracker::popFrame(WatchTree& tree, std::vector<WalkFrame>& stack) {
    disk_.close(stack.back().dir);
    stack.pop_back();
    if (stack.empty() || stack.back().dir >= 0) return;
    WalkFrame& parent = stack.back();
    std::string path;
    tree.appendPath(parent.node, path);
    int error = 0;
    parent.dir = disk_.open(path, error);
    if (parent.dir >= 0 && disk_.watch(parent.dir, error) != tree.wd(parent.node)) {
        disk_.close(parent.dir);
        parent.dir = -1;
    }
    if (parent.dir < 0) parent.next = parent.subdirectories.size();
}

void ChangeTracker::report(WatchTree& tree, NodeId dir, std::string_view name, bool isDirectory) {
    if (&tree == &tree_) listing_.push_back(Listed{dir, std::string(name), isDirectory});
}

void ChangeTracker::watchNew(NodeId parent, std::string_view name, bool list) {
    if (tree_.findChild(parent, name) != kNoNode) return;
    int error = 0;
    const int dir = disk_.open(childPath(parent, name), error);
    if (dir < 0) {
        // Gone again, or not ours to read; or the path is stale because a
        // directory above was renamed and that event is still queued. That
        // last case is tried again once the queue has been read.
        if (error == ENOENT || error == ENOTDIR) retries_.push_back({tree_.wd(parent), std::string(name), list, 0});
        return;
    }
    // Part of the tree is not watched (the watch limit, most likely): changes
    // there would be missed without a word, so say that changes were lost.
    if (walk(tree_, dir, parent, name, list) != 0) lose();
}

// Lists a watched directory and everything below it, for a reader that
// cannot know what it holds. Where its path is stale, the events of later
// moves above it still queued, it is listed once the queue is read; until
// then only the names the reader learns from events count as known in it.
void ChangeTracker::listSubtree(NodeId node, bool fresh) {
    // The reader knows nothing below it now but what the listing tells, and
    // what events tell after it; a listing again, after its path was stale,
    // adds to what the reader learned meanwhile.
    std::vector<int> keys;
    tree_.subtreeWds(node, keys);
    if (fresh || !reader_.inWindow(dirPath(node) + "/")) reader_.openWindow(dirPath(node));
    int error = 0;
    const int key = tree_.wd(node);
    int dir = disk_.open(dirPath(node), error);
    if (dir >= 0) {
        // The path may name another directory by now, or none: the events of
        // later moves above it are still queued. Then it is listed once they
        // have been read, under the path it has by then.
        const int found = disk_.watch(dir, error);
        if (found != key) {
            if (found >= 0 && tree_.find(found) == kNoNode) disk_.forget(found, true);
            disk_.close(dir);
            dir = -1;
            error = ENOENT;
        }
    }
    if (dir < 0) {
        // Each directory below it is listed wherever it is by then, should
        // it move out of this one meanwhile.
        if (error == ENOENT || error == ENOTDIR) unlisted_.insert(unlisted_.end(), keys.begin(), keys.end());
        return;
    }
    const std::string name(tree_.name(node));
    reached_.clear();
    if (walk(tree_, dir, tree_.parent(node), name, true) != 0) lose();
    // A directory below it that the listing did not reach has moved out of
    // it meanwhile: it is listed where it is once the queue has been read.
    for (int each : keys) {
        if (reached_.count(each) == 0) unlisted_.push_back(each);
    }
}

void ChangeTracker::listUnlisted() {
    std::vector<int> due;
    due.swap(unlisted_);
    for (int key : due) {
        // What the reader learned from events meanwhile stays known: the
        // listing only adds to it.
        if (const NodeId node = tree_.find(key); node != kNoNode) listSubtree(node, false);
    }
}

// Walks a watched directory again after its attributes changed, for the
// sub-directories it kept us out of before.
void ChangeTracker::rewatch(NodeId dir) {
    int error = 0;
    const int fd = disk_.open(dirPath(dir), error);
    if (fd < 0) return;
    blocked_.erase(tree_.wd(dir));
    const std::string name(tree_.name(dir));
    if (walk(tree_, fd, tree_.parent(dir), name, false) != 0) lose();
}

void ChangeTracker::retryWatches() {
    // A few rounds at most: a directory that is still not there has really gone.
    constexpr int kRounds = 3;
    std::vector<Retry> due;
    due.swap(retries_);
    for (Retry& retry : due) {
        const NodeId parent = tree_.find(retry.parentKey);
        if (parent == kNoNode || tree_.findChild(parent, retry.name) != kNoNode) continue;
        const size_t before = retries_.size();
        watchNew(parent, retry.name, retry.list);
        if (retries_.size() > before) {
            if (++retry.rounds < kRounds) {
                retries_.back().rounds = retry.rounds;
            } else {
                retries_.pop_back();
            }
        }
    }
}

// The key of the directory at path, without adding it to the tree; -1 with
// the errno in error. A watch it took only for the asking is let go again.
int ChangeTracker::keyAt(const std::string& path, int& error) {
    const int dir = disk_.open(path, error);
    if (dir < 0) return -1;
    const int key = disk_.watch(dir, error);
    disk_.close(dir);
    if (key >= 0 && tree_.find(key) == kNoNode) disk_.forget(key, true);
    return key;
}

void ChangeTracker::repair() {
    lose();
    ++repairs_;
    retries_.clear();
    unlisted_.clear();
    unheard_.clear();
    returned_.clear();
    sightings_.clear();
    unverified_.clear();
    pendingMove_ = PendingMove{};
    reader_.clear();
    blocked_.clear();
    cachedDir_ = kNoNode;
    if (!options_.recursive) return;
    // Watch the tree as it is now; directories still watched keep their keys,
    // and those of directories no longer there are let go. Where the kernel
    // interface reports changes anywhere, the root is enough.
    WatchTree fresh;
    int error = 0;
    const int dir = disk_.open("", error);
    if (dir >= 0 && options_.watchEveryDirectory) {
        walk(fresh, dir, kNoNode, "", false);
    } else if (dir >= 0) {
        if (const int key = disk_.watch(dir, error); key >= 0) fresh.add(key, kNoNode, "");
        disk_.close(dir);
    }
    for (int key : tree_.allWds()) {
        if (fresh.find(key) == kNoNode) disk_.forget(key, true);
    }
    tree_ = std::move(fresh);
    if (tree_.root() == kNoNode) rootVanished();
}
