// A kernel interface that reports changes below the watched root: where its
// events are read from, and the disk the tracker watches directories through.
#pragma once

#include <vector>

#include "platform/linux/engine/change_tracker.h"

class EventSource {
public:
    virtual ~EventSource() = default;

    /// The descriptor that becomes readable when events are queued.
    virtual int fd() const = 0;

    /// The disk as this interface watches it.
    virtual Disk& disk() = 0;

    /// What the tracker must be told about this interface.
    virtual ChangeTracker::Options options(bool recursive, DWORD notifyFilter) const = 0;

    /// The tracker the events go to, for an interface that must ask it what
    /// is in the tree, and tell it of directories found there.
    virtual void attach(ChangeTracker&) {}

    /// Receives the events of a read, one at a time and in queue order: the
    /// tracker's state after one event may decide how the next is told.
    class Receiver {
    public:
        virtual ~Receiver() = default;
        /// Returns false when no more events are wanted (the root is gone).
        virtual bool receive(const KernelEvent& event) = 0;
    };

    /// Reads what is queued, about one buffer's worth, and hands each event
    /// over. Returns the bytes read: 0 when nothing was queued.
    virtual size_t read(Receiver& receiver) = 0;

    /// Whether a read that returned this many bytes may have left events in
    /// the queue, so that only another read can tell the queue is empty.
    virtual bool mayHaveMore(size_t bytes) const = 0;

    /// Whether events are queued now, without reading them.
    virtual bool hasQueued() = 0;
};
