#include "platform/linux/tree_walker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// A deep tree would otherwise hold one descriptor per level; above this depth
// the walk closes ancestors and finds them again through "..".
constexpr size_t kMaxOpenDirectories = 64;
constexpr size_t kDirentBufferBytes = 32 * 1024;
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Errors that only mean the tree changed under us, or that a directory is not
// ours to read; the walk carries on without it.
bool isSkippable(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM || error == ELOOP ||
           error == ENODEV || error == EXDEV;
}

int openat2Once(int dirFd, const char* path) {
    open_how how{};
    how.flags = kOpenFlags;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, dirFd, path, &how, sizeof how));
}

}  // namespace

int openBeneath(int rootFd, const std::string& path) {
    // A fresh open, never a duplicate: a duplicate shares the directory's read
    // position, and a walk from it would find the directory already read.
    if (path.empty()) return openat(rootFd, ".", kOpenFlags);
    int fd = openat2Once(rootFd, path.c_str());
    if (fd >= 0 || errno != ENAMETOOLONG) return fd;
    // Longer than the kernel takes at once: open it a piece at a time.
    int at = openat(rootFd, ".", kOpenFlags);
    size_t start = 0;
    while (at >= 0 && start < path.size()) {
        size_t end = std::min(path.size(), start + 3000);
        if (end < path.size()) end = path.rfind('/', end);
        if (end == std::string::npos || end <= start) end = path.find('/', start + 1);
        if (end == std::string::npos) end = path.size();
        const std::string piece = path.substr(start, end - start);
        int next = openat2Once(at, piece.c_str());
        const int saved = errno;
        close(at);
        errno = saved;
        at = next;
        start = end + 1;
    }
    return at;
}

TreeWalker::TreeWalker(int inotifyFd, uint32_t mask, bool recursive)
    : inotifyFd_(inotifyFd), mask_(mask), recursive_(recursive), direntBuffer_(kDirentBufferBytes) {}

int TreeWalker::watch(int dirFd, WatchTree& tree, NodeId parent, std::string_view name, WalkListener* listener) {
    if (dirFd < 0) return isSkippable(errno) ? 0 : errno;
    std::vector<Frame> stack;
    NodeId node = kNoNode;
    const size_t known = tree.size();
    int error = addWatch(dirFd, tree, parent, name, false, node);
    if (node == kNoNode) {
        close(dirFd);
        return error;
    }
    stack.push_back(Frame{node, dirFd, 0, 0, tree.size() > known, {}, 0});
    error = readEntries(stack.back(), listener);
    while (error == 0 && !stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.subdirectories.size()) {
            popFrame(stack);
            continue;
        }
        const size_t depth = stack.size();
        error = descend(stack, tree);
        if (error == 0 && stack.size() > depth) error = readEntries(stack.back(), listener);
    }
    for (Frame& frame : stack) {
        if (frame.fd >= 0) close(frame.fd);
    }
    return error;
}

int TreeWalker::watchOnly(int fd) const {
    char procPath[40];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    return inotify_add_watch(inotifyFd_, procPath, mask_);
}

int TreeWalker::addWatch(int fd, WatchTree& tree, NodeId parent, std::string_view name, bool parentIsNew,
                         NodeId& node) {
    // Every descriptor comes from an open with O_DIRECTORY and, below the
    // root, RESOLVE_NO_XDEV: a directory on the root's mount, with no need
    // to look.
    node = kNoNode;
    const int wd = watchOnly(fd);
    if (wd < 0) return isSkippable(errno) ? 0 : errno;
    const NodeId existing = tree.find(wd);
    // A directory this walk has just added has only the children the walk
    // gives it, each name once: the search among siblings, which would make a
    // wide directory quadratic, is needed only where the tree was before.
    if (existing == kNoNode && parentIsNew) {
        node = tree.add(wd, parent, name);
        return 0;
    }
    const NodeId here = parent == kNoNode ? tree.root() : tree.findChild(parent, name);
    if (existing == kNoNode) {
        if (here == kNoNode) node = tree.add(wd, parent, name);
    } else if (existing == here) {
        node = existing;  // walked through, for what below it is not watched yet
    } else if (here == kNoNode && parent != kNoNode) {
        // Watched elsewhere: it was moved here, and the events of that move
        // are still queued, at least its first half. Events older than the
        // move are queued too and must get the old path, so the tree is left
        // as it is: the caller moves it when the move's events are read. Not
        // walked: everything below it is watched already.
        sightings_.push_back(Sighting{wd, tree.wd(parent), std::string(name)});
    }
    return 0;
}

int TreeWalker::readEntries(Frame& frame, WalkListener* listener) {
    for (;;) {
        const long got = syscall(SYS_getdents64, frame.fd, direntBuffer_.data(), direntBuffer_.size());
        if (got == 0) return 0;
        if (got < 0) return isSkippable(errno) ? 0 : errno;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(direntBuffer_.data() + at);
            at += entry->d_reclen;
            if (isDotOrDotDot(entry->d_name)) continue;
            bool isDirectory = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat info;
                isDirectory = fstatat(frame.fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                              S_ISDIR(info.st_mode);
            }
            if (listener != nullptr) listener->onEntry(frame.node, entry->d_name, isDirectory);
            if (isDirectory && recursive_) frame.subdirectories.emplace_back(entry->d_name);
        }
    }
}

int TreeWalker::descend(std::vector<Frame>& stack, WatchTree& tree) {
    Frame& top = stack.back();
    const std::string& name = top.subdirectories[top.next++];
    // No mount point is crossed, not even a bind mount of the same file system,
    // which the device number alone would not reveal.
    const int fd = openat2Once(top.fd, name.c_str());
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) blocked_.push_back(tree.wd(top.node));
        return isSkippable(errno) ? 0 : errno;
    }
    NodeId node = kNoNode;
    const size_t known = tree.size();
    const int error = addWatch(fd, tree, top.node, name, top.isNew, node);
    if (node == kNoNode) {
        close(fd);
        return error;
    }
    stack.push_back(Frame{node, fd, 0, 0, tree.size() > known, {}, 0});
    closeDeepFds(stack);
    return 0;
}

void TreeWalker::closeDeepFds(std::vector<Frame>& stack) {
    if (stack.size() <= kMaxOpenDirectories) return;
    Frame& old = stack[stack.size() - 1 - kMaxOpenDirectories];
    if (old.fd >= 0) {
        // Its identity, to know it again when it is found through "..".
        struct stat info;
        if (fstat(old.fd, &info) == 0) {
            old.device = info.st_dev;
            old.inode = info.st_ino;
        }
        close(old.fd);
        old.fd = -1;
    }
}

// Leaves a finished directory. If its parent's descriptor was closed to
// bound the walk's descriptors, the parent is found again through "..", and
// must still be the same directory: if it moved meanwhile, its remaining
// children are skipped, and the events of that move bring them back.
void TreeWalker::popFrame(std::vector<Frame>& stack) {
    Frame child = std::move(stack.back());
    stack.pop_back();
    if (!stack.empty() && stack.back().fd < 0) {
        Frame& parent = stack.back();
        parent.fd = openat(child.fd, "..", kOpenFlags);
        struct stat info;
        if (parent.fd >= 0 &&
            (fstat(parent.fd, &info) != 0 || info.st_ino != parent.inode || info.st_dev != parent.device)) {
            close(parent.fd);
            parent.fd = -1;
        }
        if (parent.fd < 0) parent.next = parent.subdirectories.size();
    }
    close(child.fd);
}
