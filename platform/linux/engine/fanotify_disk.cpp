#include "platform/linux/engine/fanotify_disk.h"

#include <fcntl.h>

std::string handleOf(int fd) {
    struct {
        file_handle header;
        unsigned char bytes[MAX_HANDLE_SZ];
    } handle;
    handle.header.handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (name_to_handle_at(fd, "", &handle.header, &mountId, AT_EMPTY_PATH) != 0) return {};
    return std::string(reinterpret_cast<const char*>(&handle), sizeof(file_handle) + handle.header.handle_bytes);
}

int FanotifyDisk::watch(int dir, int& error) {
    const std::string handle = handleOf(dir);
    if (handle.empty()) {
        error = errno;
        return -1;
    }
    return keyFor(handle);
}

void FanotifyDisk::forget(int key, bool) {
    const auto found = handles_.find(key);
    if (found == handles_.end()) return;
    keys_.erase(found->second);
    handles_.erase(found);
}

int FanotifyDisk::keyFor(HandleBytes handle) {
    if (const int key = find(handle); key >= 0) return key;
    const int key = nextKey_++;
    keys_.emplace(std::string(handle), key);
    handles_.emplace(key, std::string(handle));
    return key;
}

int FanotifyDisk::find(HandleBytes handle) const {
    const auto found = keys_.find(handle);
    return found == keys_.end() ? -1 : found->second;
}

HandleBytes FanotifyDisk::handle(int key) const {
    const auto found = handles_.find(key);
    return found == handles_.end() ? HandleBytes() : HandleBytes(found->second);
}
