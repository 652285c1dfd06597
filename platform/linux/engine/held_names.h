// Which names the reader holds in directories it trusts (see doubt.h), kept
// as 64-bit fingerprints of (directory key, name): about a dozen bytes a
// name. A rename over an entry replaces it without an event of its own; this
// tells the tracker that there was one, so its removal is told first. Filled
// where the interface reads every directory at the start anyway (inotify).
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

class HeldNames {
public:
    void insert(int key, std::string_view name);
    void erase(int key, std::string_view name);
    bool contains(int key, std::string_view name) const;
    /// The reader no longer holds anything in the directory with this key.
    void forget(int key) { ++generations_[key]; }
    void clear();
    size_t size() const { return used_; }

private:
    uint64_t fingerprint(int key, std::string_view name) const;
    size_t slotOf(uint64_t print) const;
    void grow();

    // Open addressing: 0 is an empty slot, 1 one whose name was erased.
    std::vector<uint64_t> slots_;
    // Bumped when a directory's names are forgotten all at once, which makes
    // the fingerprints taken before it match nothing.
    std::unordered_map<int, uint32_t> generations_;
    size_t used_ = 0;
    size_t erased_ = 0;
};
