// The walk over the disk below a directory: every directory met is watched
// and placed in the tree, and those the visitor asks for are listed. The disk
// is ahead of the tree (the events of its latest changes may still be
// queued), so a listing counts only when the directory is still where the
// tree has it once it has been read; and a directory met under another
// parent or name than the tree gives it is left to the events of its move.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/engine/disk.h"
#include "platform/linux/engine/watch_tree.h"

class TreeWalker {
public:
    /// How a sub-directory met by the walk stands with the tree.
    enum class Met {
        New,        ///< not in the tree: placed there now
        Here,       ///< in the tree at this very place
        Elsewhere,  ///< in the tree under another parent or name: moved here
        Other,      ///< the tree has another directory under this name
        Closed,     ///< not ours to read
    };
    struct Found {
        std::string name;
        bool isDirectory;
        Met met = Met::New;  // directories only
        NodeId node = kNoNode;  // New and Here
        int key = -1;
        int dir = -1;  // still open from its watch, for the walk to enter
    };

    class Visitor {
    public:
        virtual ~Visitor() = default;
        /// Whether to list this directory, and go below it when it is not
        /// new (a new one is always gone through).
        virtual bool wantsListing(NodeId dir, bool isNew) = 0;
        virtual bool goesBelow(NodeId dir) = 0;
        /// A directory the walk placed in the tree.
        virtual void placed(NodeId dir) = 0;
        /// A directory gone through without a listing: the reader holds
        /// what it holds already.
        virtual void watched(NodeId dir, const std::vector<Disk::Entry>& entries) = 0;
        /// Its entries, read while it stayed where the tree has it.
        virtual void listed(NodeId dir, const std::vector<Found>& entries) = 0;
        /// It was not where the tree has it when it had been read.
        virtual void stale(NodeId dir) = 0;
        /// A sub-directory it could not enter: not ours to read, or another
        /// file system is mounted on it.
        virtual void blocked(NodeId dir, std::string_view name, bool mounted) = 0;
    };

    TreeWalker(Disk& disk, bool recursive) : disk_(disk), recursive_(recursive) {}

    /// Walks the open directory dir (which this call closes), placed in tree
    /// as node, listing it when `list`. Returns 0 or the errno that stopped
    /// the walk (ENOSPC, EMFILE, ENOMEM): part of the tree is then not watched.
    int walk(WatchTree& tree, int dir, NodeId node, bool list, Visitor& visitor);

    /// The key of the directory at the tree's path for node now; -1 when
    /// none is there, or it could not be opened or watched (the errno in
    /// error, where given). A watch taken only for the asking is let go again.
    int keyAtPathOf(const WatchTree& tree, NodeId node, int* error = nullptr) { return keyAt(tree, node, {}, error); }
    /// The key of the directory at the entry `name` of node's path, the same
    /// way; an empty name is node's path itself.
    int keyAt(const WatchTree& tree, NodeId node, std::string_view name, int* error = nullptr);

private:
    struct Frame {
        NodeId node;
        int dir;  // -1 while closed to bound the walk's open directories
        bool list;
        std::vector<Found> below;
        size_t next = 0;
    };
    int enter(WatchTree& tree, std::vector<Frame>& stack, Visitor& visitor);
    int read(WatchTree& tree, Frame& frame, Visitor& visitor);
    int classify(WatchTree& tree, const Frame& frame, Found& found, Visitor& visitor);
    void leave(WatchTree& tree, std::vector<Frame>& stack);
    void release(Found& found);
    void release(Frame& frame);

    Disk& disk_;
    bool recursive_;
    size_t held_ = 0;  // sub-directories kept open between their watch and their walk
    std::vector<Disk::Entry> entries_;
};
