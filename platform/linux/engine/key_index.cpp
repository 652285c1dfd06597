#include "platform/linux/engine/key_index.h"

// Without a mark for erased slots: the run of slots after the hole is walked,
// and each entry the hole lies on the way to (from its home slot) moves into
// it, leaving its own slot as the next hole.
void KeyIndex::erase(int key) {
    if (used_ == 0) return;
    size_t hole = home(key);
    for (; slots_[hole].key != key; hole = next(hole)) {
        if (slots_[hole].key == kEmpty) return;
    }
    const size_t mask = slots_.size() - 1;
    for (size_t at = next(hole); slots_[at].key != kEmpty; at = next(at)) {
        const size_t wayFromHome = (at - home(slots_[at].key)) & mask;
        if (wayFromHome >= ((at - hole) & mask)) {
            slots_[hole] = slots_[at];
            hole = at;
        }
    }
    slots_[hole] = Slot{};
    --used_;
}

void KeyIndex::grow() {
    std::vector<Slot> old(slots_.empty() ? 0 : slots_.size() * 2);
    old.swap(slots_);
    if (slots_.empty()) slots_.resize(16);
    bits_ = 0;
    while ((size_t{1} << bits_) < slots_.size()) ++bits_;
    used_ = 0;
    for (const Slot& slot : old) {
        if (slot.key != kEmpty) insert(slot.key, slot.value);
    }
}
