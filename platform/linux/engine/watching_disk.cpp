#include "platform/linux/engine/watching_disk.h"

int FanotifyDisk::watch(int dir, int& error) {
    const std::string handle = port_.handleOf(dir, error);
    return handle.empty() ? -1 : keyFor(handle);
}

void FanotifyDisk::forget(int key, bool) {
    const auto found = handles_.find(key);
    if (found == handles_.end()) return;
    const std::string* handle = found->second;
    handles_.erase(found);
    keys_.erase(*handle);
}

int FanotifyDisk::keyFor(HandleBytes handle) {
    if (const int key = find(handle); key >= 0) return key;
    const int key = nextKey_++;
    const auto added = keys_.emplace(std::string(handle), key).first;
    handles_.emplace(key, &added->first);
    return key;
}

int FanotifyDisk::find(HandleBytes handle) const {
    const auto found = keys_.find(handle);
    return found == keys_.end() ? -1 : found->second;
}

HandleBytes FanotifyDisk::handle(int key) const {
    const auto found = handles_.find(key);
    return found == handles_.end() ? HandleBytes() : HandleBytes(*found->second);
}
