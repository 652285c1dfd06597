#include "platform/linux/engine/watch_tree.h"

NodeId WatchTree::add(int key, NodeId parent, std::string_view name) {
    ++generation_;
    NodeId id;
    if (!freeNodes_.empty()) {
        id = freeNodes_.back();
        freeNodes_.pop_back();
        nodes_[id] = Node{};
    } else {
        id = static_cast<NodeId>(nodes_.size());
        nodes_.emplace_back();
    }
    nodes_[id].key = key;
    storeName(nodes_[id], name);
    byKey_.insert(key, id);
    if (parent == kNoNode) {
        root_ = id;
    } else {
        link(id, parent);
    }
    return id;
}

NodeId WatchTree::find(int key) const {
    const uint32_t found = byKey_.find(key);
    return found == KeyIndex::kAbsent ? kNoNode : found;
}

NodeId WatchTree::findChild(NodeId parent, std::string_view childName) const {
    for (NodeId child = nodes_[parent].firstChild; child != kNoNode; child = nodes_[child].nextSibling) {
        if (name(nodes_[child]) == childName) return child;
    }
    return kNoNode;
}

void WatchTree::move(NodeId node, NodeId newParent, std::string_view newName) {
    ++generation_;
    unlink(node);
    deadNameBytes_ += nodes_[node].nameLength;
    storeName(nodes_[node], newName);
    link(node, newParent);
    // Renames leave old names behind in the arena; reclaim them once they
    // outweigh the live ones, so a long run of renames does not grow memory.
    if (deadNameBytes_ > 4096 && deadNameBytes_ * 2 > names_.size()) compactNames();
}

void WatchTree::removeSubtree(NodeId node, std::vector<int>& keys) {
    ++generation_;
    if (nodes_[node].parent != kNoNode) unlink(node);
    if (node == root_) root_ = kNoNode;
    // Iterative, because a tree can be deeper than the stack would allow.
    std::vector<NodeId> pending{node};
    while (!pending.empty()) {
        NodeId current = pending.back();
        pending.pop_back();
        for (NodeId child = nodes_[current].firstChild; child != kNoNode; child = nodes_[child].nextSibling) {
            pending.push_back(child);
        }
        keys.push_back(nodes_[current].key);
        byKey_.erase(nodes_[current].key);
        deadNameBytes_ += nodes_[current].nameLength;
        nodes_[current] = Node{};
        freeNodes_.push_back(current);
    }
    if (byKey_.empty()) {
        names_.clear();
        deadNameBytes_ = 0;
    } else if (deadNameBytes_ > 4096 && deadNameBytes_ * 2 > names_.size()) {
        compactNames();
    }
}

void WatchTree::subtreeKeys(NodeId node, std::vector<int>& keys) const {
    std::vector<NodeId> pending{node};
    while (!pending.empty()) {
        const NodeId current = pending.back();
        pending.pop_back();
        keys.push_back(nodes_[current].key);
        for (NodeId child = nodes_[current].firstChild; child != kNoNode; child = nodes_[child].nextSibling) {
            pending.push_back(child);
        }
    }
}

bool WatchTree::isWithin(NodeId node, NodeId ancestor) const {
    for (NodeId at = node; at != kNoNode; at = nodes_[at].parent) {
        if (at == ancestor) return true;
    }
    return false;
}

void WatchTree::appendPath(NodeId node, std::string& out) const {
    if (node == root_) return;
    size_t length = 0;
    for (NodeId at = node; at != root_; at = nodes_[at].parent) length += nodes_[at].nameLength + 1;
    const size_t start = out.size();
    out.resize(start + length - 1);
    // Filled from the end, so no component list is needed.
    size_t end = out.size();
    for (NodeId at = node; at != root_; at = nodes_[at].parent) {
        std::string_view component = name(nodes_[at]);
        end -= component.size();
        out.replace(end, component.size(), component);
        if (end > start) out[--end] = '/';
    }
}

std::vector<int> WatchTree::allKeys() const {
    std::vector<int> keys;
    keys.reserve(byKey_.size());
    byKey_.forEachKey([&keys](int key) { keys.push_back(key); });
    return keys;
}

void WatchTree::storeName(Node& node, std::string_view newName) {
    node.nameOffset = static_cast<uint32_t>(names_.size());
    node.nameLength = static_cast<uint32_t>(newName.size());
    names_.append(newName);
}

void WatchTree::link(NodeId node, NodeId parent) {
    nodes_[node].parent = parent;
    nodes_[node].nextSibling = nodes_[parent].firstChild;
    nodes_[parent].firstChild = node;
}

void WatchTree::unlink(NodeId node) {
    NodeId parent = nodes_[node].parent;
    NodeId* slot = &nodes_[parent].firstChild;
    while (*slot != node) slot = &nodes_[*slot].nextSibling;
    *slot = nodes_[node].nextSibling;
    nodes_[node].nextSibling = kNoNode;
}

void WatchTree::compactNames() {
    std::string packed;
    packed.reserve(names_.size() - deadNameBytes_);
    for (auto& node : nodes_) {
        if (node.key < 0) continue;
        const uint32_t offset = static_cast<uint32_t>(packed.size());
        packed.append(name(node));
        node.nameOffset = offset;
    }
    names_.swap(packed);
    deadNameBytes_ = 0;
}
