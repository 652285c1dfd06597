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

    /// Reads at most one buffer of queued events and appends them to events,
    /// in queue order; they stay valid until the next call. Returns the bytes
    /// read: 0 when nothing was queued.
    virtual size_t read(std::vector<KernelEvent>& events) = 0;

    /// Whether a read that returned this many bytes may have left events in
    /// the queue, so that only another read can tell the queue is empty.
    virtual bool mayHaveMore(size_t bytes) const = 0;
};
