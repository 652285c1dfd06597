// A kernel interface that reports changes below the watched root: where its
// events are read from, the disk its directories are watched through, and
// its events turned into ChangeEvents.
#pragma once

#include <climits>
#include <cstddef>

#include "platform/linux/engine/change_event.h"
#include "platform/linux/engine/disk.h"
#include "platform/platform.h"

class EventSource {
public:
    virtual ~EventSource() = default;

    /// The descriptor that becomes readable when events are queued.
    virtual int fd() const = 0;

    /// The disk as this interface watches it.
    virtual Disk& disk() = 0;

    /// Whether a directory made in the tree must be listed once watched,
    /// because what was made in it before then was not seen (inotify).
    virtual bool listsNewDirectories() const = 0;

    /// Takes the events of a read, one at a time and in the order of the
    /// changes: what one does to the tree may decide how the next is told.
    class Receiver {
    public:
        virtual ~Receiver() = default;
        /// Returns false when no more events are wanted (the root is gone).
        virtual bool receive(const ChangeEvent& event) = 0;
    };

    /// Reads what is queued, about one buffer's worth, and hands each event
    /// over. Returns the bytes read: 0 when nothing was queued.
    virtual size_t read(Receiver& receiver, const TreeQuery& tree, long long nowMs) = 0;

    /// Whether a read that returned this many bytes may have left events in
    /// the queue, so that only another read can tell the queue is empty.
    virtual bool mayHaveMore(size_t bytes) const = 0;

    /// Whether events are queued now, without reading them.
    virtual bool hasQueued() = 0;

    /// Whether the interface holds an event back until its partner comes or
    /// time runs out (a move's first half): the queue is not read to its end.
    virtual bool holdsBack() const { return false; }
    /// When onTime next has something to tell; LLONG_MAX for never.
    virtual long long dueMs() const { return LLONG_MAX; }
    /// Tells what was held back and is due by now.
    virtual void onTime(long long, Receiver&) {}
};
