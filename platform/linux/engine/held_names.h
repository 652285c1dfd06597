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
    /// Inserts the names of a directory's entries (each with a `name`): their
    /// slots are fetched from memory together, not one miss after another.
    template <class Entries> void insertAll(int key, const Entries& entries);
    void erase(int key, std::string_view name);
    bool contains(int key, std::string_view name) const;
    /// The reader no longer holds anything in the directory with this key.
    void forget(int key) { ++generations_[key]; }
    void clear();
    size_t size() const { return used_; }

private:
    uint64_t fingerprint(int key, std::string_view name) const { return printOf(seedOf(key), name); }
    uint64_t seedOf(int key) const;
    static uint64_t printOf(uint64_t seed, std::string_view name);
    size_t slotOf(uint64_t print) const;
    void place(uint64_t print);
    void grow(size_t more = 1);

    // Open addressing: 0 is an empty slot, 1 one whose name was erased.
    std::vector<uint64_t> slots_;
    // Bumped when a directory's names are forgotten all at once, which makes
    // the fingerprints taken before it match nothing.
    std::unordered_map<int, uint32_t> generations_;
    size_t used_ = 0;
    size_t erased_ = 0;
};

template <class Entries> void HeldNames::insertAll(int key, const Entries& entries) {
    constexpr size_t kBatch = 16;
    uint64_t prints[kBatch];
    const uint64_t seed = seedOf(key);
    for (auto at = entries.begin(); at != entries.end();) {
        size_t count = 0;
        for (; at != entries.end() && count < kBatch; ++at) prints[count++] = printOf(seed, at->name);
        if ((used_ + erased_ + count) * 5 > slots_.size() * 3) grow(count);
        const size_t mask = slots_.size() - 1;
        for (size_t i = 0; i < count; ++i) __builtin_prefetch(&slots_[prints[i] & mask], 1);
        for (size_t i = 0; i < count; ++i) place(prints[i]);
    }
}
