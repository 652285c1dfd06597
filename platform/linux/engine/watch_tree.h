// The directories under watch, as a tree: each by its key (see
// change_event.h) and its name in its parent. Paths are never stored: they
// are built from the parent chain when needed, so a directory renamed or
// moved takes every directory below it along at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/engine/key_index.h"

/// Index of a node in the tree; kNoNode when there is none.
using NodeId = uint32_t;
constexpr NodeId kNoNode = UINT32_MAX;

class WatchTree {
public:
    /// Adds a directory watched under key as child `name` of parent (kNoNode for
    /// the root, whose name is empty). The key must not be in the tree yet.
    NodeId add(int key, NodeId parent, std::string_view name);

    /// The node watched under key, or kNoNode.
    NodeId find(int key) const;

    /// The child of parent called name, or kNoNode.
    NodeId findChild(NodeId parent, std::string_view name) const;

    /// Moves node under newParent with a new name (a rename when the parent stays).
    void move(NodeId node, NodeId newParent, std::string_view newName);

    /// Removes node and everything below it, appending their keys.
    void removeSubtree(NodeId node, std::vector<int>& keys);

    /// Appends the keys of node and of everything below it.
    void subtreeKeys(NodeId node, std::vector<int>& keys) const;

    /// Whether node is ancestor or lies below it.
    bool isWithin(NodeId node, NodeId ancestor) const;

    /// Appends node's path relative to the root: names joined by '/', empty for the root.
    void appendPath(NodeId node, std::string& out) const;

    int key(NodeId node) const { return nodes_[node].key; }
    std::string_view name(NodeId node) const { return name(nodes_[node]); }
    NodeId parent(NodeId node) const { return nodes_[node].parent; }
    NodeId root() const { return root_; }
    size_t size() const { return byKey_.size(); }

    /// Changes whenever a node is added, moved or removed: a path built from
    /// the tree stays right for as long as this stays the same.
    uint64_t generation() const { return generation_; }

    /// Every key in the tree.
    std::vector<int> allKeys() const;

private:
    struct Node {
        int key = -1;
        NodeId parent = kNoNode;
        NodeId firstChild = kNoNode;
        NodeId nextSibling = kNoNode;
        uint32_t nameOffset = 0;
        uint32_t nameLength = 0;
    };
    std::string_view name(const Node& node) const { return {names_.data() + node.nameOffset, node.nameLength}; }
    void storeName(Node& node, std::string_view name);
    void link(NodeId node, NodeId parent);
    void unlink(NodeId node);
    void compactNames();

    std::vector<Node> nodes_;
    std::vector<NodeId> freeNodes_;
    KeyIndex byKey_;
    std::string names_;  // every node's name, back to back
    size_t deadNameBytes_ = 0;
    NodeId root_ = kNoNode;
    uint64_t generation_ = 0;
};
