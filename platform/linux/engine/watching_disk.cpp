#include "platform/linux/engine/watching_disk.h"

#include <algorithm>

int FanotifyDisk::watch(int dir, int& error) {
    const std::string handle = port_.handleOf(dir, error);
    return handle.empty() ? -1 : keyFor(handle);
}

void FanotifyDisk::forget(int key, bool) {
    const size_t at = indexOf(key);
    if (at == handles_.size()) return;
    keys_.erase(*handles_[at].handle);
    handles_[at].handle = nullptr;
    if (++forgotten_ * 2 < handles_.size()) return;
    std::erase_if(handles_, [](const Keyed& each) { return each.handle == nullptr; });
    forgotten_ = 0;
}

int FanotifyDisk::keyFor(HandleBytes handle) {
    if (const int key = find(handle); key >= 0) return key;
    const int key = nextKey_++;
    const auto added = keys_.emplace(std::string(handle), key).first;
    handles_.push_back(Keyed{key, &added->first});
    return key;
}

int FanotifyDisk::find(HandleBytes handle) const {
    const auto found = keys_.find(handle);
    return found == keys_.end() ? -1 : found->second;
}

HandleBytes FanotifyDisk::handle(int key) const {
    const size_t at = indexOf(key);
    return at == handles_.size() ? HandleBytes() : HandleBytes(*handles_[at].handle);
}

size_t FanotifyDisk::indexOf(int key) const {
    const auto found = std::lower_bound(handles_.begin(), handles_.end(), key,
                                        [](const Keyed& each, int wanted) { return each.key < wanted; });
    if (found == handles_.end() || found->key != key || found->handle == nullptr) return handles_.size();
    return static_cast<size_t>(found - handles_.begin());
}
