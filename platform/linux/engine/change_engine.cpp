#include "platform/linux/engine/change_engine.h"

namespace {

// Records are handed over at least this often during a long run of events,
// so that the reader sees the first lines early.
constexpr size_t kPublishBytes = 64 * 1024;

}  // namespace

ChangeEngine::ChangeEngine(EventSource& source, EngineOutput& output, bool recursive, DWORD notifyFilter)
    : source_(source),
      output_(output),
      tracker_(source.disk(), output, ChangeTracker::Options{recursive, notifyFilter, source.listsNewDirectories()}) {}

// Once the root is gone what is left is only read, to be thrown away, so that
// no one polls a queue that stays readable.
void ChangeEngine::drain(size_t budgetBytes, long long nowMs) {
    size_t consumed = 0;
    for (;;) {
        const size_t got = source_.read(*this, tracker_, nowMs);
        if (got == 0 && !tracker_.lookBeforeQueueEnd()) break;
        output_.publish();
        consumed += got;
        // A move's first half waits for the second, which may be next in the queue.
        if (consumed >= budgetBytes && !source_.holdsBack()) return;
        // Only a read can tell that the queue is empty after the tracker
        // looked at the disk, when the look found something to confirm;
        // otherwise a short read has told it already.
        if (!source_.mayHaveMore(got)) {
            tracker_.lookBeforeQueueEnd();
            if (!tracker_.awaitsQueueEnd()) break;
        }
    }
    // A directory the tree has elsewhere than its path leads, and every event
    // read but a move's first half: that half is the one event left that may
    // explain it, and is told now rather than after its wait.
    if (!ended_ && source_.holdsBack() && tracker_.foundMisplaced()) {
        source_.onTime(source_.dueMs(), *this);
        if (!source_.holdsBack()) return drain(budgetBytes, nowMs);
    }
    // With a first half held back the queue's end is not reached: it comes
    // once the half is told.
    if (!ended_ && !source_.holdsBack()) apply(tracker_.onQueueEmpty());
    output_.publish();
}

void ChangeEngine::settle(size_t budgetBytes, long long nowMs) {
    if (ended_) return;
    if (source_.holdsBack() && source_.hasQueued()) drain(budgetBytes, nowMs);
    if (!ended_ && source_.holdsBack() && nowMs >= source_.dueMs()) {
        source_.onTime(nowMs, *this);
        drain(budgetBytes, nowMs);
    }
    output_.publish();
}

void ChangeEngine::lose() {
    if (ended_) return;
    ChangeEvent overflow;
    overflow.kind = ChangeEvent::Kind::Overflow;
    apply(tracker_.onEvent(overflow));
}

void ChangeEngine::endWithRoot() {
    if (ended_) return;
    ended_ = true;
    output_.publish();
    output_.rootGone();
}

bool ChangeEngine::receive(const ChangeEvent& event) {
    if (ended_) return false;
    ++eventsRead_;
    apply(tracker_.onEvent(event));
    // Between events no rename is split.
    if (output_.pendingBytes() >= kPublishBytes) output_.publish();
    return !ended_;
}

void ChangeEngine::apply(ChangeTracker::Outcome outcome) {
    if (outcome == ChangeTracker::Outcome::Lost) output_.lost();
    if (outcome == ChangeTracker::Outcome::RootGone) endWithRoot();
}
