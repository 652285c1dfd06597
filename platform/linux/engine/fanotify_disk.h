// The disk as a fanotify watch sees it: nothing to watch per directory, so a
// directory's key is only a small number for its file handle, which names it
// for as long as it exists, wherever it moves.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/linux/engine/linux_disk.h"

/// The bytes of a struct file_handle, header included: what both
/// name_to_handle_at and fanotify's records give for a directory.
using HandleBytes = std::string_view;

class FanotifyDisk : public LinuxDisk {
public:
    explicit FanotifyDisk(int rootFd) : LinuxDisk(rootFd) {}

    /// The key of the directory open as dir: its handle's number, given now
    /// if it has none. -1 with the errno when the file system gives no handle.
    int watch(int dir, int& error) override;
    void forget(int key, bool stillWatched) override;

    /// The key of this handle, given now if it has none.
    int keyFor(HandleBytes handle);
    /// The key of this handle; -1 if it has none.
    int find(HandleBytes handle) const;
    /// The handle with this key; empty if none.
    HandleBytes handle(int key) const;
    size_t size() const { return keys_.size(); }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view bytes) const { return std::hash<std::string_view>{}(bytes); }
    };
    std::unordered_map<std::string, int, Hash, std::equal_to<>> keys_;
    std::unordered_map<int, std::string> handles_;
    int nextKey_ = 1;
};

/// The handle of the directory open as fd, or an empty string with errno set.
std::string handleOf(int fd);
