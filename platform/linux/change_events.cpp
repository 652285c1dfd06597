// How inotify events become records, and how the tree of watched directories
// follows them: the event side of ChangeMonitor (its thread, lifecycle and
// delivery are in change_monitor.cpp, its walks in change_walks.cpp).
#include "platform/linux/change_monitor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform/linux/inotify_mask.h"
#include "platform/linux/utf16.h"

namespace {

// How long the first half of a rename waits for its partner. Both halves come
// from one system call, so the partner is normally already queued; a move out
// of the tree has none, and is reported after this wait.
constexpr long long kRenameWaitMs = 5;
// Records are handed to the reader at least this often during a long drain.
constexpr size_t kPublishBytes = 64 * 1024;

}  // namespace

void ChangeMonitor::handle(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
        repair();
        return;
    }
    NodeId dir = tree_.find(event.wd);
    if (dir == kNoNode) return;  // a watch we have already let go of
    const std::string_view name = event.len != 0 ? std::string_view(event.name) : std::string_view();
    const bool isDirectory = (event.mask & IN_ISDIR) != 0;
    if (pendingMove_.waiting && !((event.mask & IN_MOVED_TO) && event.cookie == pendingMove_.cookie)) {
        const Sameness same = (event.mask & IN_MOVED_TO) && isDirectory ? isPendingDirectory(dir, name) : kOther;
        if (same != kOther) {
            // The same directory, moved on through a directory not watched
            // yet: one move, and its watches are kept.
            const PendingMove from = std::move(pendingMove_);
            pendingMove_ = PendingMove{};
            if (same == kLikely) unverified_.push_back(tree_.wd(tree_.findChild(from.dir, from.name)));
            (void)relocate(from, dir, std::string(name));
            return;
        }
        flushPendingMove();
        // The flush may have let go of the watch this event came from.
        dir = tree_.find(event.wd);
        if (dir == kNoNode) return;
    }
    if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT)) {
        if (dir == tree_.root()) {
            rootVanished();
        } else if (event.mask & IN_IGNORED) {
            forgetSubtree(dir, true);
        }
        return;
    }
    if (name.empty()) {
        // A directory's own watch reports its attribute changes too; its
        // parent reports them already, under the directory's name.
        if ((event.mask & IN_ATTRIB) && blocked_.count(event.wd) != 0) rewatch(dir);
        return;
    }
    if (event.mask & IN_MOVED_FROM) {
        suppressListed(dir, name);
        pendingMove_ = PendingMove{true, event.cookie, dir, std::string(name), isDirectory, nowMs() + kRenameWaitMs};
        return;
    }
    if (event.mask & IN_MOVED_TO) {
        handleMovedTo(dir, name, isDirectory, event.cookie);
        return;
    }
    const DWORD action = actionFor(event.mask);
    if (action == FILE_ACTION_ADDED) {
        if (suppressListed(dir, name)) return;
        emit(action, dir, name, isDirectory);
        if (isDirectory && recursive_) watchNew(dir, name, true);
    } else if (action == FILE_ACTION_REMOVED) {
        suppressListed(dir, name);
        emit(action, dir, name, isDirectory);
        const NodeId child = isDirectory ? tree_.findChild(dir, name) : kNoNode;
        if (child != kNoNode) forgetSubtree(child, false);
    } else if (action == FILE_ACTION_MODIFIED) {
        emit(action, dir, name, isDirectory, event.mask);
        // A directory we could not read may just have become readable.
        if (isDirectory && recursive_ && (event.mask & IN_ATTRIB) && tree_.findChild(dir, name) == kNoNode)
            watchNew(dir, name, false);
    }
}

void ChangeMonitor::handleMovedTo(NodeId dir, std::string_view name, bool isDirectory, uint32_t cookie) {
    if (!pendingMove_.waiting || pendingMove_.cookie != cookie) {
        // Moved in from outside. Windows would not list what it holds, but
        // here its watch only starts now: whatever is made in it before that
        // would be lost without a word, so it is listed like a new directory.
        emit(FILE_ACTION_ADDED, dir, name, isDirectory);
        if (isDirectory && recursive_) watchNew(dir, name, true);
        return;
    }
    const PendingMove from = std::move(pendingMove_);
    pendingMove_ = PendingMove{};
    (void)reportMove(from, dir, name, isDirectory);
}

// Both halves of a move, or the first half and where a walk found the
// directory since: reported as Windows reports a move, and followed by the tree.
// Returns false when the tree had to be rebuilt, which leaves every NodeId
// the caller holds meaningless.
bool ChangeMonitor::reportMove(const PendingMove& from, NodeId dir, std::string_view name, bool isDirectory) {
    const bool sameDir = from.dir == dir;
    emit(sameDir ? FILE_ACTION_RENAMED_OLD_NAME : FILE_ACTION_REMOVED, from.dir, from.name, isDirectory);
    emit(sameDir ? FILE_ACTION_RENAMED_NEW_NAME : FILE_ACTION_ADDED, dir, name, isDirectory);
    if (!isDirectory || !recursive_) return true;
    const NodeId replaced = tree_.findChild(dir, name);
    const NodeId node = tree_.findChild(from.dir, from.name);
    if (replaced != kNoNode && replaced != node) forgetSubtree(replaced, true);
    if (node == kNoNode) {
        // Renamed before its creation was handled: it was never watched, and
        // whatever was made in it so far is only known by listing it.
        watchNew(dir, name, true);
        return true;
    }
    if (tree_.isWithin(dir, node)) {
        // Into itself: the tree no longer matches the disk, and what changed
        // meanwhile cannot be known. Said like any other loss.
        repair();
        return false;
    }
    tree_.move(node, dir, name);
    cachedDir_ = kNoNode;
    auto seen = sightings_.find(tree_.wd(node));
    if (seen != sightings_.end() && seen->second.parentWd == tree_.wd(dir) && seen->second.name == name) {
        sightings_.erase(seen);
    }
    return true;
}

// Whether dir/name is the directory whose first half of a move is pending:
// inotify gives a directory the watch it already has. When the path is
// stale (the queue holds later moves above it), a directory of the same name
// is taken to be the same, and that is checked once the queue is read.
ChangeMonitor::Sameness ChangeMonitor::isPendingDirectory(NodeId dir, std::string_view name) {
    if (!pendingMove_.isDirectory || !recursive_) return kOther;
    const NodeId node = tree_.findChild(pendingMove_.dir, pendingMove_.name);
    if (node == kNoNode) return kOther;
    // A walk has seen where it went since, and that is elsewhere.
    auto seen = sightings_.find(tree_.wd(node));
    if (seen != sightings_.end() && (seen->second.parentWd != tree_.wd(dir) || seen->second.name != name)) {
        return kOther;
    }
    const std::string path = childPath(dir, name);
    const int fd = openBeneath(rootFd_, path);
    if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) && name == pendingMove_.name ? kLikely : kOther;
    const int wd = walker_.watchOnly(fd);
    close(fd);
    return wd == tree_.wd(node) ? kSame : kOther;
}

void ChangeMonitor::flushPendingMove() {
    const PendingMove from = std::move(pendingMove_);
    pendingMove_ = PendingMove{};
    const NodeId node = from.isDirectory ? tree_.findChild(from.dir, from.name) : kNoNode;
    if (node != kNoNode && !sightings_.empty()) {
        // Moved into a directory that was not watched yet, which a walk has
        // found since: the directory is still watched, only elsewhere.
        auto seen = sightings_.find(tree_.wd(node));
        const NodeId to = seen != sightings_.end() ? tree_.find(seen->second.parentWd) : kNoNode;
        if (to != kNoNode) {
            const std::string name = std::move(seen->second.name);
            sightings_.erase(seen);
            (void)relocate(from, to, name);
            return;
        }
    }
    emit(FILE_ACTION_REMOVED, from.dir, from.name, from.isDirectory);
    if (node != kNoNode) forgetSubtree(node, true);
}

void ChangeMonitor::forgetSubtree(NodeId node, bool removeWatches) {
    std::vector<int> wds;
    tree_.removeSubtree(node, wds);
    cachedDir_ = kNoNode;
    if (!blocked_.empty()) {
        for (int wd : wds) blocked_.erase(wd);
    }
    if (!sightings_.empty()) {
        for (int wd : wds) sightings_.erase(wd);
    }
    if (!removeWatches) return;
    for (int wd : wds) inotify_rm_watch(inotifyFd_, wd);
}

// Records made so far go first, then the overflow that says more were lost.
void ChangeMonitor::announceLoss() {
    publish();
    queue_.markOverflow();
    signalReady();
}

void ChangeMonitor::emit(DWORD action, NodeId dir, std::string_view name, bool isDirectory, uint32_t mask) {
    if (!filterAccepts(notifyFilter_, action, isDirectory, mask)) return;
    pathScratch_ = dirPath(dir);
    if (!pathScratch_.empty()) pathScratch_ += '/';
    pathScratch_.append(name);
    nameScratch_.clear();
    appendUtf16(nameScratch_, pathScratch_.data(), pathScratch_.size());
    batch_.append(action, nameScratch_.data(), nameScratch_.size());
    // Never between the halves of a rename: the reader may take the first
    // before the second is published.
    if (batch_.packed().size() >= kPublishBytes && action != FILE_ACTION_RENAMED_OLD_NAME) publish();
}

void ChangeMonitor::onEntry(NodeId dir, std::string_view name, bool isDirectory) {
    listed_[dir].emplace(name);
    emit(FILE_ACTION_ADDED, dir, name, isDirectory);
}

bool ChangeMonitor::suppressListed(NodeId dir, std::string_view name) {
    if (listed_.empty()) return false;
    auto names = listed_.find(dir);
    if (names == listed_.end()) return false;
    auto found = names->second.find(std::string(name));
    if (found == names->second.end()) return false;
    names->second.erase(found);
    return true;
}

std::string ChangeMonitor::childPath(NodeId dir, std::string_view name) {
    std::string path = dirPath(dir);
    if (!path.empty()) path += '/';
    path.append(name);
    return path;
}

const std::string& ChangeMonitor::dirPath(NodeId dir) {
    if (cachedDir_ != dir) {
        cachedDirPath_.clear();
        tree_.appendPath(dir, cachedDirPath_);
        cachedDir_ = dir;
    }
    return cachedDirPath_;
}
