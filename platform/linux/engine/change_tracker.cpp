#include "platform/linux/engine/change_tracker.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/linux/engine/inotify_mask.h"

namespace {

bool isStale(int error) { return error == ENOENT || error == ENOTDIR; }
bool isClosed(int error) { return error == EACCES || error == EPERM; }

// How many events that might explain a misplaced directory are waited for
// before it is taken as a loss.
constexpr unsigned kRelooks = 8;

}  // namespace

ChangeTracker::ChangeTracker(Disk& disk, RecordSink& sink, Options options)
    : disk_(disk), sink_(sink), options_(options), walker_(disk, options.recursive) {}

int ChangeTracker::start() {
    int error = 0;
    const int dir = disk_.open("", error);
    if (dir < 0) return error;
    const int key = disk_.watch(dir, error);
    if (key < 0) {
        disk_.close(dir);
        return error;
    }
    const NodeId root = tree_.add(key, kNoNode, "");
    // Where the interface reports changes anywhere, the root is enough.
    if (!options_.recursive || !options_.listNewDirectories) {
        disk_.close(dir);
        return 0;
    }
    walkingWhole_ = true;
    const int walked = walker_.walk(tree_, dir, root, false, *this);
    walkingWhole_ = false;
    return walked;
}

ChangeTracker::Outcome ChangeTracker::onEvent(const ChangeEvent& event) {
    if (rootGone_) return Outcome::RootGone;
    // An event read after the look may be the move or removal that explains
    // it; an addition or a change cannot.
    if (!misplaced_.empty() && event.kind != ChangeEvent::Kind::Added && event.kind != ChangeEvent::Kind::Modified) {
        if (++relooks_ <= kRelooks) {
            movedDirectories_.insert(movedDirectories_.end(), misplaced_.begin(), misplaced_.end());
            misplaced_.clear();
        } else {
            repair();  // still elsewhere after that many: no event will explain it
        }
    }
    for (const Place& place : event.places) adopt(place);
    const NodeId dir = tree_.find(event.key);
    switch (event.kind) {
    case ChangeEvent::Kind::Overflow: repair(); break;
    case ChangeEvent::Kind::RootGone: rootGone_ = true; break;
    case ChangeEvent::Kind::Unwatched:
        if (dir == tree_.root()) {
            rootGone_ = true;
        } else if (dir != kNoNode) {
            vanished(dir);
        }
        break;
    case ChangeEvent::Kind::Moved: moved(event); break;
    case ChangeEvent::Kind::Added:
        if (dir != kNoNode) added(dir, event.name, event.isDirectory, event.entry, event.leaves);
        break;
    case ChangeEvent::Kind::Removed:
        if (dir != kNoNode) removed(dir, event.name, event.isDirectory);
        break;
    case ChangeEvent::Kind::Modified:
        if (dir != kNoNode) modified(dir, event.name, event.isDirectory, event.content);
        break;
    }
    return takeOutcome();
}

ChangeTracker::Outcome ChangeTracker::onQueueEmpty() {
    if (rootGone_) return Outcome::RootGone;
    relooks_ = 0;
    if (!misplaced_.empty()) {
        // Every event of a change made before the look has been read, and
        // the tree still has the directory where the disk has another: the
        // tree no longer matches the disk, and what changed meanwhile in the
        // one it missed cannot be known.
        misplaced_.clear();
        movedDirectories_.clear();
        repair();
        return takeOutcome();
    }
    settle();
    return takeOutcome();
}

bool ChangeTracker::lookBeforeQueueEnd() {
    if (movedDirectories_.empty()) return false;
    std::sort(movedDirectories_.begin(), movedDirectories_.end());
    movedDirectories_.erase(std::unique(movedDirectories_.begin(), movedDirectories_.end()), movedDirectories_.end());
    for (const int key : movedDirectories_) {
        const NodeId node = tree_.find(key);
        if (node == kNoNode) continue;
        // Only a path that leads elsewhere or nowhere says so; one that could
        // not be opened or watched (descriptors, watches) says nothing.
        int error = 0;
        const int found = walker_.keyAtPathOf(tree_, node, &error);
        if (found != key && (found >= 0 || isStale(error))) misplaced_.push_back(key);
    }
    movedDirectories_.clear();
    return true;
}

// A directory left bare by an unmount holds what it held before the mount,
// and the reader's view of it holds what the mount showed: it is told afresh.
ChangeTracker::Outcome ChangeTracker::onMountsChanged() {
    if (rootGone_) return Outcome::RootGone;
    for (const auto& [parentKey, name] : unwatched_.takeAll(Why::Mounted)) {
        if (const NodeId parent = tree_.find(parentKey); parent != kNoNode) retell(parent, name, Why::Mounted);
    }
    return takeOutcome();
}

bool ChangeTracker::place(int key, int& parentKey, std::string& name) const {
    const NodeId node = tree_.find(key);
    if (node == kNoNode || tree_.parent(node) == kNoNode) return false;
    parentKey = tree_.key(tree_.parent(node));
    name = tree_.name(node);
    return true;
}

bool ChangeTracker::isWithin(int key, int ancestorKey) const {
    const NodeId node = tree_.find(key);
    const NodeId ancestor = tree_.find(ancestorKey);
    return node != kNoNode && ancestor != kNoNode && tree_.isWithin(node, ancestor);
}

// A directory the interface met on its way to an event, where it was then.
void ChangeTracker::adopt(const Place& place) {
    const NodeId parent = tree_.find(place.parentKey);
    if (parent == kNoNode || tree_.find(place.key) != kNoNode || tree_.findChild(parent, place.name) != kNoNode) return;
    tree_.add(place.key, parent, place.name);
}

void ChangeTracker::added(NodeId dir, std::string_view name, bool isDirectory, int entry, bool leaves) {
    // Told already when a listing made since showed it, or when a look at
    // the disk placed it ahead of its event.
    const bool ahead = doubt_.find(tree_.key(dir)) == nullptr && held_.contains(tree_.key(dir), name);
    if (doubt_.holdsDirectory(tree_, dir) && doubt_.toldAs(tree_.key(dir), name) == Doubt::Told::No && !ahead) {
        tellAdded(dir, name, isDirectory, false);
        doubt_.told(tree_.key(dir), name, true, isDirectory);
    }
    unwatched_.forget(tree_.key(dir), name, Why::Vanished);
    if (isDirectory && options_.recursive) placeNew(dir, name, entry, true, leaves);
}

void ChangeTracker::removed(NodeId dir, std::string_view name, bool isDirectory) {
    // Not told when the reader never held it (a listing made since never saw it).
    // One a listing made since showed is another entry of the name.
    if (!doubt_.holdsDirectory(tree_, dir) || !doubt_.holds(tree_.key(dir), name, isDirectory)) return forgetChild(dir, name, isDirectory);
    tell(FILE_ACTION_REMOVED, dir, name, isDirectory);
    doubt_.told(tree_.key(dir), name, false, isDirectory);
    forgetChild(dir, name, isDirectory);
}

// A directory's watch goes before its parent hears of its removal. Where a
// move replaced it and inotify dropped that move's arrival, as like the one
// queued before it, no removal comes: then, once the queue has been read,
// the name is told afresh from the disk, if anything is there by then.
void ChangeTracker::vanished(NodeId node) {
    if (options_.listNewDirectories)
        unwatched_.note(tree_.key(tree_.parent(node)), tree_.name(node), Why::Vanished);
    forgetSubtree(node, false);
}

void ChangeTracker::retell(NodeId parent, const std::string& name, Why why) {
    int error = 0;
    const int dir = disk_.open(childPath(parent, name), error);
    if (dir >= 0) disk_.close(dir);
    const bool there = dir >= 0 || error == ENOTDIR || error == ELOOP;
    // As it was: looked at again when that may have changed. A vanished one
    // with nothing there was removed, and its removal is still to come; a
    // mounted-on one gone is told gone by its own event.
    if (why == Why::Mounted ? error == EXDEV : !there) return unwatched_.note(tree_.key(parent), name, why);
    if (!there) return;
    removed(parent, name, true);
    added(parent, name, dir >= 0, -1);
}

void ChangeTracker::forgetChild(NodeId dir, std::string_view name, bool isDirectory) {
    if (!isDirectory) return;
    unwatched_.forgetAny(tree_.key(dir), name);
    if (const NodeId child = tree_.findChild(dir, name); child != kNoNode) forgetSubtree(child, false);
}

void ChangeTracker::modified(NodeId dir, std::string_view name, bool isDirectory, bool content) {
    if (doubt_.holdsDirectory(tree_, dir) && doubt_.holds(tree_.key(dir), name, isDirectory)) tell(FILE_ACTION_MODIFIED, dir, name, isDirectory, content);
    // A directory we could not read may just have become readable, and one
    // we could list but not enter may now let us in: what it kept us out of
    // is watched, and listed, as a new directory is.
    if (!isDirectory || content || unwatched_.empty()) return;
    if (unwatched_.forget(tree_.key(dir), name, Why::Closed)) placeNew(dir, name, -1, false);
    const NodeId child = tree_.findChild(dir, name);
    if (child == kNoNode) return;
    for (const std::string& inside : unwatched_.takeIn(tree_.key(child), Why::Closed)) placeNew(child, inside, -1, false);
}

// Told as Windows tells it, as far as the reader holds the two ends: a rename
// in place as the OLD/NEW pair, a move between directories as a removal
// directly followed by an addition. An entry the move replaced is told gone
// first.
void ChangeTracker::moved(const ChangeEvent& event) {
    const NodeId from = tree_.find(event.fromKey);
    NodeId to = tree_.find(event.key);
    std::string toName(event.name);
    const bool directory = event.isDirectory && options_.recursive;
    NodeId node = kNoNode;
    if (directory) {
        node = event.entry >= 0 ? tree_.find(event.entry) : from != kNoNode ? tree_.findChild(from, event.fromName)
                                                                           : kNoNode;
    }
    // Halves of two moves, unless the disk has the directory where the
    // second says, and no event read with it takes it away from there: then
    // it moved on through a directory not watched yet.
    if (event.uncertain && (node == kNoNode || to == kNoNode || event.leaves || keyAt(to, toName) != tree_.key(node))) {
        ChangeEvent out = event;
        out.uncertain = false;
        out.key = -1;
        moved(out);
        ChangeEvent in = event;
        in.uncertain = false;
        in.fromKey = -1;
        moved(in);
        return;
    }
    // Out of the tree by its events, but a walk met it inside: it went
    // through a directory not watched yet.
    // Where it was meanwhile, and so where its own events happened, is not
    // known: it is told afresh.
    bool sighted = false;
    if (to == kNoNode && node != kNoNode) {
        if (const auto seen = sightings_.find(tree_.key(node)); seen != sightings_.end()) {
            to = tree_.find(seen->second.first);
            toName = seen->second.second;
            sighted = true;
        }
    }
    // Out and back again under its name: nothing to tell.
    if (from == kNoNode && to == kNoNode) return;
    if (node != kNoNode && from == to && event.fromName == toName) {
        // Unless the reader was never given it, a listing made while it was
        // out having missed it: then it is told come in.
        const int key = tree_.key(from);
        if (!options_.listNewDirectories ||
            (doubt_.find(key) != nullptr ? doubt_.toldAs(key, toName) != Doubt::Told::No : held_.contains(key, toName)))
            return;
        ChangeEvent in = event;
        in.uncertain = false;
        in.fromKey = -1;
        return moved(in);
    }
    // A directory placed by a look at the disk made after this move: the one
    // under the old name may be another, made there since, or this one, back
    // again by a move still queued. It stays under the old name, told afresh
    // there once the queue is read, and the one that moved is not in the tree.
    bool keepSource = false;
    if (directory && options_.listNewDirectories && node != kNoNode && to != kNoNode &&
        doubt_.find(tree_.key(node)) != nullptr && keyAt(to, toName) != tree_.key(node) &&
        keyAt(from, event.fromName) == tree_.key(node)) {
        if (doubt_.holdsDirectory(tree_, from) && doubt_.holds(tree_.key(from), event.fromName, true)) {
            tell(FILE_ACTION_REMOVED, from, event.fromName, true);
            tell(FILE_ACTION_ADDED, from, event.fromName, true);
        }
        distrust(node);
        doubt_.find(tree_.key(node))->unheard = true;
        node = kNoNode;
        keepSource = true;
    }
    const NodeId occupant = to != kNoNode ? tree_.findChild(to, toName) : kNoNode;
    // Where no event says which directory moved, one a listing made since
    // placed there may be it.
    if (directory && node == kNoNode && event.entry < 0 && occupant != kNoNode && keyAt(to, toName) == tree_.key(occupant))
        node = occupant;
    const bool sourceHeld = from != kNoNode && !keepSource && doubt_.holdsDirectory(tree_, from) &&
                            doubt_.holds(tree_.key(from), event.fromName, event.isDirectory);
    const bool heard = to != kNoNode && doubt_.holdsDirectory(tree_, to);
    const Doubt::Told there = heard ? doubt_.toldAs(tree_.key(to), toName) : Doubt::Told::No;
    const bool inDoubt = to != kNoNode && doubt_.find(tree_.key(to)) != nullptr;
    // The reader holds it where it went already: a listing made since the
    // move showed it there, or a walk met it there before its events came.
    // Where every directory is listed as it is placed, one the tree has
    // there already was told there with what it held, if the reader still
    // holds its name.
    const bool placedThere =
        node != kNoNode && occupant == node &&
        (there != Doubt::Told::No || (!inDoubt && options_.listNewDirectories && held_.contains(tree_.key(to), toName)));
    const bool shown = (there == Doubt::Told::ByListing && (occupant == kNoNode || occupant == node)) || placedThere;
    const bool other = occupant != kNoNode && occupant != node;
    // Where the reader's names are kept (inotify) they say; elsewhere one the
    // tree has there was held.
    const bool held = event.replaced || (options_.listNewDirectories
                                             ? to != kNoNode && held_.contains(tree_.key(to), toName)
                                             : other);
    // The entry replaced is told gone first, unless the moved one lies in it.
    const bool inside = other && from != kNoNode && tree_.isWithin(from, occupant);
    const bool replaced = heard && !shown && (inDoubt ? there != Doubt::Told::No : held);
    if (replaced && !inside) tell(FILE_ACTION_REMOVED, to, toName, event.isDirectory);
    bool carried = false;
    // A file shown at its new name is renamed there all the same; a directory
    // shown there holds what the listing told, which a rename would replace.
    // One a walk sighted is told afresh, not renamed: its own events may have
    // happened where it was meanwhile.
    if (sourceHeld && heard && from == to && (!shown || !event.isDirectory) && !sighted) {
        tell(FILE_ACTION_RENAMED_OLD_NAME, from, event.fromName, event.isDirectory);
        tell(FILE_ACTION_RENAMED_NEW_NAME, to, toName, event.isDirectory);
        carried = true;
    } else {
        if (sourceHeld) tell(FILE_ACTION_REMOVED, from, event.fromName, event.isDirectory);
        if (replaced && inside) tell(FILE_ACTION_REMOVED, to, toName, true);
        // A reader takes what it held along only through a move that keeps the name.
        carried = sourceHeld && event.fromName == toName && !sighted;
        if (heard && !shown) tellAdded(to, toName, event.isDirectory, carried);
    }
    if (from != kNoNode && !keepSource) doubt_.told(tree_.key(from), event.fromName, false, event.isDirectory);
    if (heard && !shown) doubt_.told(tree_.key(to), toName, true, event.isDirectory);
    // A watched directory left the name: whatever was noted to look at there
    // again is gone with it, and what comes there next has its own event.
    if (from != kNoNode) {
        if (node != kNoNode) unwatched_.forgetAny(tree_.key(from), event.fromName);
        else unwatched_.forget(tree_.key(from), event.fromName, Why::Vanished);
    }
    if (to != kNoNode) unwatched_.forget(tree_.key(to), toName, Why::Vanished);
    if (other) {
        // What it replaced may have held it, moved there by a walk's sighting.
        // A file cannot replace a directory: the one the tree has there went
        // before, by events still queued, and is placed again by them.
        // One a walk met elsewhere went there, and is told there afresh.
        const int key = node != kNoNode ? tree_.key(node) : -1;
        leaveTree(occupant);
        node = tree_.find(key);
    }
    if (!directory) return;
    if (to == kNoNode) {
        if (node != kNoNode) leaveTree(node);
        if (from != kNoNode) unwatched_.forgetAny(tree_.key(from), event.fromName);
        return;
    }
    if (node == kNoNode && carried && event.entry >= 0 && !options_.listNewDirectories) {
        // Never met, and every change in it seen: the reader holds what it holds.
        if (tree_.find(event.entry) == kNoNode && tree_.findChild(to, toName) == kNoNode)
            tree_.add(event.entry, to, toName);
        return;
    }
    if (node == kNoNode) {
        // Never watched: moved in from outside, or from where no watch was
        // yet. What the reader took along is vouched for only where nothing
        // in it was ever told.
        const bool empty = from != kNoNode && unwatched_.forget(tree_.key(from), event.fromName, Why::Stale);
        if (carried && !empty) {
            tell(FILE_ACTION_REMOVED, to, toName, true);
            tell(FILE_ACTION_ADDED, to, toName, true);
        }
        placeNew(to, toName, event.entry, false, event.leaves);
        return;
    }
    follow(node, to, toName, carried || shown, heard, sighted);
}

// The tree follows a directory that moved; what the reader cannot have
// taken along is listed.
void ChangeTracker::follow(NodeId node, NodeId to, std::string_view name, bool carried, bool heard, bool unheard) {
    if (tree_.isWithin(to, node)) {
        // Into itself: the tree no longer matches the disk, and what changed
        // meanwhile cannot be known. Said like any other loss.
        repair();
        return;
    }
    tree_.move(node, to, name);
    if (options_.listNewDirectories) movedDirectories_.push_back(tree_.key(node));
    // Where a walk met it, unless this is the move that took it there.
    if (const auto seen = sightings_.find(tree_.key(node));
        seen != sightings_.end() && seen->second.first == tree_.key(to) && seen->second.second == name)
        sightings_.erase(seen);
    if (carried || !heard) return;
    if (unheard) {
        distrust(node);
        doubt_.find(tree_.key(node))->unheard = true;
        return;
    }
    newDirectory(node, -1);
}

void ChangeTracker::tell(DWORD action, NodeId dir, std::string_view name, bool isDirectory, bool content) {
    if (!filterAccepts(options_.notifyFilter, action, isDirectory, content)) return;
    const std::string path = childPath(dir, name);
    sink_.add(action, path);
    lastRemovedDirectory_ = action == FILE_ACTION_REMOVED && isDirectory ? path : std::string();
    if (!options_.listNewDirectories) return;
    if (action == FILE_ACTION_ADDED || action == FILE_ACTION_RENAMED_NEW_NAME) held_.insert(tree_.key(dir), name);
    if (action == FILE_ACTION_REMOVED || action == FILE_ACTION_RENAMED_OLD_NAME) held_.erase(tree_.key(dir), name);
}

// A directory's removal directly followed by the addition of its name
// elsewhere is a move to the reader, which takes along what it held there.
// When it is not one, the reader is told the addition again, afresh.
void ChangeTracker::tellAdded(NodeId dir, std::string_view name, bool isDirectory, bool carried) {
    const std::string removed = std::move(lastRemovedDirectory_);
    tell(FILE_ACTION_ADDED, dir, name, isDirectory);
    const size_t slash = removed.rfind('/');
    const std::string_view removedName = slash == std::string::npos ? removed : std::string_view(removed).substr(slash + 1);
    const std::string_view removedParent = slash == std::string::npos ? std::string_view() : std::string_view(removed).substr(0, slash);
    if (carried || removed.empty() || removedName != name || removedParent == pathOf(dir)) return;
    tell(FILE_ACTION_REMOVED, dir, name, isDirectory);
    tell(FILE_ACTION_ADDED, dir, name, isDirectory);
}

// A directory made (`made`) or come in under the name, not placed in the
// tree yet. One made is empty, and where the interface reports changes
// anywhere, nothing in it can have been missed; any other is watched and
// listed, since only a listing tells what it holds.
void ChangeTracker::placeNew(NodeId parent, std::string_view name, int entry, bool made, bool leaves) {
    if (!options_.listNewDirectories && entry >= 0) {
        NodeId known = tree_.find(entry);
        const NodeId occupant = tree_.findChild(parent, name);
        if (occupant != kNoNode && (occupant == known || (known != kNoNode && tree_.isWithin(known, occupant)))) return;
        // The name was free when this one was made here, so what the tree
        // holds under it is where a listing made since met it, after moves
        // still queued: it is let go, and placed again by the next event
        // that names it.
        if (occupant != kNoNode) forgetSubtree(occupant, false);
        known = tree_.find(entry);
        if (known == kNoNode) {
            known = tree_.add(entry, parent, name);
        } else if (!tree_.isWithin(parent, known)) {
            tree_.move(known, parent, name);
        }
        if (!made) newDirectory(known, -1);
        return;
    }
    if (tree_.findChild(parent, name) != kNoNode) return;  // a listing placed it
    // What has the name now is looked for once the event that takes this one
    // away has been told.
    if (leaves) return unwatched_.note(tree_.key(parent), name, Why::Stale);
    int error = 0;
    const std::string path = childPath(parent, name);
    const int dir = disk_.open(path, error);
    // The parent's path is stale while a move above it is still queued: the
    // directory is watched once the queue has been read.
    const bool current = dir >= 0 && (parent == tree_.root() || walker_.keyAtPathOf(tree_, parent) == tree_.key(parent));
    const int key = current ? disk_.watch(dir, error) : -1;
    if (key < 0) {
        if (dir >= 0) disk_.close(dir);
        if (!current || isStale(error)) {
            unwatched_.note(tree_.key(parent), name, Why::Stale);
        } else if (isClosed(error) || error == EXDEV) {
            unwatched_.note(tree_.key(parent), name, error == EXDEV ? Why::Mounted : Why::Closed);
        } else {
            lose();  // the watch limit: part of the tree would go unheard
        }
        return;
    }
    if (tree_.find(key) != kNoNode) {
        // Watched elsewhere: moved here, and the events of that move are
        // still queued.
        disk_.close(dir);
        sightings_[key] = {tree_.key(parent), std::string(name)};
        unwatched_.note(tree_.key(parent), name, Why::Stale);
        return;
    }
    newDirectory(tree_.add(key, parent, name), dir);
}

// The reader holds a directory's name and nothing below it: it is listed,
// through dir when it is open already. Where the interface tells every change
// anywhere, the listing waits for the queue's end: older events still queued
// could otherwise find what it placed, later, in the place they tell of.
void ChangeTracker::newDirectory(NodeId node, int dir) {
    distrust(node);
    if (!doubt_.holdsDirectory(tree_, node) || !options_.listNewDirectories) {
        // Its listing comes with the listing of the directory above it.
        if (dir >= 0) disk_.close(dir);
        return;
    }
    if (dir < 0) {
        list(node);
    } else if (walker_.walk(tree_, dir, node, true, *this) != 0) {
        giveUp(node);
    }
}

// A listing stopped by a limit (watches, descriptors, memory): what it missed
// is said lost, and not tried again at every end of the queue.
void ChangeTracker::giveUp(NodeId node) {
    lose();
    std::vector<int> keys;
    tree_.subtreeKeys(node, keys);
    for (const int key : keys) {
        if (Doubt::Directory* directory = doubt_.find(key); directory != nullptr && !directory->listed) {
            directory->listed = true;
            directory->listedAt = queueEnds_;
        }
    }
}

// The reader holds nothing below it: told only once it is listed.
void ChangeTracker::distrust(NodeId node) {
    doubt_.enter(tree_.key(node));
    held_.forget(tree_.key(node));
}

// Whether its path led to it, so that it could be listed.
bool ChangeTracker::list(NodeId node) {
    int error = 0;
    const int dir = disk_.open(pathOf(node), error);
    if (dir < 0) return false;  // stale: listed once the queue has been read
    if (disk_.watch(dir, error) != tree_.key(node)) {
        disk_.close(dir);
        return false;
    }
    if (walker_.walk(tree_, dir, node, true, *this) != 0) giveUp(node);
    return true;
}

// A directory its path has not led to at two ends of the queue in a row:
// no event still queued moves it, so the one that would have was lost
// (inotify drops an event identical to the one queued before it). Where
// every directory has its own watch the tree no longer matches the disk, and
// it is said like any other loss; where events come with handles, the next
// one about it places it.
void ChangeTracker::misplaced(NodeId node) {
    if (!options_.listNewDirectories) return;
    Doubt::Directory* directory = doubt_.find(tree_.key(node));
    if (directory == nullptr || ++directory->staleEnds < 2) return;
    repair();
}

// A directory gone from where the tree has it: moved out, or replaced. It, or
// one below it, that a walk met back in the tree (it moved on through a
// directory not watched yet) stays where the walk met it, told as come in.
void ChangeTracker::leaveTree(NodeId node) {
    std::vector<NodeId> returned;
    std::vector<int> keys;
    if (!sightings_.empty()) tree_.subtreeKeys(node, keys);
    for (const int key : keys) {
        const auto seen = sightings_.find(key);
        if (seen == sightings_.end()) continue;
        const NodeId child = tree_.find(key);
        const NodeId to = tree_.find(seen->second.first);
        // Not where the reader holds another of that name already: that one's
        // events are still to come, and the name is looked at again after them.
        if (to == kNoNode || tree_.isWithin(to, node) ||
            tree_.findChild(to, seen->second.second) != kNoNode || held_.contains(seen->second.first, seen->second.second))
            continue;
        tree_.move(child, to, seen->second.second);
        returned.push_back(child);
    }
    if (std::find(returned.begin(), returned.end(), node) == returned.end()) forgetSubtree(node, true);
    for (const NodeId child : returned) {
        sightings_.erase(tree_.key(child));
        const NodeId parent = tree_.parent(child);
        const std::string name(tree_.name(child));
        if (!doubt_.holdsDirectory(tree_, parent) || doubt_.toldAs(tree_.key(parent), name) != Doubt::Told::No) continue;
        tellAdded(parent, name, true, false);
        doubt_.told(tree_.key(parent), name, true, true);
        if (!options_.listNewDirectories) {
            newDirectory(child, -1);
            continue;
        }
        // The events still queued in it happened where it was before the
        // walk met it: they are not told, and it is listed at the queue's end.
        distrust(child);
        doubt_.find(tree_.key(child))->unheard = true;
    }
}

void ChangeTracker::forgetSubtree(NodeId node, bool stillWatched) {
    std::vector<int> keys;
    tree_.removeSubtree(node, keys);
    for (const int key : keys) {
        doubt_.leave(key);
        sightings_.erase(key);
        disk_.forget(key, stillWatched);
    }
    if (unwatched_.empty()) return;
    for (const int key : keys) unwatched_.forgetIn(key);
}

// With the queue read to its end: directories listed before it are trusted,
// the others are listed now, their paths current; directories whose path was
// stale are watched.
void ChangeTracker::settle() {
    ++queueEnds_;
    sightings_.clear();
    std::vector<int> keys;
    for (const auto& [key, directory] : doubt_.all()) keys.push_back(key);
    for (const int key : keys) {
        Doubt::Directory* directory = doubt_.find(key);
        const NodeId node = tree_.find(key);
        if (directory == nullptr) continue;
        directory->unheard = false;
        if (node == kNoNode || (directory->listed && directory->listedAt < queueEnds_)) {
            doubt_.leave(key);
        } else if (!directory->listed && doubt_.holdsDirectory(tree_, node)) {
            if (!list(node)) {
                misplaced(node);
            } else if (Doubt::Directory* listed = doubt_.find(key); listed != nullptr) {
                listed->staleEnds = 0;
            }
        }
    }
    for (const auto& [place, why] : unwatched_.takeDue()) {
        const NodeId parent = tree_.find(place.parentKey);
        if (parent == kNoNode) continue;
        if (why == Why::Stale) {
            placeNew(parent, place.name, -1, false);
        } else if (tree_.findChild(parent, place.name) == kNoNode) {
            retell(parent, place.name, Why::Vanished);
        }
    }
}

void ChangeTracker::repair() {
    lose();
    doubt_.clear();
    movedDirectories_.clear();
    misplaced_.clear();
    relooks_ = 0;
    held_.clear();
    unwatched_.clear();
    sightings_.clear();
    pathNode_ = kNoNode;
    // The tree as the disk has it now; directories still watched keep their
    // keys, and those of directories no longer there are let go.
    const std::vector<int> known = tree_.allKeys();
    tree_ = WatchTree();
    if (start() != 0 && tree_.root() == kNoNode) rootGone_ = true;
    for (const int key : known) {
        if (tree_.find(key) == kNoNode) disk_.forget(key, true);
    }
}

ChangeTracker::Outcome ChangeTracker::takeOutcome() {
    const Outcome outcome = rootGone_ ? Outcome::RootGone : outcome_;
    outcome_ = Outcome::Ok;
    return outcome;
}

void ChangeTracker::lose() {
    if (outcome_ == Outcome::Ok) outcome_ = Outcome::Lost;
}

void ChangeTracker::watched(NodeId dir, const std::vector<Disk::Entry>& entries) {
    if (!options_.listNewDirectories) return;
    // One in doubt holds only what was told in it.
    if (doubt_.find(tree_.key(dir)) != nullptr) return;
    held_.insertAll(tree_.key(dir), entries);
}

// Only the walk of the whole tree at the start places what the reader holds.
void ChangeTracker::placed(NodeId dir) {
    if (!walkingWhole_) distrust(dir);
}

bool ChangeTracker::wantsListing(NodeId dir, bool) {
    const Doubt::Directory* directory = doubt_.find(tree_.key(dir));
    return directory != nullptr && !directory->listed;
}

// What a listing shows is told where the reader lacks it; a directory told so
// is listed in turn. One met where the tree does not have it is left to the
// events of its move.
void ChangeTracker::listed(NodeId dir, const std::vector<TreeWalker::Found>& entries) {
    Doubt::Directory* directory = doubt_.find(tree_.key(dir));
    if (directory == nullptr) directory = &doubt_.enter(tree_.key(dir));
    directory->listed = true;
    directory->listedAt = queueEnds_;
    for (const TreeWalker::Found& entry : entries) {
        if (entry.met == TreeWalker::Met::Elsewhere) {
            sightings_[entry.key] = {tree_.key(dir), entry.name};
            continue;
        }
        if (entry.met == TreeWalker::Met::Other) continue;
        auto [held, isNew] = directory->told.emplace(entry.name, Doubt::Held{true, entry.isDirectory});
        if (!isNew && held->second.isDirectory != entry.isDirectory) {
            // Another entry of the name than the one an event told: that one
            // went, and its removal is still queued.
            const bool wasDirectory = held->second.isDirectory;
            held->second = Doubt::Held{true, entry.isDirectory};
            tell(FILE_ACTION_REMOVED, dir, entry.name, wasDirectory);
            if (wasDirectory && entry.node == kNoNode) forgetChild(dir, entry.name, true);
            isNew = true;
        }
        if (isNew) tellAdded(dir, entry.name, entry.isDirectory, false);
        if (entry.node == kNoNode) continue;
        unwatched_.forgetAny(tree_.key(dir), entry.name);
        // Placed by this walk, or new to the reader: nothing below it is known.
        if (isNew || entry.met == TreeWalker::Met::New) distrust(entry.node);
        directory = doubt_.find(tree_.key(dir));
    }
}

void ChangeTracker::stale(NodeId dir) {
    if (Doubt::Directory* directory = doubt_.find(tree_.key(dir)); directory != nullptr) directory->listed = false;
}

void ChangeTracker::blocked(NodeId dir, std::string_view name, bool mounted) {
    unwatched_.note(tree_.key(dir), name, mounted ? Why::Mounted : Why::Closed);
}

bool ChangeTracker::goesBelow(NodeId) { return false; }

std::string ChangeTracker::childPath(NodeId dir, std::string_view name) {
    std::string path = pathOf(dir);
    if (!path.empty()) path += '/';
    path.append(name);
    return path;
}

const std::string& ChangeTracker::pathOf(NodeId dir) {
    if (pathNode_ != dir || pathGeneration_ != tree_.generation()) {
        path_.clear();
        tree_.appendPath(dir, path_);
        pathNode_ = dir;
        pathGeneration_ = tree_.generation();
    }
    return path_;
}
