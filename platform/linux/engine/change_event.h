// What a kernel interface reports, in neither interface's terms: the kernel
// adapters (inotify_source.h, fanotify_source.h) turn their bytes into these,
// and the change tracker takes them one at a time, in the order the changes
// happened. A directory is named by its key: inotify's watch descriptor, or
// the number fanotify's disk gives its file handle (watching_disk.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

/// Where a directory is: its parent's key and its name there.
struct Place {
    int key = -1;
    int parentKey = -1;
    std::string_view name;
};

struct ChangeEvent {
    enum class Kind : uint8_t {
        Added,
        Removed,
        Modified,
        /// From (fromKey, fromName) to (key, name); a key of -1 is outside
        /// the tree, or a directory the interface cannot place.
        Moved,
        /// The kernel let go of the watch on the directory with this key.
        Unwatched,
        /// Events were dropped: the queue overflowed.
        Overflow,
        /// The watched directory itself is gone.
        RootGone,
    };
    Kind kind = Kind::Added;
    bool isDirectory = false;
    /// Modified: its content, not only its attributes.
    bool content = false;
    /// Moved: the interface saw the move replace an entry at its target.
    bool replaced = false;
    /// Moved: the two ends may be two moves, each out of or into a place no
    /// watch saw (inotify's halves with different cookies).
    bool uncertain = false;
    /// The directory it happened in (Moved: the one it went to).
    int key = -1;
    std::string_view name;
    /// Moved: where it came from.
    int fromKey = -1;
    std::string_view fromName;
    /// Added, Moved (a directory): an event read with this one takes the
    /// entry away again, so that what has its name on the disk by now may be
    /// another directory (inotify).
    bool leaves = false;
    /// The entry's own key, where the interface knows it (fanotify's directories).
    int entry = -1;
    /// Directories the interface met for the first time on the way to this
    /// event, from the top down, each under a parent known before it.
    std::span<const Place> places;
};

/// What an adapter may ask of the tree the events are told to.
class TreeQuery {
public:
    virtual ~TreeQuery() = default;
    /// Whether the directory with this key is in the watched tree.
    virtual bool holds(int key) const = 0;
    /// Where it is; false for the root and for a key not in the tree.
    virtual bool place(int key, int& parentKey, std::string& name) const = 0;
    /// Whether it is the one with ancestorKey or lies below it.
    virtual bool isWithin(int key, int ancestorKey) const = 0;
    virtual int rootKey() const = 0;
};
