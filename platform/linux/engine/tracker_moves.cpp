// Moves, as ChangeTracker tells them: both halves of a rename, a first half
// alone (moved out of the tree), a second half alone (moved in), and moves no
// event could tell of, which walks found.
#include <algorithm>
#include <cerrno>

#include "platform/linux/engine/change_tracker.h"

void ChangeTracker::handleMovedTo(NodeId dir, std::string_view name, bool isDirectory, const KernelEvent& event) {
    if (!pendingMove_.waiting || pendingMove_.cookie != event.cookie) {
        // Moved in from outside.
        reportMove(PendingMove{}, dir, name, isDirectory, event.child);
        return;
    }
    const PendingMove from = std::move(pendingMove_);
    pendingMove_ = PendingMove{};
    reportMove(from, dir, name, isDirectory, event.child >= 0 ? event.child : from.child);
}

// Whether what a listing showed under the new name can be the directory that
// moves there: not when the tree has another directory there that the disk
// no longer has there, the one this move replaces.
bool ChangeTracker::listedAsItself(NodeId dir, std::string_view name) {
    const NodeId present = tree_.findChild(dir, name);
    if (present == kNoNode) return true;
    int error = 0;
    const int key = keyAt(childPath(dir, name), error);
    return key < 0 || key == tree_.wd(present);
}

// Reported as Windows reports it, as far as the reader knows the two ends:
// a rename in place as the OLD/NEW pair, a move between directories as a
// removal directly followed by an addition. While a listing's window is open
// the reader may know neither end, or know the new one from the listing.
void ChangeTracker::reportMove(const PendingMove& from, NodeId dir, std::string_view name, bool isDirectory,
                               int child) {
    const bool fromTree = from.dir != kNoNode;
    // The paths matter only to a reader inside a listing's window.
    const bool windows = !reader_.empty();
    const std::string fromPath = windows && fromTree ? childPath(from.dir, from.name) : std::string();
    const std::string toPath = windows ? childPath(dir, name) : std::string();
    const bool sourceKnown = fromTree && readerKnows(from.dir, from.name);
    const bool targetKnown = windows && reader_.inWindow(toPath) && reader_.knows(toPath);
    const bool sameDir = fromTree && from.dir == dir;
    // Both names known: the listing showed what this rename made when it
    // showed the new name and not the old one, which the reader knows from an
    // event and is only gone; else a rename over an entry the reader knew.
    const bool alreadyListed = sourceKnown && targetKnown && reader_.listed(toPath) && !reader_.listed(fromPath) &&
                               (!isDirectory || !fromTree || listedAsItself(dir, name));
    const bool pair = sameDir && sourceKnown && !alreadyListed;
    // A reader takes what it knew along only through a rename in place or a
    // move that keeps the name; after any other form the directory is new to
    // it, and what it holds is listed.
    const bool carried = sourceKnown && !targetKnown && (sameDir || from.name == name);
    // Told into a directory out of hearing, the reader learns nothing there.
    bool told = true;
    if (pair) {
        emit(FILE_ACTION_RENAMED_OLD_NAME, from.dir, from.name, isDirectory);
        told = emit(FILE_ACTION_RENAMED_NEW_NAME, dir, name, isDirectory);
    } else {
        if (sourceKnown) emit(FILE_ACTION_REMOVED, from.dir, from.name, isDirectory);
        if (!targetKnown) told = emit(FILE_ACTION_ADDED, dir, name, isDirectory);
    }
    if (windows) {
        if ((carried || pair) && told) {
            reader_.move(fromPath, toPath);
        } else if (fromTree) {
            reader_.forget(fromPath);
        }
    }
    if (!isDirectory || !options_.recursive) return;
    followDirectory(from, dir, name, child, targetKnown, !targetKnown && !carried && !pair);
}

void ChangeTracker::followDirectory(const PendingMove& from, NodeId dir, std::string_view name, int child,
                                    bool targetKnown, bool list) {
    NodeId node = child >= 0 ? tree_.find(child) : from.dir != kNoNode ? tree_.findChild(from.dir, from.name) : kNoNode;
    const NodeId present = tree_.findChild(dir, name);
    if (present != kNoNode && present != node && takeReturned(tree_.wd(present))) node = present;
    if (present != kNoNode && present != node) {
        // A listing that came first may have watched this very directory at
        // its new place; otherwise the tree has the one the move replaced.
        bool placedByListing = child >= 0 && tree_.wd(present) == child;
        if (child < 0 && node == kNoNode && targetKnown) {
            int error = 0;
            const int key = keyAt(childPath(dir, name), error);
            placedByListing = key >= 0 ? key == tree_.wd(present) : reader_.listed(childPath(dir, name));
        }
        if (placedByListing) return;
        forgetSubtree(present, true);
    }
    if (node == kNoNode) {
        if (child >= 0 && !options_.listNewDirectories) {
            const NodeId added = tree_.add(child, dir, name);
            if (list) listSubtree(added);
            return;
        }
        // Never watched: moved in from outside, or renamed before its creation
        // was handled. What was made in it so far is only known by listing it.
        watchNew(dir, name, true);
        return;
    }
    if (tree_.isWithin(dir, node)) {
        // Into itself: the tree no longer matches the disk, and what changed
        // meanwhile cannot be known. Said like any other loss.
        repair();
        return;
    }
    tree_.move(node, dir, name);
    const auto seen = sightings_.find(tree_.wd(node));
    if (seen != sightings_.end() && seen->second.front().parentKey == tree_.wd(dir) &&
        seen->second.front().name == name)
        dropSighting(seen->first);
    if (list) listSubtree(node);
}

// Whether dir/name is the directory whose first half of a move is pending:
// inotify gives a directory the watch it already has. When the path is
// stale (the queue holds later moves above it), a directory of the same name
// is taken to be the same, and that is checked once the queue is read.
ChangeTracker::Sameness ChangeTracker::isPendingDirectory(NodeId dir, std::string_view name) {
    if (!pendingMove_.isDirectory || !options_.recursive) return kOther;
    const NodeId node = tree_.findChild(pendingMove_.dir, pendingMove_.name);
    if (node == kNoNode) return kOther;
    // A walk has seen where it went since, and that is elsewhere.
    const auto seen = sightings_.find(tree_.wd(node));
    if (seen != sightings_.end() &&
        (seen->second.front().parentKey != tree_.wd(dir) || seen->second.front().name != name)) {
        return kOther;
    }
    int error = 0;
    const int key = keyAt(childPath(dir, name), error);
    if (key < 0) return (error == ENOENT || error == ENOTDIR) && name == pendingMove_.name ? kLikely : kOther;
    return key == tree_.wd(node) ? kSame : kOther;
}

void ChangeTracker::flushPendingMove() {
    const PendingMove from = std::move(pendingMove_);
    pendingMove_ = PendingMove{};
    const NodeId node = !from.isDirectory ? kNoNode
                        : from.child >= 0 ? tree_.find(from.child)
                                          : tree_.findChild(from.dir, from.name);
    if (node != kNoNode && !sightings_.empty()) {
        // Moved into a directory that was not watched yet, which a walk has
        // found since: the directory is still watched, only elsewhere.
        const auto seen = sightings_.find(tree_.wd(node));
        const NodeId to = seen != sightings_.end() ? tree_.find(seen->second.front().parentKey) : kNoNode;
        if (to != kNoNode) {
            const std::string name = std::move(seen->second.front().name);
            const int key = seen->first;
            // The queue ran empty after both the walk and the first half:
            // every change made in it before the walk has been read already.
            const bool heard = seen->second.front().seenAt < emptyQueues_ && from.readAt < emptyQueues_;
            dropSighting(key);
            const unsigned repairs = repairs_;
            reportMove(from, to, name, true);
            if (!heard && repairs_ == repairs && options_.watchEveryDirectory && tree_.find(key) != kNoNode)
                unheard_.push_back(Unheard{key, false});
            return;
        }
    }
    if (readerKnows(from.dir, from.name)) emit(FILE_ACTION_REMOVED, from.dir, from.name, from.isDirectory);
    if (!reader_.empty()) reader_.forget(childPath(from.dir, from.name));
    if (node == kNoNode) return;
    keepReturned(node);
    forgetSubtree(node, true);
}

// A directory that left the tree inside another, then came back to a place
// a walk has seen, before the events of its return were read: those events
// came through watches now let go, so it is kept, placed where it was seen,
// and told as moved in unless its return is read after all.
void ChangeTracker::keepReturned(NodeId leaving) {
    if (sightings_.empty()) return;
    std::vector<int> keys;
    tree_.subtreeWds(leaving, keys);
    for (const int key : keys) {
        const auto seen = sightings_.find(key);
        const NodeId node = tree_.find(key);
        if (seen == sightings_.end() || node == kNoNode || node == leaving) continue;
        const Sighting last = seen->second.back();
        const NodeId to = tree_.find(last.parentKey);
        if (to == kNoNode || tree_.isWithin(to, leaving) || tree_.findChild(to, last.name) != kNoNode) continue;
        tree_.move(node, to, last.name);
        sightings_.erase(seen);
        returned_.push_back(key);
    }
}

bool ChangeTracker::takeReturned(int key) {
    const auto found = std::find(returned_.begin(), returned_.end(), key);
    if (found == returned_.end()) return false;
    returned_.erase(found);
    return true;
}

// With the queue read, no event will tell of their return any more.
void ChangeTracker::settleReturned() {
    std::vector<int> due;
    due.swap(returned_);
    for (const int key : due) {
        const NodeId node = tree_.find(key);
        if (node == kNoNode || tree_.parent(node) == kNoNode) continue;
        reportMove(PendingMove{}, tree_.parent(node), std::string(tree_.name(node)), true, key);
    }
}

// Called with the kernel's queue read to the end: the events of every move a
// walk has seen have been read by now. A sighting left over is a directory
// whose move was never announced; it is reported as a move from where the
// tree had it, so the paths of its later changes are right.
void ChangeTracker::settleSightings() {
    if (sightings_.empty()) return;
    std::unordered_map<int, std::vector<Sighting>> left;
    left.swap(sightings_);
    const unsigned repairs = repairs_;
    for (auto& [key, places] : left) {
        for (Sighting& seen : places) {
            const NodeId node = tree_.find(key);
            if (node == kNoNode || tree_.parent(node) == kNoNode) break;
            if (pendingMove_.waiting && tree_.findChild(pendingMove_.dir, pendingMove_.name) == node) {
                sightings_[key].push_back(std::move(seen));  // its first half is being read
                continue;
            }
            const NodeId to = tree_.find(seen.parentKey);
            if (to == kNoNode || (tree_.parent(node) == to && tree_.name(node) == seen.name)) continue;
            const PendingMove from{true, 0, tree_.parent(node), std::string(tree_.name(node)), true, 0, key};
            reportMove(from, to, seen.name, true, key);
            if (repairs_ != repairs) return;
        }
    }
}

void ChangeTracker::dropSighting(int key) {
    const auto seen = sightings_.find(key);
    if (seen == sightings_.end()) return;
    seen->second.erase(seen->second.begin());
    if (seen->second.empty()) sightings_.erase(seen);
}

// Directories taken for the one whose move was pending, on their name alone:
// with the queue read, their paths are current and can be checked. Were one
// another directory after all, its changes went under a wrong name and the
// other's were missed: said as a loss, and the tree is made afresh.
void ChangeTracker::verifyMoves() {
    std::vector<int> due;
    due.swap(unverified_);
    for (int key : due) {
        const NodeId node = tree_.find(key);
        if (node == kNoNode) continue;
        int error = 0;
        if (keyAt(dirPath(node), error) != key) {
            repair();
            return;
        }
    }
}

// With the queue read, the changes of directories that were out of hearing
// are known to be over: one whose events were passed over is told as
// replaced, and listed.
void ChangeTracker::hearAgain() {
    std::vector<Unheard> due;
    due.swap(unheard_);
    std::vector<NodeId> told;
    for (const Unheard& each : due) {
        const NodeId node = tree_.find(each.key);
        if (each.missed && node != kNoNode && tree_.parent(node) != kNoNode) told.push_back(node);
    }
    for (const NodeId node : told) {
        // One inside another that is told afresh is listed with it.
        if (std::any_of(told.begin(), told.end(),
                        [&](NodeId other) { return other != node && tree_.isWithin(node, other); }))
            continue;
        const NodeId parent = tree_.parent(node);
        const std::string name(tree_.name(node));
        if (readerKnows(parent, name)) emit(FILE_ACTION_REMOVED, parent, name, true);
        if (!reader_.empty()) reader_.forget(childPath(parent, name));
        emit(FILE_ACTION_ADDED, parent, name, true);
        listSubtree(node);
    }
}

void ChangeTracker::forgetSubtree(NodeId node, bool stillWatched) {
    std::vector<int> keys;
    tree_.removeSubtree(node, keys);
    for (int key : keys) {
        blocked_.erase(key);
        sightings_.erase(key);
        disk_.forget(key, stillWatched);
    }
}
