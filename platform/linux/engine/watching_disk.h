// A disk whose directories are watched through a kernel interface: paths are
// opened and listed by the disk underneath, watches come from the port.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/linux/engine/disk.h"
#include "platform/linux/engine/kernel_ports.h"

/// Passes the directory operations to another disk.
class DiskOver : public Disk {
public:
    explicit DiskOver(Disk& base) : base_(base) {}
    int open(const std::string& path, int& error) override { return base_.open(path, error); }
    int openChild(int dir, std::string_view name, int& error) override { return base_.openChild(dir, name, error); }
    void close(int dir) override { base_.close(dir); }
    int list(int dir, std::vector<Entry>& entries) override { return base_.list(dir, entries); }

private:
    Disk& base_;
};

/// One inotify watch per directory: a directory's key is its watch descriptor.
class InotifyDisk : public DiskOver {
public:
    InotifyDisk(Disk& base, InotifyPort& port) : DiskOver(base), port_(port) {}
    int watch(int dir, int& error) override { return port_.addWatch(dir, error); }
    void forget(int key, bool stillWatched) override {
        if (stillWatched) port_.removeWatch(key);
    }

private:
    InotifyPort& port_;
};

/// Nothing to watch per directory: a directory's key is only a small number
/// for its file handle, which names it for as long as it exists, wherever it
/// moves.
class FanotifyDisk : public DiskOver {
public:
    FanotifyDisk(Disk& base, FanotifyPort& port) : DiskOver(base), port_(port) {}

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

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view bytes) const { return std::hash<std::string_view>{}(bytes); }
    };
    struct Keyed {
        int key;
        const std::string* handle;  // null once forgotten
    };
    /// Where the key's live handle is in handles_; its size if nowhere.
    size_t indexOf(int key) const;

    FanotifyPort& port_;
    // A burst spread over a large tree learns every directory of it: each
    // handle is kept once, and looked up by key through the node that holds
    // it (which never moves). Keys are given in order, so the way back is a
    // sorted array, a third of a hash table's size; the forgotten are swept
    // out once they are as many as the rest.
    std::unordered_map<std::string, int, Hash, std::equal_to<>> keys_;
    std::vector<Keyed> handles_;
    size_t forgotten_ = 0;
    int nextKey_ = 1;
};
