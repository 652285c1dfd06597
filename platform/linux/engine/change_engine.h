// The engine without threads, descriptors or clocks of its own: a kernel
// interface's events read in helpings and handed to the change tracker, the
// queue's end and the passing of time told to it, and its records passed on.
// The monitor (change_monitor.h) runs it on the real kernel under its lock;
// the simulation runs it on a model of the kernel, one step at a time.
#pragma once

#include <cstddef>

#include "platform/linux/engine/change_tracker.h"
#include "platform/linux/engine/event_source.h"

/// Where the engine's results go.
class EngineOutput : public RecordSink {
public:
    /// Records were dropped (the tree is watched afresh): an overflow.
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
    /// Reads a move's second half that came while the queue's end was handled,
    /// then does what time made due, and publishes.
    void settle(size_t budgetBytes, long long nowMs);
    /// When settle next has something to do even if nothing is queued.
    long long dueMs() const { return tracker_.dueMs(); }
    /// The root went away: what waits is told, and nothing more is read.
    void endWithRoot();
    bool ended() const { return ended_; }

private:
    bool receive(const KernelEvent& event) override;
    void apply(ChangeTracker::Outcome outcome);

    EventSource& source_;
    EngineOutput& output_;
    ChangeTracker tracker_;
    long long nowMs_ = 0;
    bool ended_ = false;
};
