// Which node each key names, for the watch tree: open addressing over one
// array of (key, node) pairs, 8 bytes a slot and at most three quarters of
// them used. A std::unordered_map spent a heap node of 32 bytes on every
// watched directory, more than the tree's own record of it.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

class KeyIndex {
public:
    static constexpr uint32_t kAbsent = UINT32_MAX;

    /// The value stored for key, or kAbsent.
    uint32_t find(int key) const {
        if (used_ == 0) return kAbsent;
        for (size_t at = home(key);; at = next(at)) {
            if (slots_[at].key == key) return slots_[at].value;
            if (slots_[at].key == kEmpty) return kAbsent;
        }
    }

    /// Stores value for a key that has none yet.
    void insert(int key, uint32_t value) {
        if ((used_ + 1) * 4 > slots_.size() * 3) grow();
        size_t at = home(key);
        while (slots_[at].key != kEmpty) at = next(at);
        slots_[at] = Slot{key, value};
        ++used_;
    }

    void erase(int key);

    size_t size() const { return used_; }
    bool empty() const { return used_ == 0; }

    template <class Visit> void forEachKey(Visit visit) const {
        for (const Slot& slot : slots_) {
            if (slot.key != kEmpty) visit(slot.key);
        }
    }

private:
    // Keys are descriptors and counters, never this.
    static constexpr int kEmpty = INT_MIN;
    struct Slot {
        int key = kEmpty;
        uint32_t value = kAbsent;
    };

    // Descriptors come in turn: multiplying spreads neighbours over the table.
    size_t home(int key) const {
        return static_cast<size_t>((static_cast<uint64_t>(static_cast<uint32_t>(key)) * 0x9E3779B97F4A7C15ull) >>
                                   (64 - bits_));
    }
    size_t next(size_t at) const { return (at + 1) & (slots_.size() - 1); }
    void grow();

    std::vector<Slot> slots_;
    size_t used_ = 0;
    unsigned bits_ = 0;
};
