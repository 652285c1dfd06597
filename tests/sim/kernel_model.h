// A model of the file system and of what each kernel interface queues about
// it, for the simulation: the adapters read the bytes the kernel would give
// them (inotify_event records, fanotify metadata with its info records) and
// ask it what they would ask the kernel. The disk is always ahead of the
// queue: a lookup or a listing sees the moment it runs, the events of earlier
// changes may still be waiting. Paths are relative to the watched root, "~/"
// starts one in a directory beside it on the same file system.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/engine/disk.h"
#include "platform/linux/engine/kernel_ports.h"

class KernelModel {
public:
    enum class Kernel { Inotify, Fanotify };

    /// `tree` lists paths below the root, a directory ending in '/'.
    KernelModel(const std::string& tree, Kernel kernel);
    ~KernelModel();
    KernelModel(const KernelModel&) = delete;
    KernelModel& operator=(const KernelModel&) = delete;

    Kernel kernel() const { return kernel_; }
    /// What the adapters work on: directories by path, and the kernel port.
    Disk& disk();
    InotifyPort& inotify();
    FanotifyPort& fanotify();
    /// The watched root's handle, as fanotify gives it.
    std::string rootHandle() const;
    /// The handle of the entry at path ("" the root, "~" the directory beside
    /// it), as name_to_handle_at gives it; empty where there is none.
    std::string handleOf(const std::string& path) const;

    // Changes on the disk, each queuing its events. A change that cannot be
    // made (no such entry, a name taken) is skipped and returns false, so
    // random stories need not know the tree.
    bool mkdir(const std::string& path);
    bool touch(const std::string& path);  // creates a file, or changes its times
    bool write(const std::string& path);  // also a file held open after its removal
    bool chmod(const std::string& path);
    /// A chmod that makes a directory one we may not open, or lets us in again.
    bool lock(const std::string& path, bool locked);
    bool remove(const std::string& path);  // a file or an empty directory
    bool removeTree(const std::string& path);
    bool move(const std::string& from, const std::string& to);
    /// Keeps the file open, so it can be written after it is removed.
    bool hold(const std::string& path);
    /// The process making the changes: fanotify merges only its own events.
    void process(int pid) { pid_ = pid; }
    /// inotify: the queue takes this many events, then says it overflowed.
    void limitQueue(size_t events) { queueLimit_ = events; }
    /// The queue overflows now (inotify), as if it were full.
    bool overflow();
    /// inotify: the next rename's second half is queued only at the next
    /// step of the story, so that the reader may look at the queue between.
    void tearNextRename() { tearing_ = Tear::Next; }
    void queueTorn();
    /// inotify: at most this many watches; watch descriptors go round up to wdRange.
    void limitWatches(size_t count) { watchLimit_ = count; }
    void limitWatchDescriptors(int range) { wdRange_ = range; }
    /// Runs `change` once, right after `moment`: "watching P" when the
    /// directory at P is next watched, "listing P" when it is next read,
    /// "looking P" when fanotify next asks where it is (its events are then
    /// queued only at the next read: a rename is seen before it is queued),
    /// "learning P" when fanotify lists the sub-directories of P, between
    /// reading their names and looking each one up (queued the same way).
    void when(const std::string& moment, std::function<void()> change);

    /// Every path below the root now, a directory's ending in '/'.
    std::set<std::string> tree() const;
    /// Whether an entry was ever at path (below the root) while the model ran.
    bool existed(const std::string& path) const { return existed_.count(path) != 0; }
    /// How many files were renamed in place in a directory the kernel
    /// reports on that was there from the start and never moved, nor any
    /// directory above it, the root's own apart: each must be told as a rename.
    struct Renames {
        size_t inRoot = 0;
        size_t below = 0;
    };
    Renames heardRenames() const;
    /// Whether the watched directory itself was removed.
    bool rootGone() const { return !nodes_[root_].linked; }
    /// Whether the kernel ever said events were lost, or refused a watch:
    /// only then may the reader be told of a loss.
    bool lostAny() const { return lostAny_; }
    /// Events queued and not read yet.
    size_t queued() const { return queue_.size(); }
    /// Paths of the entries below the root or in the directory beside it,
    /// for stories drawn at random.
    std::vector<std::string> entries(bool outside, bool directoriesOnly) const;

private:
    struct Node {
        std::string name;
        int parent = -1;  // the last one, once unlinked
        bool isDirectory = false;
        bool linked = true;
        bool locked = false;
        std::map<std::string, int> children;
        int wd = -1;
        int opened = 0;
        bool moved = false;
    };
    struct Event {
        int wd = -1;
        uint32_t mask = 0;
        uint32_t cookie = 0;
        uint64_t fanMask = 0;
        int pid = 0;
        int dir = -1;
        int oldDir = -1;
        int target = -1;
        std::string name;
        std::string oldName;
    };
    static Event overflowEvent();
    class Directories;
    class Inotify;
    class Fanotify;
    friend class Directories;
    friend class Inotify;
    friend class Fanotify;

    int resolve(const std::string& path) const;
    int parentOf(const std::string& path, std::string& name) const;
    int add(int parent, const std::string& name, bool isDirectory);
    void link(int node, int parent, const std::string& name);
    void unlink(int node);
    bool inside(int node) const;
    std::string pathOf(int node) const;
    void note(int node);
    void runHook(const std::string& moment);
    // What each kernel queues for a change: on the entry `name` of dir, and
    // on the object itself.
    void entryEvent(int dir, uint32_t what, const std::string& name, int node, uint32_t cookie = 0);
    void selfEvent(int node, uint32_t what);
    void renameEvent(int from, const std::string& fromName, int to, const std::string& toName, int node);
    void push(Event event);
    void flushDeferred();
    size_t serialize(const Event& event, char* out, size_t room) const;
    size_t read(char* buffer, size_t size);
    void release(int node);

    Kernel kernel_;
    std::vector<Node> nodes_;
    int top_ = 0, root_ = 1, outside_ = 2;
    std::map<int, int> handles_;  // open handle -> node
    int nextHandle_ = 100;
    std::map<std::string, int> held_;
    std::map<int, int> wds_;  // watch descriptor -> node
    int nextWd_ = 1;
    int wdRange_ = 1 << 30;
    size_t watchLimit_ = SIZE_MAX;
    size_t queueLimit_ = 16384;
    uint32_t nextCookie_ = 1;
    int pid_ = 1;
    std::vector<int> renamedIn_;
    int original_ = 0;
    enum class Tear { No, Next, Stash } tearing_ = Tear::No;
    std::vector<Event> torn_;
    bool deferring_ = false;
    bool overflowed_ = false;
    bool lostAny_ = false;
    bool merged_ = false;  // the last event pushed went into one queued
    std::deque<Event> queue_;
    std::vector<Event> deferred_;
    std::set<std::string> existed_;
    std::multimap<std::string, std::function<void()>> hooks_;
    Directories* directories_;
    Inotify* inotify_;
    Fanotify* fanotify_;
};
