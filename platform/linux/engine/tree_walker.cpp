#include "platform/linux/engine/tree_walker.h"

#include <cerrno>

namespace {

// A deep tree would otherwise hold one open directory per level; above this
// depth the walk closes ancestors and opens them again by path.
constexpr size_t kMaxOpenDirectories = 64;
// Sub-directories met by a listing are watched at once, and the first of them
// kept open until the walk enters them, instead of being opened and watched a
// second time; a wide directory holds no more than this many.
constexpr size_t kMaxHeldDirectories = 256;

// Errors that only mean the tree changed under us, or that a directory is not
// ours to read; the walk carries on without it.
bool isSkippable(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM || error == ELOOP ||
           error == ENODEV || error == EXDEV;
}

}  // namespace

int TreeWalker::walk(WatchTree& tree, int dir, NodeId node, bool list, Visitor& visitor) {
    std::vector<Frame> stack;
    // Memory may run out anywhere in a walk: the directories it holds open
    // are closed all the same, or each walk tried again would keep more.
    struct Closer {
        TreeWalker& walker;
        std::vector<Frame>& stack;
        int first;
        ~Closer() {
            if (stack.empty() && first >= 0) walker.disk_.close(first);
            for (Frame& frame : stack) walker.release(frame);
        }
    } closer{*this, stack, dir};
    stack.push_back(Frame{node, dir, list, {}, 0});
    closer.first = -1;
    int error = read(tree, stack.back(), visitor);
    while (error == 0 && !stack.empty()) {
        if (stack.back().next == stack.back().below.size()) {
            leave(tree, stack);
        } else {
            error = enter(tree, stack, visitor);
        }
    }
    return error;
}

// Reads a directory, places the sub-directories in it, and hands the
// listing over if one was wanted and the directory is still where the tree
// has it; otherwise what is below it is only watched.
int TreeWalker::read(WatchTree& tree, Frame& frame, Visitor& visitor) {
    entries_.clear();
    const int error = disk_.list(frame.dir, entries_);
    if (error != 0 && !isSkippable(error)) return error;
    std::vector<Disk::Entry> entries;
    entries.swap(entries_);
    if (!frame.list) visitor.watched(frame.node, entries);
    for (Disk::Entry& entry : entries) {
        Found found{std::move(entry.name), entry.isDirectory};
        // Whatever throws, a directory held open for later is closed.
        struct Held {
            TreeWalker& walker;
            Found& found;
            ~Held() { walker.release(found); }
        } held{*this, found};
        if (found.isDirectory && recursive_) {
            if (const int failed = classify(tree, frame, found, visitor); failed != 0) {
                if (!isSkippable(failed)) return failed;
                continue;  // gone since the listing: its events tell of it
            }
        }
        if (frame.list || found.isDirectory) {
            frame.below.push_back(std::move(found));
            found.dir = -1;
        }
    }
    if (!frame.list) return 0;
    if (keyAtPathOf(tree, frame.node) == tree.key(frame.node)) {
        visitor.listed(frame.node, frame.below);
    } else {
        frame.list = false;
        visitor.stale(frame.node);
    }
    return 0;
}

int TreeWalker::classify(WatchTree& tree, const Frame& frame, Found& found, Visitor& visitor) {
    int error = 0;
    const int dir = disk_.openChild(frame.dir, found.name, error);
    if (dir < 0) {
        if (error != EACCES && error != EPERM && error != EXDEV) return error;
        found.met = Met::Closed;
        visitor.blocked(frame.node, found.name, error == EXDEV);
        return 0;
    }
    found.key = disk_.watch(dir, error);
    if (found.key >= 0 && held_ < kMaxHeldDirectories) {
        found.dir = dir;
        ++held_;
    } else {
        disk_.close(dir);
    }
    if (found.key < 0) return isSkippable(error) ? ENOENT : error;
    const NodeId existing = tree.find(found.key);
    const NodeId here = tree.findChild(frame.node, found.name);
    if (existing == kNoNode && here == kNoNode) {
        found.met = Met::New;
        found.node = tree.add(found.key, frame.node, found.name);
        visitor.placed(found.node);
    } else if (existing != kNoNode && existing == here) {
        found.met = Met::Here;
        found.node = existing;
    } else if (existing != kNoNode) {
        found.met = Met::Elsewhere;
    } else {
        // The events about the directory the tree has here are still queued,
        // and will make room for this one.
        found.met = Met::Other;
        disk_.forget(found.key, true);
    }
    if (found.met != Met::New && found.met != Met::Here) release(found);
    return 0;
}

int TreeWalker::enter(WatchTree& tree, std::vector<Frame>& stack, Visitor& visitor) {
    Frame& top = stack.back();
    Found& found = top.below[top.next++];
    if (!found.isDirectory || (found.met != Met::New && found.met != Met::Here)) return 0;
    const bool isNew = found.met == Met::New;
    const bool list = top.list && visitor.wantsListing(found.node, isNew);
    if (!isNew && !list && !visitor.goesBelow(found.node)) {
        release(found);
        return 0;
    }
    int error = 0;
    int dir = found.dir;
    if (dir >= 0) {
        // The very directory that was watched: wherever it went since, the
        // events of that move tell of it, as for one moved while walked.
        found.dir = -1;
        --held_;
    } else {
        dir = disk_.openChild(top.dir, found.name, error);
        if (dir < 0) return isSkippable(error) ? 0 : error;
        // Replaced since it was met: the events of that change tell of it.
        if (disk_.watch(dir, error) != found.key) {
            disk_.close(dir);
            return 0;
        }
    }
    const NodeId node = found.node;
    try {
        stack.push_back(Frame{node, dir, list, {}, 0});
    } catch (...) {
        disk_.close(dir);
        throw;
    }
    if (stack.size() > kMaxOpenDirectories) {
        Frame& old = stack[stack.size() - 1 - kMaxOpenDirectories];
        if (old.dir >= 0) disk_.close(old.dir);
        old.dir = -1;
    }
    return read(tree, stack.back(), visitor);
}

// Leaves a finished directory. If its parent was closed to bound the walk's
// open directories, the parent is opened again by path, and must still be
// the same directory: if it moved meanwhile, its remaining children are left
// to the events of that move.
void TreeWalker::leave(WatchTree& tree, std::vector<Frame>& stack) {
    release(stack.back());
    stack.pop_back();
    if (stack.empty() || stack.back().dir >= 0) return;
    Frame& parent = stack.back();
    std::string path;
    tree.appendPath(parent.node, path);
    int error = 0;
    parent.dir = disk_.open(path, error);
    if (parent.dir >= 0 && disk_.watch(parent.dir, error) != tree.key(parent.node)) {
        disk_.close(parent.dir);
        parent.dir = -1;
    }
    if (parent.dir < 0) {
        for (Found& found : parent.below) release(found);
        parent.next = parent.below.size();
    }
}

void TreeWalker::release(Found& found) {
    if (found.dir < 0) return;
    disk_.close(found.dir);
    found.dir = -1;
    --held_;
}

void TreeWalker::release(Frame& frame) {
    for (Found& found : frame.below) release(found);
    if (frame.dir >= 0) disk_.close(frame.dir);
    frame.dir = -1;
}

int TreeWalker::keyAt(const WatchTree& tree, NodeId node, std::string_view name, int* failed) {
    std::string path;
    tree.appendPath(node, path);
    if (!name.empty()) {
        if (!path.empty()) path += '/';
        path.append(name);
    }
    int error = 0;
    const int dir = disk_.open(path, error);
    if (dir < 0) {
        if (failed != nullptr) *failed = error;
        return -1;
    }
    const int key = disk_.watch(dir, error);
    disk_.close(dir);
    if (key < 0 && failed != nullptr) *failed = error;
    if (key >= 0 && tree.find(key) == kNoNode) disk_.forget(key, true);
    return key;
}
