// The engine without threads, descriptors or clocks of its own: a kernel
// interface's events read in helpings and handed to the change tracker, the
// queue's end and the passing of time told to it, and its records passed on.
// The monitor (change_monitor.h) runs it on the real kernel under its lock;
// the simulation runs it on a model of the kernel, one step at a time.
#pragma once

#include <cstddef>

#include "platform/linux/engine/change_tracker.h"
#include "platform/linux/engine/event_source.h"

/// Where the engine's results go: the tracker's records, then when each
/// gathering of them is ready to be handed over.
class EngineOutput : public RecordSink {
public:
    /// Bytes gathered since the last publish.
    virtual size_t pendingBytes() const = 0;
    /// Hands over what was gathered: never between the halves of a rename.
    virtual void publish() = 0;
    /// What was gathered since the last publish is dropped with what it
    /// says, and the reader is told that changes were lost (an overflow).
    virtual void lost() = 0;
    /// The watched directory is gone; everything before it is published.
    virtual void rootGone() = 0;
};

class ChangeEngine : private EventSource::Receiver {
public:
    ChangeEngine(EventSource& source, EngineOutput& output, bool recursive, DWORD notifyFilter);

    /// Watches the tree; 0 or the errno that kept part of it from being watched.
    int start() { return tracker_.start(); }

    /// Reads the kernel's queue until it is empty, or until budgetBytes of
    /// events have been read; at its end, tells the tracker so.
    void drain(size_t budgetBytes, long long nowMs);
    /// Reads a move's second half that came while the queue's end was
    /// handled, tells what waited for time, and publishes.
    void settle(size_t budgetBytes, long long nowMs);
    /// When settle next has something to do even if nothing is queued.
    long long dueMs() const { return source_.dueMs(); }
    /// Changes were lost outside the kernel's queue (memory ran out): the
    /// reader is told so, and the tracker starts afresh from the disk.
    void lose();
    /// The mount table changed.
    void mountsChanged() {
        if (ended_) return;
        apply(tracker_.onMountsChanged());
        output_.publish();
    }
    /// The root went away: nothing more is read.
    void endWithRoot();
    bool ended() const { return ended_; }
    /// Events handed to the tracker so far.
    unsigned long long eventsRead() const { return eventsRead_; }

private:
    bool receive(const ChangeEvent& event) override;
    void apply(ChangeTracker::Outcome outcome);

    EventSource& source_;
    EngineOutput& output_;
    ChangeTracker tracker_;
    bool ended_ = false;
    unsigned long long eventsRead_ = 0;
};
