// A file system in memory for the change tracker's tests: a tree under the
// watched root, a directory outside it, and the events the kernel would queue
// for each change, given what is watched at that moment.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/engine/change_tracker.h"

class FakeDisk : public Disk {
public:
    /// How events are queued: inotify only for watched directories, each
    /// half of a move on its own; fanotify for every directory below the
    /// root, with the entry's key, both halves of a move together.
    enum class Kernel { Inotify, Fanotify };

    /// `tree` lists paths below the root, a directory ending in '/'; parents
    /// are made as needed; "~/" starts a path in the directory outside.
    FakeDisk(const std::string& tree, Kernel kernel);

    // Changes on the disk, by path (see the constructor), each queuing its events.
    void mkdir(const std::string& path);
    void touch(const std::string& path);  // creates a file, or changes its times
    void write(const std::string& path);
    void chmod(const std::string& path);
    /// A chmod that makes a directory unreadable, or readable again.
    void lock(const std::string& path, bool locked);
    void remove(const std::string& path);  // a file or an empty directory
    void removeTree(const std::string& path);
    void move(const std::string& from, const std::string& to);
    /// The kernel's queue overflows: an overflow event, and nothing more is
    /// queued until the queue is next read.
    void overflow();
    /// At most this many directories can be watched.
    void limitWatches(size_t count) { watchLimit_ = count; }
    /// Runs `change` once, right after `moment`: "watching P" when the
    /// directory at P is next watched, "listing P" when it is next read (a
    /// rename in it while it is read can make it show both names).
    void when(const std::string& moment, std::function<void()> change) { hooks_.emplace(moment, std::move(change)); }

    struct Link {
        int key;
        int parentKey;
        std::string name;
    };
    /// An event, and where its directory was when it was queued, from the
    /// root down, for the tracker to adopt (fanotify's source learns as much).
    struct Queued {
        KernelEvent event;
        std::vector<Link> places;
    };
    /// The events queued and not taken yet.
    std::deque<Queued>& queue() { return queue_; }
    /// Clears the overflow's blockage, as reading the queue does.
    void queueRead() { full_ = false; }

    int open(const std::string& path, int& error) override;
    int openChild(int dir, std::string_view name, int& error) override;
    void close(int dir) override { handles_.erase(dir); }
    int watch(int dir, int& error) override;
    void forget(int key, bool stillWatched) override;
    int list(int dir, std::vector<Entry>& entries) override;
    bool exists(const std::string& path) override { return find(path) >= 0; }

private:
    struct Node {
        std::string name;
        int parent = -1;
        bool isDirectory = false;
        std::map<std::string, int> children;
        int key = -1;  // while watched
        bool locked = false;  // cannot be opened
    };

    int find(const std::string& path) const;
    int existing(const std::string& path) const;
    int findParent(const std::string& path, std::string& name) const;
    int handle(int node, int& error);  // opens the directory node, as open() does
    int add(int parent, const std::string& name, bool isDirectory);
    int keyOf(int node);
    bool inside(int node) const;
    std::string pathOf(int node) const;
    void queueEvent(int dir, uint32_t mask, const std::string& name, uint32_t cookie = 0, int child = -1,
                    bool alone = false);
    void dropWatch(int node, bool deleted);
    void unlink(int node);

    Kernel kernel_;
    std::vector<Node> nodes_;
    int root_ = 0;
    int outside_ = 1;
    std::map<int, int> handles_;  // open handle -> node
    int nextHandle_ = 100;
    std::map<int, int> keys_;     // watched key -> node
    int nextKey_ = 1;
    size_t watchLimit_ = SIZE_MAX;
    uint32_t nextCookie_ = 1;
    bool full_ = false;
    std::deque<Queued> queue_;
    std::deque<std::string> names_;  // storage behind the queued events' names
    void runHook(const std::string& moment);
    std::multimap<std::string, std::function<void()>> hooks_;  // moment -> change
};
