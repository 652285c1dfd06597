#include "platform/linux/engine/change_engine.h"

#include <cstdint>

ChangeEngine::ChangeEngine(EventSource& source, EngineOutput& output, bool recursive, DWORD notifyFilter)
    : source_(source), output_(output), tracker_(source.disk(), output, source.options(recursive, notifyFilter)) {
    source_.attach(tracker_);
}

// Once the root is gone what is left is only read, to be thrown away, so that
// no one polls a queue that stays readable.
void ChangeEngine::drain(size_t budgetBytes, long long nowMs) {
    size_t consumed = 0;
    for (;;) {
        nowMs_ = nowMs;
        const size_t got = source_.read(*this);
        if (got == 0) break;
        tracker_.publish();
        consumed += got;
        // A move's first half waits for the second, which may be next in the queue.
        if (consumed >= budgetBytes && !tracker_.awaitingSecondHalf()) return;
        // Only a read can tell that the queue is empty after the tracker
        // looked at the disk; otherwise a short read has told it already.
        if (!source_.mayHaveMore(got) && !tracker_.awaitsEmptyQueue()) break;
    }
    if (ended_) return;
    apply(tracker_.onQueueEmpty(nowMs));
    tracker_.publish();
}

// The end of the queue takes time to handle (listings), and a move's second
// half may have come meanwhile: it is read before the first half is given up
// as a move out of the tree.
void ChangeEngine::settle(size_t budgetBytes, long long nowMs) {
    if (ended_) return;
    if (tracker_.awaitingSecondHalf() && source_.hasQueued()) drain(budgetBytes, nowMs);
    apply(tracker_.onTime(nowMs));
    tracker_.publish();
}

void ChangeEngine::endWithRoot() {
    if (ended_) return;
    tracker_.finish();
    ended_ = true;
    output_.rootGone();
}

bool ChangeEngine::receive(const KernelEvent& event) {
    if (ended_) return false;
    apply(tracker_.onEvent(event, nowMs_));
    if (tracker_.publishDue()) tracker_.publish();
    return !ended_;
}

void ChangeEngine::apply(ChangeTracker::Outcome outcome) {
    // Records made before the loss are dropped with it; those after it are
    // published after the overflow that says so.
    if (outcome == ChangeTracker::Outcome::Lost) output_.lost();
    if (outcome == ChangeTracker::Outcome::RootGone) endWithRoot();
}
