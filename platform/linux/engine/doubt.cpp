#include "platform/linux/engine/doubt.h"

bool Doubt::holdsDirectory(const WatchTree& tree, NodeId dir) const {
    if (directories_.empty()) return true;
    if (const Directory* self = find(tree.key(dir)); self != nullptr && self->unheard) return false;
    for (NodeId at = dir; at != tree.root(); at = tree.parent(at)) {
        const Directory* above = find(tree.key(tree.parent(at)));
        if (above == nullptr) continue;
        const auto held = above->told.find(std::string(tree.name(at)));
        if (held == above->told.end() || !held->second.isDirectory) return false;
    }
    return true;
}

bool Doubt::holds(int key, std::string_view name, bool isDirectory) const {
    const Directory* doubtful = directories_.empty() ? nullptr : find(key);
    if (doubtful == nullptr) return true;
    const auto found = doubtful->told.find(std::string(name));
    return found != doubtful->told.end() && found->second.isDirectory == isDirectory;
}

Doubt::Told Doubt::toldAs(int key, std::string_view name) const {
    const Directory* doubtful = directories_.empty() ? nullptr : find(key);
    if (doubtful == nullptr) return Told::No;
    const auto found = doubtful->told.find(std::string(name));
    return found == doubtful->told.end() ? Told::No : found->second.byListing ? Told::ByListing : Told::ByEvent;
}

void Doubt::told(int key, std::string_view name, bool holds, bool isDirectory) {
    Directory* doubtful = directories_.empty() ? nullptr : find(key);
    if (doubtful == nullptr) return;
    if (holds) {
        doubtful->told[std::string(name)] = Held{false, isDirectory};
    } else if (const auto found = doubtful->told.find(std::string(name));
               found != doubtful->told.end() && found->second.isDirectory == isDirectory) {
        doubtful->told.erase(found);  // not another entry of the name that a listing showed
    }
}
