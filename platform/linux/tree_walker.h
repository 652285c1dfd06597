// Puts a directory and everything below it under watch, and optionally lists
// what it finds. Directories are opened relative to their parent's descriptor,
// so trees deeper than PATH_MAX work, and only a bounded number stay open.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#include "platform/linux/watch_tree.h"

/// Receives the entries found in a listed directory.
class WalkListener {
public:
    virtual ~WalkListener() = default;
    /// `name` was found in the directory `dir` (already in the tree).
    virtual void onEntry(NodeId dir, std::string_view name, bool isDirectory) = 0;
};

class TreeWalker {
public:
    /// Watches with this inotify instance and mask, never leaving the root's
    /// mount; descends into sub-directories only when recursive.
    TreeWalker(int inotifyFd, uint32_t mask, bool recursive);

    /// Watches the directory open as dirFd (which this call closes) as child
    /// `name` of parent (kNoNode for the root), then everything below it.
    /// Directories already watched at the place where they are found are
    /// walked through; one watched at another place has moved, and is only
    /// noted (see takeSightings).
    /// Directories that vanish or cannot be read on the way are skipped: that
    /// is normal while a tree changes. Returns 0, or the errno that stopped the
    /// walk (ENOSPC when inotify's watch limit is reached, EMFILE, ENOMEM).
    int watch(int dirFd, WatchTree& tree, NodeId parent, std::string_view name, WalkListener* listener);

    /// Watches the directory open as fd (which stays open) without adding it
    /// to any tree; returns its watch descriptor, the one it had if it was
    /// watched already, or -1.
    int watchOnly(int fd) const;

    /// Watch descriptors of directories found during the walks so far that
    /// have a sub-directory we were not allowed to enter; taken by the call.
    std::vector<int> takeBlocked() { return std::move(blocked_); }

    /// A watched directory found under another parent or name than the tree
    /// gives it: where it was found.
    struct Sighting {
        int wd;
        int parentWd;
        std::string name;
    };
    /// The sightings of the walks so far; taken by the call.
    std::vector<Sighting> takeSightings() { return std::move(sightings_); }

private:
    struct Frame {
        NodeId node;
        int fd;
        dev_t device;
        ino_t inode;
        bool isNew;  // added to the tree by this walk
        std::vector<std::string> subdirectories;
        size_t next = 0;
    };
    int addWatch(int fd, WatchTree& tree, NodeId parent, std::string_view name, bool parentIsNew, NodeId& node);
    int readEntries(Frame& frame, WalkListener* listener);
    int descend(std::vector<Frame>& stack, WatchTree& tree);
    void closeDeepFds(std::vector<Frame>& stack);
    void popFrame(std::vector<Frame>& stack);

    int inotifyFd_;
    uint32_t mask_;
    bool recursive_;
    std::vector<char> direntBuffer_;
    std::vector<int> blocked_;
    std::vector<Sighting> sightings_;
};

/// Opens the directory at relative path `path` below rootFd without following
/// any symbolic link and without leaving the root's mount, whatever its length.
/// Returns the descriptor, or -1 with errno set.
int openBeneath(int rootFd, const std::string& path);
