// What the reader has been told, where it is not what the events say.
//
// The reader is whoever reads the report and replays it onto the tree as it
// was at the start; it holds what it was told. A directory is trusted when
// the reader holds exactly what its events say: each change in it is told as
// it comes. A directory is in doubt when its events can no longer be taken at
// their word: it is new and its listing is still to come or not yet settled,
// it came in from outside or under a new name, or it was found where no event
// put it (then, until the queue's end, not even the events in it are told). The reader then holds only the names told in it since it came into
// doubt (its told names), and below a directory whose name it does not hold,
// nothing at all. A listing of a directory in doubt tells what the reader
// lacks; the events queued before the listing are then told only where they
// add to what it holds. Once the kernel's queue has been read to its end
// after the listing, every event older than the listing has been read, what
// the reader holds there is what the disk holds, and the directory is
// trusted again.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/linux/engine/watch_tree.h"

class Doubt {
public:
    /// How the reader holds a name.
    struct Held {
        bool byListing;  ///< a listing told it, rather than an event
        bool isDirectory;
    };
    struct Directory {
        /// The names the reader holds in it.
        std::unordered_map<std::string, Held> told;
        /// Whether a listing was told, and how many times the queue had been
        /// read to its end when it was.
        bool listed = false;
        unsigned listedAt = 0;
        /// Found where no event put it: where it was meanwhile, and so where
        /// its own events happened, is not known. They are not told, and it
        /// is listed once the queue has been read to its end.
        bool unheard = false;
        /// Ends of the queue in a row at which it was not where the tree has it.
        unsigned staleEnds = 0;
    };

    /// How the reader holds a name in a directory in doubt.
    enum class Told { No, ByEvent, ByListing };

    /// Whether the reader holds the directory itself: every name between it
    /// and the root.
    bool holdsDirectory(const WatchTree& tree, NodeId dir) const;
    /// Whether the reader holds the entry `name` of the directory with this
    /// key, one it holds: in a trusted one, every entry the events speak of.
    bool holds(int key, std::string_view name, bool isDirectory) const;
    /// How the name was told in a directory in doubt: a listing made since
    /// may have shown it before its event is read.
    Told toldAs(int key, std::string_view name) const;
    /// An event told the reader of the name (holds) or of its going.
    void told(int key, std::string_view name, bool holds, bool isDirectory);

    bool empty() const { return directories_.empty(); }
    size_t size() const { return directories_.size(); }
    /// The directory with this key, if it is in doubt.
    Directory* find(int key) {
        const auto found = directories_.find(key);
        return found == directories_.end() ? nullptr : &found->second;
    }
    const Directory* find(int key) const { return const_cast<Doubt*>(this)->find(key); }
    /// Puts the directory in doubt, the reader holding nothing in it, and its
    /// listing still to come.
    Directory& enter(int key) { return directories_[key] = Directory{}; }
    void leave(int key) { directories_.erase(key); }
    void clear() { directories_.clear(); }
    std::unordered_map<int, Directory>& all() { return directories_; }

private:
    std::unordered_map<int, Directory> directories_;
};
