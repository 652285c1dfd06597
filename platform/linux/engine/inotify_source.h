// Events from one inotify instance, with one watch per directory. The two
// halves of a move come as two events paired by a cookie: the first is held
// back until its partner comes, or a moment has passed without it (moved out
// of the tree, or into a directory not watched yet).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/linux/engine/event_source.h"
#include "platform/linux/engine/watching_disk.h"

class InotifySource : public EventSource {
public:
    /// A new instance for the tree below rootFd; nullptr with the errno in error.
    static std::unique_ptr<InotifySource> open(int rootFd, DWORD notifyFilter, int& error);
    /// Over a port and a disk that the caller keeps for the source's life,
    /// reading at most readBytes at a time.
    InotifySource(InotifyPort& port, Disk& base, size_t readBytes = kReadBytes);
    static constexpr size_t kReadBytes = 64 * 1024;

    int fd() const override { return port_.fd(); }
    Disk& disk() override { return disk_; }
    bool listsNewDirectories() const override { return true; }
    size_t read(Receiver& receiver, const TreeQuery& tree, long long nowMs) override;
    bool mayHaveMore(size_t bytes) const override;
    bool hasQueued() override { return port_.hasQueued(); }
    bool holdsBack() const override { return half_.waiting; }
    long long dueMs() const override { return half_.waiting ? half_.dueMs : LLONG_MAX; }
    void onTime(long long nowMs, Receiver& receiver) override;

private:
    /// Watches through the port, and notes the watches let go: their events
    /// still queued, up to the kernel's IN_IGNORED, are of no directory now.
    class LettingGo final : public InotifyDisk {
    public:
        LettingGo(Disk& base, InotifyPort& port, std::unordered_set<int>& letGo)
            : InotifyDisk(base, port), letGo_(letGo) {}
        void forget(int key, bool stillWatched) override;

    private:
        std::unordered_set<int>& letGo_;
    };
    /// A move's first half, waiting for its second.
    struct Half {
        bool waiting = false;
        uint32_t cookie = 0;
        int key = -1;
        std::string name;
        bool isDirectory = false;
        long long dueMs = 0;
    };
    /// A directory's name in a directory, by watch: where a read's events
    /// take one away.
    struct NameIn {
        int wd;
        std::string_view name;
        bool operator==(const NameIn&) const = default;
    };
    struct NameInHash {
        size_t operator()(const NameIn& place) const {
            return std::hash<std::string_view>()(place.name) * 31 + static_cast<size_t>(place.wd);
        }
    };
    InotifySource(std::unique_ptr<InotifyPort> port, std::unique_ptr<Disk> base);
    bool leavesLater(int wd, std::string_view name, size_t at);
    void noteDepartures();
    bool translate(const struct inotify_event& event, size_t at, Receiver& receiver, long long nowMs);
    bool flushHalf(Receiver& receiver);

    std::unique_ptr<InotifyPort> ownedPort_;
    std::unique_ptr<Disk> ownedBase_;
    InotifyPort& port_;
    std::unordered_set<int> letGo_;
    LettingGo disk_;
    size_t readBytes_;
    std::unique_ptr<char[]> buffer_;
    Half half_;
    // For the read under way: its size, and the offset of the last event
    // that takes each directory name away, once a directory's arrival has
    // asked for them.
    size_t got_ = 0;
    bool departuresNoted_ = false;
    std::unordered_map<NameIn, size_t, NameInHash> departures_;
};
