// Events for the whole file system the root is on, through one fanotify
// mark: no watch per directory, no limit on watches, and a queue that cannot
// overflow. Only what happens inside the watched tree is told. A directory
// met for the first time is placed by the events still queued about it, or,
// failing those, by asking the disk once; the places learned come with the
// event, for the tracker to take in.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/linux/engine/event_source.h"
#include "platform/linux/engine/learned_places.h"
#include "platform/linux/engine/recent_handles.h"
#include "platform/linux/engine/watching_disk.h"

struct file_handle;

class FanotifySource : public EventSource {
public:
    /// Marks the file system of the directory open as rootFd. nullptr with the
    /// errno in error where this cannot be had: not privileged (EPERM), a
    /// kernel without these reports (EINVAL), a file system that gives no
    /// file handles (EOPNOTSUPP, ENODEV, EXDEV).
    static std::unique_ptr<FanotifySource> open(int rootFd, DWORD notifyFilter, int& error);
    /// Over a port and a disk that the caller keeps for the source's life;
    /// rootHandle is the watched directory's. Reads at most readBytes at a time.
    FanotifySource(FanotifyPort& port, Disk& base, std::string rootHandle, size_t readBytes = kReadBytes);
    static constexpr size_t kReadBytes = 64 * 1024;
    /// The marks the port needs for a change filter.
    static uint64_t maskFor(DWORD notifyFilter);

    int fd() const override { return port_.fd(); }
    Disk& disk() override { return disk_; }
    // Changes anywhere are reported, a new directory's first ones included.
    bool listsNewDirectories() const override { return false; }
    size_t read(Receiver& receiver, const TreeQuery& tree, long long nowMs) override;
    bool mayHaveMore(size_t bytes) const override;
    bool hasQueued() override { return port_.queuedBytes() > 0; }

private:
    /// One fanotify event with its records found.
    struct Event {
        uint64_t mask = 0;
        int pid = 0;
        const file_handle* dir = nullptr;  // where it happened (the new place for a rename)
        std::string_view name;
        const file_handle* oldDir = nullptr;  // a rename's old place
        std::string_view oldName;
        const file_handle* target = nullptr;  // the entry itself
    };
    /// Where a directory is: its parent's handle (empty at the top of the
    /// file system) and its name.
    struct Link {
        std::string parent;
        std::string name;
    };
    /// A directory made and removed while its events were queued: the kernel
    /// merged both into the first, but what happened inside it comes after.
    struct Removal {
        int parentKey;
        std::string name;
        int child;
        std::string handle;  // its key may be let go and given anew before it is told
    };
    /// A move told of an entry: where from, where to (-1: outside).
    struct Move {
        int fromKey;
        std::string fromName;
        int toKey;
        std::string toName;
        bool isDirectory;
        // The read in which the disk was seen to have it where this move
        // took it: not asked again for each event in it during that read.
        unsigned seenThere = 0;
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view bytes) const { return std::hash<std::string_view>{}(bytes); }
    };

    FanotifySource(std::unique_ptr<FanotifyPort> port, std::unique_ptr<Disk> base, std::string rootHandle);
    bool fill();
    bool readToEnd();
    void parse(const char* data, size_t size);
    void translate(size_t position);
    void translateRename(const Event& event, size_t position);
    void translateSelf(const Event& event, size_t position);
    bool replacesEntry(const Event& event, size_t position);
    size_t mergedOnto(const Event& rename, size_t position) const;
    bool goneUnseen(const Event& self);
    bool placeVictim(const Event& self, size_t position);
    bool replacedLater(const Event& self, size_t position);
    bool replacedLaterMaybe(const Event& self, size_t position);
    bool isOutside(const file_handle* dir, size_t position);
    bool replacedOnlyOutside(size_t position, const file_handle* claimedBy);
    void lose();
    bool renamedLater(const file_handle* target, size_t position) const;
    bool renamedLater(HandleBytes target, size_t position) const;
    bool comesBack(const Removal& removal, size_t position) const;
    int heldThere(const file_handle* dir, const Event& rename) const;
    bool renamedAhead(const file_handle* target, size_t position);
    bool removedAnyway(HandleBytes handle) const;
    bool removedAfter(HandleBytes handle, size_t position) const;
    bool removedElsewhere(HandleBytes handle, int key, std::string_view name) const;
    void tellMove(HandleBytes target, const Move& move);
    void vacate(int key, std::string_view name, const file_handle* made, size_t position);
    void noteUnlinked(HandleBytes handle);
    int locate(const file_handle* dir, size_t position);
    bool wasOutside(std::string handle, size_t position);
    void tellMergedOut(HandleBytes dir, const std::string& parent, size_t position);
    bool namedOtherAt(HandleBytes target, int key, std::string_view name, size_t end) const;
    bool placeOf(int key, int& parentKey, std::string& name) const;
    const Place* placedNow(int key) const;
    bool known(int key) const;
    bool linkBefore(const std::string& handle, size_t position, Link& link);
    bool linkAhead(const std::string& handle, size_t position, Link& link, bool readMore,
                   size_t untilEvents = SIZE_MAX);
    void tell(ChangeEvent event);
    void tell(ChangeEvent::Kind kind, int key, std::string_view name, bool isDirectory, int entry = -1);
    void settleRemovals(int key, std::string_view name, const file_handle* target, size_t position);
    void settleAllRemovals();
    void settleRemovalsWhere(const std::function<bool(const Removal&)>& now);
    void settleRemovalsAround(const file_handle* moved, size_t position);
    void forgetUnless(int child);
    void noteMove(const Event& event, int from, int to);
    // With a position, a file the read put at the place before it is told
    // replaced.
    void tellMergedMove(const file_handle* target, std::string_view name, int key, bool isDirectory,
                        size_t position = SIZE_MAX);
    void tellMergedMove(HandleBytes target, std::string_view name, int key, bool isDirectory, size_t position = SIZE_MAX);
    void auditMoves();
    void auditMovesWithin(const file_handle* moved, size_t position);
    void auditMove(const file_handle* dir, size_t position);
    void auditMoveOf(HandleBytes dir, size_t position);
    bool leavesFrom(HandleBytes dir, size_t position);
    bool existsAnywhere(HandleBytes dir);
    bool isAt(int dirKey, const std::string& name, HandleBytes target);

    std::unique_ptr<FanotifyPort> ownedPort_;
    std::unique_ptr<Disk> ownedBase_;
    FanotifyPort& port_;
    std::string rootHandle_;
    size_t readBytes_ = kReadBytes;
    FanotifyDisk disk_;
    // The read under way: who takes its events, and the tree they go to.
    Receiver* receiver_ = nullptr;
    const TreeQuery* tree_ = nullptr;
    bool stopped_ = false;
    // What this read took from the kernel: its bytes, in pieces that never
    // move, and the events in them.
    std::vector<std::unique_ptr<char[]>> chunks_;
    size_t chunksUsed_ = 0;
    std::vector<Event> events_;
    // The events of this read that move or remove a directory, by its handle
    // (bytes in chunks_), in queue order: where a directory was is looked up
    // here, not by reading on through the events for each directory met.
    std::unordered_map<std::string_view, std::vector<size_t>, Hash, std::equal_to<>> leaving_;
    size_t bytesRead_ = 0;
    bool queueWasEmpty_ = false;
    std::deque<std::string> names_;
    // Directories placed for the event being translated, not yet told.
    std::vector<Place> places_;
    // Handles of directories known to be outside the tree; bounded, and
    // forgotten whenever a directory comes in from outside.
    std::unordered_set<std::string, Hash, std::equal_to<>> outside_;
    std::vector<Removal> removals_;
    // Handles of the entries whose removal was read last: the link count the
    // kernel reports of one is an unlink's, not a rename's over it, and a
    // write to one is to a file no name leads to.
    // At most a few hundred KiB, taken only as files are removed.
    RecentHandles unlinked_{4096};
    // Files made, renamed and removed while their events were queued: told
    // gone after their last rename.
    // Each with the directory's key and the name it was removed under.
    std::unordered_map<std::string, std::pair<int, std::string>, Hash, std::equal_to<>> removedFiles_;
    // Entries moved since the queue last ran empty, by handle (see auditMoves).
    // Each entry's moves told since the queue's end, the last one last.
    std::unordered_map<std::string, std::vector<Move>, Hash, std::equal_to<>> moves_;
    bool directoriesMoved_ = false;  // whether any of them is a directory
    unsigned reads_ = 0;
    // The directory a rename was last seen to replace where the tree had it.
    std::string placedVictim_;
    bool rootDeleted_ = false;
    LearnedPlaces learned_;
};
