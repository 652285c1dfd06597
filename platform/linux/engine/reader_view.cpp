#include "platform/linux/engine/reader_view.h"

#include <iterator>
#include <vector>

namespace {

bool isBelow(std::string_view path, std::string_view ancestor) {
    if (ancestor.empty()) return !path.empty();
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '/';
}

bool isAtOrBelow(std::string_view path, std::string_view ancestor) {
    return path == ancestor || isBelow(path, ancestor);
}

}  // namespace

void ReaderView::clear() {
    roots_.clear();
    known_.clear();
}

void ReaderView::openWindow(const std::string& path) {
    // What the reader knows of the directory itself stays.
    const auto self = known_.find(path);
    const uint8_t flags = self != known_.end() ? self->second : 0;
    const bool kept = self != known_.end();
    forget(path);
    if (kept) known_.emplace(path, flags);
    roots_.insert(path);
}

bool ReaderView::inWindow(std::string_view path) const {
    if (roots_.empty() || path.empty()) return false;
    // The nearest of its directories decides: a window's root, or a
    // directory moved in from where the reader knew everything.
    for (size_t slash = path.rfind('/'); slash != std::string_view::npos; slash = path.rfind('/', slash - 1)) {
        const std::string_view above = path.substr(0, slash);
        if (roots_.count(above) != 0) return true;
        if (const auto found = known_.find(above); found != known_.end() && (found->second & kWhole)) return false;
        if (slash == 0) break;
    }
    return roots_.count(std::string_view()) != 0;
}

bool ReaderView::knows(std::string_view path) const { return !inWindow(path) || known_.count(path) != 0; }

bool ReaderView::listed(std::string_view path) const {
    const auto found = known_.find(path);
    return found != known_.end() && (found->second & kListed);
}

void ReaderView::learn(const std::string& path, bool listed) {
    if (!inWindow(path)) return;
    known_[path] |= listed ? kListed : 0;
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1)) {
        const std::string parent = path.substr(0, slash);
        if (!inWindow(parent) || known_.count(parent) != 0) return;
        known_.emplace(parent, 0);
    }
}

void ReaderView::forget(const std::string& path) {
    for (auto at = known_.lower_bound(path); at != known_.end() && isAtOrBelow(at->first, path);) at = known_.erase(at);
    for (auto at = roots_.lower_bound(path); at != roots_.end() && isAtOrBelow(*at, path);) at = roots_.erase(at);
}

void ReaderView::move(const std::string& from, const std::string& to) {
    if (roots_.empty()) return;
    // What the reader had at `from`: everything, where no window was, or
    // where it had come into one from outside.
    const auto self = known_.find(from);
    const bool whole = !inWindow(from) || (self != known_.end() && (self->second & kWhole));
    std::vector<std::pair<std::string, uint8_t>> moved;
    for (auto at = known_.lower_bound(from); at != known_.end() && isAtOrBelow(at->first, from); ++at) {
        moved.emplace_back(to + at->first.substr(from.size()), at->second);
    }
    std::vector<std::string> movedRoots;
    for (auto at = roots_.lower_bound(from); at != roots_.end() && isAtOrBelow(*at, from); ++at) {
        movedRoots.push_back(to + at->substr(from.size()));
    }
    forget(from);
    forget(to);
    // Taken out of a window, it keeps one of its own: what the reader knows
    // of it is still only what it was told.
    if (!whole && !inWindow(to)) roots_.insert(to);
    for (const std::string& root : movedRoots) roots_.insert(root);
    for (auto& [path, flags] : moved) known_[path] |= flags;
    if (inWindow(to)) {
        learn(to);
        if (whole) known_[to] |= kWhole;
    }
}

void ReaderView::keepOnly(const std::function<bool(const std::string&)>& keep) {
    for (auto at = roots_.begin(); at != roots_.end();) {
        if (keep(*at)) {
            ++at;
            continue;
        }
        const std::string root = *at;
        at = roots_.erase(at);
        // Closed inside a window that stays open (outer ones come first), it
        // is a directory whose whole content the reader knows.
        const auto self = known_.find(root);
        const bool nested = self != known_.end() && inWindow(root);
        for (auto entry = known_.lower_bound(root); entry != known_.end() && isAtOrBelow(entry->first, root);) {
            entry = nested && entry->first == root ? std::next(entry) : known_.erase(entry);
        }
        if (nested) known_[root] |= kWhole;
    }
}
