// The event side of ChangeTracker: what each kernel event becomes, and what
// the reader has been told while a listing's window is open. Moves are in
// tracker_moves.cpp, the walks over the disk in tracker_walks.cpp.
#include "platform/linux/engine/change_tracker.h"

#include <cerrno>
#include <sys/inotify.h>

#include "platform/linux/engine/inotify_mask.h"
#include "platform/linux/utf16.h"

namespace {

// How long the first half of a rename waits for its partner. Both halves come
// from one system call, so the partner is normally already queued; a move out
// of the tree has none, and is reported after this wait.
constexpr long long kRenameWaitMs = 5;
// Records are handed over at least this often during a long run of events,
// so that the reader sees the first lines early.
constexpr size_t kPublishBytes = 64 * 1024;

}  // namespace

ChangeTracker::ChangeTracker(Disk& disk, RecordSink& sink, Options options)
    : disk_(disk), sink_(sink), options_(options) {}

int ChangeTracker::start() {
    int error = 0;
    const int fd = disk_.open("", error);
    if (fd < 0) return error;
    if (!options_.watchEveryDirectory) {
        // Only the root: the others are found as their changes come.
        const int key = disk_.watch(fd, error);
        disk_.close(fd);
        if (key < 0) return error;
        tree_.add(key, kNoNode, "");
        return 0;
    }
    error = walk(tree_, fd, kNoNode, "", false);
    // The root itself could not be watched: nothing would ever be reported.
    if (error == 0 && tree_.root() == kNoNode) error = EACCES;
    return error;
}

ChangeTracker::Outcome ChangeTracker::onEvent(const KernelEvent& event, long long nowMs) {
    nowMs_ = nowMs;
    if (!rootGone_) handle(event);
    return takeOutcome();
}

ChangeTracker::Outcome ChangeTracker::onQueueEmpty(long long nowMs) {
    nowMs_ = nowMs;
    if (rootGone_) return Outcome::RootGone;
    ++emptyQueues_;
    // Every event older than the listings made so far has been seen: their
    // windows close, and paths that were stale when a directory could not be
    // opened are current again. A directory still to be listed keeps what
    // the reader has learned of it meanwhile, as does the source of a move
    // whose second half is still to come.
    std::vector<std::string> waiting;
    for (const int key : unlisted_) {
        if (const NodeId node = tree_.find(key); node != kNoNode) waiting.push_back(dirPath(node));
    }
    if (pendingMove_.waiting) waiting.push_back(childPath(pendingMove_.dir, pendingMove_.name));
    reader_.keepOnly([&](const std::string& root) {
        for (const std::string& path : waiting) {
            if (root == path || root.rfind(path + '/', 0) == 0 || path.rfind(root + '/', 0) == 0) return true;
        }
        return false;
    });
    // Sightings first: those the walks below make are of moves whose events
    // may only now be queued.
    settleSightings();
    settleReturned();
    hearAgain();
    listUnlisted();
    retryWatches();
    verifyMoves();
    return takeOutcome();
}

ChangeTracker::Outcome ChangeTracker::onTime(long long nowMs) {
    nowMs_ = nowMs;
    if (!rootGone_ && pendingMove_.waiting && nowMs >= pendingMove_.deadlineMs) flushPendingMove();
    return takeOutcome();
}

long long ChangeTracker::dueMs() const { return pendingMove_.waiting ? pendingMove_.deadlineMs : LLONG_MAX; }

void ChangeTracker::finish() {
    if (pendingMove_.waiting) flushPendingMove();
    publish();
}

void ChangeTracker::publish() {
    if (!batch_.empty()) sink_.publish(batch_.packed());
}

// Never between the halves of a rename: the reader may take the first before
// the second is published.
bool ChangeTracker::publishDue() const {
    return batch_.size() >= kPublishBytes && lastAction_ != FILE_ACTION_RENAMED_OLD_NAME;
}

void ChangeTracker::adopt(int key, int parentKey, std::string_view name) {
    const NodeId parent = tree_.find(parentKey);
    if (parent == kNoNode || tree_.find(key) != kNoNode || tree_.findChild(parent, name) != kNoNode) return;
    tree_.add(key, parent, name);
}

bool ChangeTracker::locate(int key, int& parentKey, std::string& name) const {
    const NodeId node = tree_.find(key);
    if (node == kNoNode || tree_.parent(node) == kNoNode) return false;
    parentKey = tree_.wd(tree_.parent(node));
    name = tree_.name(node);
    return true;
}

bool ChangeTracker::isWithin(int key, int ancestorKey) const {
    const NodeId node = tree_.find(key);
    const NodeId ancestor = tree_.find(ancestorKey);
    return node != kNoNode && ancestor != kNoNode && tree_.isWithin(node, ancestor);
}

ChangeTracker::Outcome ChangeTracker::takeOutcome() {
    const Outcome outcome = rootGone_ ? Outcome::RootGone : outcome_;
    outcome_ = Outcome::Ok;
    return outcome;
}

void ChangeTracker::handle(const KernelEvent& event) {
    if (event.mask & IN_Q_OVERFLOW) {
        repair();
        return;
    }
    NodeId dir = tree_.find(event.watch);
    if (dir == kNoNode) return;  // a watch we have already let go of
    const bool isDirectory = (event.mask & IN_ISDIR) != 0;
    if (pendingMove_.waiting && !((event.mask & IN_MOVED_TO) && event.cookie == pendingMove_.cookie)) {
        const Sameness same = (event.mask & IN_MOVED_TO) && isDirectory ? isPendingDirectory(dir, event.name) : kOther;
        if (same != kOther) {
            // The same directory, moved on through a directory not watched
            // yet: one move, and its watches are kept.
            const PendingMove from = std::move(pendingMove_);
            pendingMove_ = PendingMove{};
            if (same == kLikely) unverified_.push_back(tree_.wd(tree_.findChild(from.dir, from.name)));
            reportMove(from, dir, event.name, true);
            return;
        }
        flushPendingMove();
        // The flush may have let go of the watch this event came from.
        dir = tree_.find(event.watch);
        if (dir == kNoNode) return;
    }
    if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT)) {
        if (dir == tree_.root()) {
            rootVanished();
        } else if (event.mask & IN_IGNORED) {
            forgetSubtree(dir, false);
        }
        return;
    }
    if (event.name.empty()) {
        // A directory's own watch reports its attribute changes too; its
        // parent reports them already, under the directory's name.
        if ((event.mask & IN_ATTRIB) && blocked_.count(event.watch) != 0) rewatch(dir);
        return;
    }
    handleEntry(dir, event.name, isDirectory, event);
}

void ChangeTracker::handleEntry(NodeId dir, std::string_view name, bool isDirectory, const KernelEvent& event) {
    if (event.mask & IN_MOVED_FROM) {
        pendingMove_ = PendingMove{true, event.cookie, dir, std::string(name), isDirectory,
                                   nowMs_ + kRenameWaitMs, event.child, emptyQueues_};
        if (event.alone) flushPendingMove();
        return;
    }
    if (event.mask & IN_MOVED_TO) {
        handleMovedTo(dir, name, isDirectory, event);
        return;
    }
    const DWORD action = actionFor(event.mask);
    if (action == FILE_ACTION_ADDED) {
        // Reported already by a listing made since. A directory the event
        // names is still put where the event says it was made: the listing
        // may have met it, or another under this name, where later moves took it.
        const bool told = inWindow(dir, name) && readerKnows(dir, name);
        if (!told) emit(action, dir, name, isDirectory);
        if (isDirectory && options_.recursive && (!told || event.child >= 0)) addDirectory(dir, name, event.child);
    } else if (action == FILE_ACTION_REMOVED) {
        // Not reported when a listing made since never saw it: the reader
        // never heard of it.
        if (readerKnows(dir, name)) emit(action, dir, name, isDirectory);
        if (!reader_.empty()) reader_.forget(childPath(dir, name));
        const NodeId child = isDirectory ? tree_.findChild(dir, name) : kNoNode;
        if (child != kNoNode) forgetSubtree(child, false);
    } else if (action == FILE_ACTION_MODIFIED) {
        if (readerKnows(dir, name)) emit(action, dir, name, isDirectory, event.mask);
        // A directory we could not read may just have become readable: what
        // it holds is as new to the reader as a new directory's contents.
        if (isDirectory && options_.recursive && options_.watchEveryDirectory && (event.mask & IN_ATTRIB) &&
            tree_.findChild(dir, name) == kNoNode)
            watchNew(dir, name, true);
    }
}

void ChangeTracker::addDirectory(NodeId parent, std::string_view name, int child) {
    if (options_.listNewDirectories || child < 0) {
        watchNew(parent, name, options_.listNewDirectories);
        return;
    }
    // The interface reports every change below the root whether or not a
    // directory is known to us, so nothing made in this one can have been
    // missed: it needs neither a walk nor a listing.
    NodeId known = tree_.find(child);
    const NodeId occupant = tree_.findChild(parent, name);
    if (occupant != kNoNode) {
        if (occupant == known || (known != kNoNode && tree_.isWithin(known, occupant))) return;
        // The name was free when this directory was made here, so whatever
        // the tree holds under it is where a listing made since met it, after
        // moves still queued. Until those come its place is unknown: it is let
        // go, and placed again by the first event that names it.
        forgetSubtree(occupant, false);
        known = tree_.find(child);
    }
    if (known == kNoNode) {
        tree_.add(child, parent, name);
    } else if (!tree_.isWithin(parent, known)) {
        // A listing made since met it where later moves have taken it: its
        // changes until then happened here, and those moves will follow.
        tree_.move(known, parent, name);
    }
}

bool ChangeTracker::emit(DWORD action, NodeId dir, std::string_view name, bool isDirectory, uint32_t mask) {
    if (!unheard_.empty() && unheardAt(dir)) return false;
    if (!filterAccepts(options_.notifyFilter, action, isDirectory, mask)) return false;
    pathScratch_ = dirPath(dir);
    if (!pathScratch_.empty()) pathScratch_ += '/';
    pathScratch_.append(name);
    nameScratch_.clear();
    appendUtf16(nameScratch_, pathScratch_.data(), pathScratch_.size());
    batch_.append(action, nameScratch_.data(), nameScratch_.size());
    lastAction_ = action;
    if (!reader_.empty() && (action == FILE_ACTION_ADDED || action == FILE_ACTION_RENAMED_NEW_NAME))
        reader_.learn(pathScratch_);
    return true;
}

bool ChangeTracker::readerKnows(NodeId dir, std::string_view name) {
    if (!unheard_.empty() && unheardAt(dir)) return false;
    return reader_.empty() || reader_.knows(childPath(dir, name));
}

// Whether dir lies in a directory out of hearing (see unheard_), which then
// has to be told afresh.
bool ChangeTracker::unheardAt(NodeId dir) {
    for (Unheard& each : unheard_) {
        if (const NodeId node = tree_.find(each.key); node != kNoNode && tree_.isWithin(dir, node)) {
            each.missed = true;
            return true;
        }
    }
    return false;
}

bool ChangeTracker::inWindow(NodeId dir, std::string_view name) {
    return !reader_.empty() && reader_.inWindow(childPath(dir, name));
}

void ChangeTracker::lose() {
    batch_.packed().clear();
    if (outcome_ == Outcome::Ok) outcome_ = Outcome::Lost;
}

void ChangeTracker::rootVanished() {
    if (pendingMove_.waiting) flushPendingMove();
    rootGone_ = true;
}

std::string ChangeTracker::childPath(NodeId dir, std::string_view name) {
    std::string path = dirPath(dir);
    if (!path.empty()) path += '/';
    path.append(name);
    return path;
}

const std::string& ChangeTracker::dirPath(NodeId dir) {
    if (cachedDir_ != dir || cachedGeneration_ != tree_.generation()) {
        cachedDirPath_.clear();
        tree_.appendPath(dir, cachedDirPath_);
        cachedDir_ = dir;
        cachedGeneration_ = tree_.generation();
    }
    return cachedDirPath_;
}
