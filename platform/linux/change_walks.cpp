// How the tree of watched directories keeps up with the disk: new
// directories walked and listed, stale paths tried again, directories that
// moved where no event could say so, and the full rebuild after the kernel's
// queue overflowed. The other side of ChangeMonitor's event handling.
#include "platform/linux/change_monitor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

// Called with the kernel's queue read to the end: the events of every move a
// walk has seen have been read by now. A sighting left over is a directory
// whose move was never announced; it is reported as a move from where the
// tree had it, so the paths of its later changes are right.
void ChangeMonitor::settleSightings() {
    if (sightings_.empty()) return;
    std::unordered_map<int, TreeWalker::Sighting> left;
    left.swap(sightings_);
    for (auto& [wd, seen] : left) {
        const NodeId node = tree_.find(wd);
        if (node == kNoNode || tree_.parent(node) == kNoNode) continue;
        if (pendingMove_.waiting && tree_.findChild(pendingMove_.dir, pendingMove_.name) == node) {
            sightings_.emplace(wd, std::move(seen));  // its first half is being read
            continue;
        }
        const NodeId to = tree_.find(seen.parentWd);
        if (to == kNoNode || (tree_.parent(node) == to && tree_.name(node) == seen.name)) continue;
        const PendingMove from{true, 0, tree_.parent(node), std::string(tree_.name(node)), true, 0};
        if (!relocate(from, to, seen.name)) return;
    }
}

// Directories taken for the one whose move was pending, on their name alone:
// with the queue read, their paths are current and can be checked. Were one
// another directory after all, its changes went under a wrong name and the
// other's were missed: said as a loss, and the tree is made afresh.
void ChangeMonitor::verifyMoves() {
    std::vector<int> due;
    due.swap(unverified_);
    for (int wd : due) {
        const NodeId node = tree_.find(wd);
        if (node == kNoNode) continue;
        const int fd = openBeneath(rootFd_, dirPath(node));
        const bool same = fd >= 0 && walker_.watchOnly(fd) == wd;
        if (fd >= 0) close(fd);
        if (!same) {
            repair();
            return;
        }
    }
}

// A directory that went from where the tree has it to where a walk found it,
// by moves that were not all seen: reported as the moves Windows would have
// reported, so a reader can follow the directory and what it holds. Returns
// false when the tree had to be rebuilt on the way.
bool ChangeMonitor::relocate(const PendingMove& from, NodeId to, const std::string& name) {
    if (from.dir == to || from.name == name) return reportMove(from, to, name, true);
    // Moved and renamed: told as a move that keeps the name, then a rename,
    // or the other way round if the first would land on something else.
    if (!existsOnDisk(to, from.name)) {
        return reportMove(from, to, from.name, true) &&
               reportMove(PendingMove{true, 0, to, from.name, true, 0}, to, name, true);
    }
    if (!existsOnDisk(from.dir, name)) {
        return reportMove(from, from.dir, name, true) &&
               reportMove(PendingMove{true, 0, from.dir, name, true, 0}, to, name, true);
    }
    // Both ways pass through a name in use: list what it holds instead.
    if (!reportMove(from, to, name, true)) return false;
    const NodeId node = tree_.findChild(to, name);
    if (node == kNoNode) return true;
    const int error = walker_.watch(openBeneath(rootFd_, dirPath(node)), tree_, to, name, this);
    cachedDir_ = kNoNode;
    noteWalk();
    if (error != 0) announceLoss();
    return true;
}

bool ChangeMonitor::existsOnDisk(NodeId dir, std::string_view name) {
    const std::string path = childPath(dir, name);
    struct stat info;
    return fstatat(rootFd_, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

void ChangeMonitor::watchNew(NodeId parent, std::string_view name, bool list) {
    if (tree_.findChild(parent, name) != kNoNode) return;
    const std::string path = childPath(parent, name);
    const int fd = openBeneath(rootFd_, path);
    if (fd < 0) {
        // Gone again, or not ours to read; or the path is stale because a
        // directory above was renamed and that event is still queued. That
        // last case is tried again once the queue has been read.
        if (errno == ENOENT || errno == ENOTDIR) retries_.push_back({tree_.wd(parent), std::string(name), list, 0});
        return;
    }
    const int error = walker_.watch(fd, tree_, parent, name, list ? this : nullptr);
    cachedDir_ = kNoNode;
    noteWalk();
    // Part of the tree is not watched (inotify's watch limit, most likely):
    // changes there would be missed without a word, so say that changes were lost.
    if (error != 0) announceLoss();
}

// Walks a watched directory again after its attributes changed, for the
// sub-directories it kept us out of before.
void ChangeMonitor::rewatch(NodeId dir) {
    const int fd = openBeneath(rootFd_, dirPath(dir));
    if (fd < 0) return;
    blocked_.erase(tree_.wd(dir));
    const std::string name(tree_.name(dir));
    const int error = walker_.watch(fd, tree_, tree_.parent(dir), name, nullptr);
    cachedDir_ = kNoNode;
    if (error != 0) announceLoss();
    noteWalk();
}

void ChangeMonitor::retryWatches() {
    // A few rounds at most: a directory that is still not there has really gone.
    constexpr int kRounds = 3;
    std::vector<Retry> due;
    due.swap(retries_);
    for (Retry& retry : due) {
        const NodeId parent = tree_.find(retry.parentWd);
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

void ChangeMonitor::noteWalk() {
    for (int wd : walker_.takeBlocked()) blocked_.insert(wd);
    for (TreeWalker::Sighting& seen : walker_.takeSightings()) {
        const int wd = seen.wd;
        sightings_.insert_or_assign(wd, std::move(seen));
    }
}

void ChangeMonitor::repair() {
    batch_.packed().clear();
    retries_.clear();
    sightings_.clear();
    unverified_.clear();
    pendingMove_ = PendingMove{};
    listed_.clear();
    cachedDir_ = kNoNode;
    queue_.markOverflow();
    signalReady();
    if (!recursive_) return;
    // Watch the tree as it is now; directories still watched keep their
    // descriptors, and watches for directories no longer there are dropped.
    WatchTree fresh;
    walker_.watch(openBeneath(rootFd_, ""), fresh, kNoNode, "", nullptr);
    blocked_.clear();
    noteWalk();
    for (int wd : tree_.allWds()) {
        if (fresh.find(wd) == kNoNode) inotify_rm_watch(inotifyFd_, wd);
    }
    tree_ = std::move(fresh);
    if (tree_.root() == kNoNode) rootVanished();
}
