#include "platform/linux/engine/held_names.h"

#include <functional>

namespace {

constexpr uint64_t kEmpty = 0;
constexpr uint64_t kErased = 1;

uint64_t mix(uint64_t value) {
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ULL;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

}  // namespace

uint64_t HeldNames::seedOf(int key) const {
    const auto generation = generations_.find(key);
    const uint64_t directory = static_cast<uint32_t>(key) | (uint64_t{generation == generations_.end() ? 0 : generation->second} << 32);
    return mix(directory + 1);
}

uint64_t HeldNames::printOf(uint64_t seed, std::string_view name) {
    const uint64_t print = mix(std::hash<std::string_view>{}(name) ^ seed);
    return print < 2 ? print + 2 : print;
}

// The slot holding print, or the first free one on its way.
size_t HeldNames::slotOf(uint64_t print) const {
    const size_t mask = slots_.size() - 1;
    size_t firstErased = SIZE_MAX;
    for (size_t at = print & mask;; at = (at + 1) & mask) {
        if (slots_[at] == print) return at;
        if (slots_[at] == kErased && firstErased == SIZE_MAX) firstErased = at;
        if (slots_[at] == kEmpty) return firstErased != SIZE_MAX ? firstErased : at;
    }
}

void HeldNames::insert(int key, std::string_view name) {
    if ((used_ + erased_ + 1) * 5 > slots_.size() * 3) grow();
    place(fingerprint(key, name));
}

void HeldNames::place(uint64_t print) {
    uint64_t& slot = slots_[slotOf(print)];
    if (slot == print) return;
    if (slot == kErased) --erased_;
    slot = print;
    ++used_;
}

void HeldNames::erase(int key, std::string_view name) {
    if (used_ == 0) return;
    uint64_t& slot = slots_[slotOf(fingerprint(key, name))];
    if (slot < 2) return;
    slot = kErased;
    --used_;
    ++erased_;
}

bool HeldNames::contains(int key, std::string_view name) const {
    if (used_ == 0) return false;
    const uint64_t print = fingerprint(key, name);
    return slots_[slotOf(print)] == print;
}

void HeldNames::clear() {
    std::vector<uint64_t>().swap(slots_);
    generations_.clear();
    used_ = erased_ = 0;
}

void HeldNames::grow(size_t more) {
    std::vector<uint64_t> old;
    old.swap(slots_);
    size_t size = 64;
    while (size * 3 < (used_ + more) * 5 * 2) size *= 2;
    slots_.assign(size, kEmpty);
    erased_ = 0;
    for (const uint64_t print : old) {
        if (print >= 2) slots_[slotOf(print)] = print;
    }
}
