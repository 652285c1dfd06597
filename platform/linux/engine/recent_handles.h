// The files whose last link went most recently, by handle. A file still open
// may be written after its removal, and the kernel tells of that under the
// name it had; one written so is kept longer, so that a log still written
// after it was rotated away is never told changed under its old name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string_view>
#include <unordered_map>

class RecentHandles {
public:
    explicit RecentHandles(size_t capacity) : capacity_(capacity) {}

    void note(std::string_view handle) {
        if (keep(handle)) return;
        order_.push_front(hashOf(handle));
        where_.emplace(order_.front(), order_.begin());
        if (order_.size() <= capacity_) return;
        where_.erase(order_.back());
        order_.pop_back();
    }
    bool contains(std::string_view handle) const { return where_.count(hashOf(handle)) != 0; }
    /// Kept as if just noted; false when it is not kept at all.
    bool keep(std::string_view handle) {
        const auto found = where_.find(hashOf(handle));
        if (found == where_.end()) return false;
        order_.splice(order_.begin(), order_, found->second);
        return true;
    }

private:
    // A hash stands for the handle: at a few thousand handles, two that share
    // one are not to be met.
    static uint64_t hashOf(std::string_view handle) { return std::hash<std::string_view>()(handle); }

    size_t capacity_;
    std::list<uint64_t> order_;
    std::unordered_map<uint64_t, std::list<uint64_t>::iterator> where_;
};
