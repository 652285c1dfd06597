#include "platform/linux/engine/fanotify_source.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/fanotify.h>

#include "platform/linux/engine/linux_disk.h"
#include "platform/linux/engine/linux_ports.h"

namespace {

// An event with three records, each with the largest handle and name.
constexpr size_t kLargestEvent = sizeof(fanotify_event_metadata) + 3 * (sizeof(fanotify_event_info_fid) +
                                                                         sizeof(file_handle) + MAX_HANDLE_SZ +
                                                                         NAME_MAX + 1);
// How far ahead a directory met for the first time is looked for in the
// queue: its moves later in the queue tell where it was at this event. What
// one read holds (the events and their parsed form) is about twice this, and
// a burst spread over directories never met keeps reading that far.
constexpr size_t kLookaheadBytes = 1 << 20;
// Directories known to be outside, kept at most; then learned afresh.
constexpr size_t kOutsideLimit = 1 << 16;
// How many moved entries are looked through for one a new entry replaced.
constexpr size_t kVacateLooks = 64;
// How many moves merged away one after another are followed.
constexpr size_t kMergedChain = 8;
// Deeper than this, a directory's place is not looked up: no real tree is.
constexpr size_t kDeepest = 4096;
// No position in a read.
constexpr size_t kNone = SIZE_MAX;


HandleBytes bytesOf(const file_handle* handle) {
    return {reinterpret_cast<const char*>(handle), sizeof(file_handle) + handle->handle_bytes};
}

}  // namespace

uint64_t FanotifySource::maskFor(DWORD notifyFilter) {
    // Names and moves always: the tree is followed by them. A removed root is
    // seen by its removal from its parent, so no event on every deleted file
    // is asked for.
    uint64_t mask = FAN_CREATE | FAN_DELETE | FAN_RENAME | FAN_ONDIR;
    if (notifyFilter & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE)) mask |= FAN_MODIFY;
    if (notifyFilter & (FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY))
        mask |= FAN_ATTRIB;
    return mask;
}

std::unique_ptr<FanotifySource> FanotifySource::open(int rootFd, DWORD notifyFilter, int& error) {
    std::unique_ptr<FanotifyPort> port = LinuxFanotifyPort::open(rootFd, maskFor(notifyFilter), error);
    if (!port) return nullptr;
    std::string rootHandle = port->handleOf(rootFd, error);
    if (rootHandle.empty()) return nullptr;
    return std::unique_ptr<FanotifySource>(
        new FanotifySource(std::move(port), std::make_unique<LinuxDisk>(rootFd), std::move(rootHandle)));
}

FanotifySource::FanotifySource(FanotifyPort& port, Disk& base, std::string rootHandle, size_t readBytes)
    : port_(port), rootHandle_(std::move(rootHandle)), readBytes_(readBytes), disk_(base, port) {}

FanotifySource::FanotifySource(std::unique_ptr<FanotifyPort> port, std::unique_ptr<Disk> base,
                               std::string rootHandle)
    : ownedPort_(std::move(port)),
      ownedBase_(std::move(base)),
      port_(*ownedPort_),
      rootHandle_(std::move(rootHandle)),
      disk_(*ownedBase_, *ownedPort_) {}

bool FanotifySource::mayHaveMore(size_t bytes) const { return !queueWasEmpty_ && bytes > 0; }

size_t FanotifySource::read(Receiver& receiver, const TreeQuery& tree, long long) {
    receiver_ = &receiver;
    tree_ = &tree;
    stopped_ = false;
    ++reads_;
    // The first piece is kept for the next read; more are needed only when
    // looking far ahead, which is rare.
    if (chunks_.size() > 1) chunks_.resize(1);
    chunksUsed_ = 0;
    events_.clear();
    // Clearing touches every bucket the table ever grew: not when unused.
    if (!leaving_.empty()) leaving_.clear();
    names_.clear();
    bytesRead_ = 0;
    queueWasEmpty_ = false;
    learned_.newRead();
    fill();
    // Looking ahead may read more, so the count is looked at every time.
    for (size_t position = 0; position < events_.size() && !stopped_; ++position) translate(position);
    bool told = false;
    if (queueWasEmpty_ && !stopped_) {
        // Everything that happened before the queue ran empty has been read,
        // the removals merged into earlier events included.
        told = !removals_.empty() || rootDeleted_ || !moves_.empty();
        settleAllRemovals();
        auditMoves();
        // Every rename they waited for has been read: those left moved only
        // outside the tree.
        if (!removedFiles_.empty()) removedFiles_.clear();
        if (rootDeleted_) tell(ChangeEvent::Kind::RootGone, tree.rootKey(), {}, true);
    }
    return bytesRead_ > 0 ? bytesRead_ : told ? 1 : 0;
}

// Reads one more helping of the queue. False when it was empty.
bool FanotifySource::fill() {
    // Not zeroed: the kernel writes what is read.
    if (chunksUsed_ == chunks_.size()) chunks_.emplace_back(new char[readBytes_]);
    char* chunk = chunks_[chunksUsed_].get();
    const size_t got = port_.read(chunk, readBytes_);
    // A read stops well short of a full buffer only when the queue is empty.
    queueWasEmpty_ = got + kLargestEvent <= readBytes_;
    if (queueWasEmpty_) learned_.queueEnded();
    if (got == 0) return false;
    if (chunksUsed_ > 0 && got <= readBytes_ / 4) {
        // Reading on while changes are still being made brings a few events
        // at a time: each helping is kept in a piece of its own size, and
        // the buffer serves the next read, so memory follows what was read.
        std::unique_ptr<char[]> piece(new char[got]);
        std::memcpy(piece.get(), chunk, got);
        chunk = piece.get();
        chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(chunksUsed_), std::move(piece));
    }
    ++chunksUsed_;
    bytesRead_ += got;
    parse(chunk, got);
    return true;
}

// Reads the queue to its end, as far as looking ahead goes; whether it got there.
bool FanotifySource::readToEnd() {
    while (!queueWasEmpty_ && bytesRead_ < kLookaheadBytes && fill()) {
    }
    return queueWasEmpty_;
}

void FanotifySource::parse(const char* data, size_t size) {
    for (size_t at = 0; at + sizeof(fanotify_event_metadata) <= size;) {
        // Copied out: events are laid end to end on 4-byte boundaries, and
        // the metadata's 64-bit mask wants 8.
        fanotify_event_metadata metadata;
        std::memcpy(&metadata, data + at, sizeof metadata);
        if (metadata.event_len < sizeof(fanotify_event_metadata) || at + metadata.event_len > size) break;
        Event event;
        event.mask = metadata.mask;
        event.pid = metadata.pid;
        const char* end = data + at + metadata.event_len;
        for (const char* record = data + at + metadata.metadata_len;
             record + sizeof(fanotify_event_info_header) <= end;) {
            const auto* header = reinterpret_cast<const fanotify_event_info_header*>(record);
            if (header->len == 0) break;
            const auto* handle = reinterpret_cast<const file_handle*>(
                reinterpret_cast<const fanotify_event_info_fid*>(record)->handle);
            const char* name = reinterpret_cast<const char*>(handle) + sizeof(file_handle) + handle->handle_bytes;
            switch (header->info_type) {
            case FAN_EVENT_INFO_TYPE_FID: event.target = handle; break;
            case FAN_EVENT_INFO_TYPE_DFID_NAME:
            case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
                event.dir = handle;
                event.name = name;
                break;
            case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
                event.oldDir = handle;
                event.oldName = name;
                break;
            default: break;
            }
            record += header->len;
        }
        if (event.target != nullptr &&
            (((event.mask & FAN_RENAME) && event.oldDir != nullptr) || ((event.mask & FAN_DELETE) && event.dir != nullptr)))
            leaving_[bytesOf(event.target)].push_back(events_.size());
        if ((event.mask & FAN_Q_OVERFLOW) || ((event.mask & FAN_ONDIR) && (event.mask & (FAN_RENAME | FAN_DELETE))))
            learned_.forget();
        events_.push_back(event);
        at += metadata.event_len;
    }
}

void FanotifySource::translate(size_t position) {
    // A copy: looking ahead may read more events and move the vector.
    const Event event = events_[position];
    if (event.mask & FAN_Q_OVERFLOW) {
        tell(ChangeEvent::Kind::Overflow, -1, {}, false);
        return;
    }
    if (event.mask & FAN_RENAME) {
        translateRename(event, position);
        return;
    }
    if (event.dir == nullptr) return;  // about an object alone: a file's link count
    if (event.name == ".") {
        translateSelf(event, position);
        return;
    }
    if ((event.mask & FAN_DELETE) && event.target != nullptr && bytesOf(event.target) == rootHandle_) {
        rootDeleted_ = true;
        return;
    }
    const int key = locate(event.dir, position);
    if (key < 0) {
        // Removed outside, merged into an earlier event of its name, and
        // renamed into the tree since: told gone where it went.
        if ((event.mask & FAN_DELETE) && !(event.mask & FAN_ONDIR) && event.target != nullptr &&
            renamedLater(event.target, position))
            removedFiles_[std::string(bytesOf(event.target))] = {-1, std::string(event.name)};
        return;
    }
    const bool isDirectory = (event.mask & FAN_ONDIR) != 0;
    const int child = isDirectory && event.target != nullptr ? disk_.keyFor(bytesOf(event.target)) : -1;
    // A directory made and removed at this name left it before a move merged
    // away could bring an entry there.
    settleRemovals(key, event.name, event.target, position);
    if (!(event.mask & FAN_CREATE)) tellMergedMove(event.target, event.name, key, isDirectory, position);
    if (!moves_.empty()) auditMove(event.dir, position);
    if (stopped_) return;  // let go with the rest of the queue
    // One renamed later was removed after that.
    if (isDirectory && (event.mask & FAN_DELETE) && !(event.mask & FAN_CREATE))
        settleRemovalsWhere([&](const Removal& each) { return !comesBack(each, position); });
    // The kernel merges events about one entry while they wait in the queue;
    // they happened in this order.
    if ((event.mask & FAN_CREATE) && !moves_.empty()) vacate(key, event.name, event.target, position);
    if (event.mask & FAN_CREATE) tell(ChangeEvent::Kind::Added, key, event.name, isDirectory, child);
    // A file removed while still open is changed under a name it no longer has.
    const bool gone = !isDirectory && !(event.mask & FAN_CREATE) && event.target != nullptr &&
                      (event.mask & (FAN_MODIFY | FAN_ATTRIB)) && removedAnyway(bytesOf(event.target));
    if (gone) unlinked_.keep(bytesOf(event.target));
    for (const uint64_t bit : {uint64_t{FAN_MODIFY}, uint64_t{FAN_ATTRIB}}) {
        if (!(event.mask & bit) || gone) continue;
        ChangeEvent change;
        change.kind = ChangeEvent::Kind::Modified;
        change.key = key;
        change.name = event.name;
        change.isDirectory = isDirectory;
        change.content = bit == FAN_MODIFY;
        tell(change);
    }
    if (event.mask & FAN_DELETE) {
        if (event.target != nullptr && !moves_.empty()) {
            if (const auto moved = moves_.find(bytesOf(event.target)); moved != moves_.end()) moves_.erase(moved);
        }
        if (event.target != nullptr) noteUnlinked(bytesOf(event.target));
        if (isDirectory && (event.mask & FAN_CREATE)) {
            removals_.push_back(Removal{key, std::string(event.name), child,
                                        event.target != nullptr ? std::string(bytesOf(event.target)) : std::string()});
        } else if (!isDirectory && event.target != nullptr &&
                   (event.mask & ~(FAN_DELETE | FAN_ONDIR) ? renamedAhead(event.target, position)
                                                           : renamedLater(event.target, position))) {
            // Merged into an earlier event of its name, and renamed since:
            // told gone where it went.
            removedFiles_[std::string(bytesOf(event.target))] = {key, std::string(event.name)};
        } else {
            tell(ChangeEvent::Kind::Removed, key, event.name, isDirectory, child);
        }
    }
    forgetUnless(child);
}

void FanotifySource::translateRename(const Event& event, size_t position) {
    const int from = event.oldDir != nullptr ? locate(event.oldDir, position) : -1;
    const int to = event.dir != nullptr ? locate(event.dir, position) : -1;
    if (from < 0 && to < 0) return;
    const bool isDirectory = (event.mask & FAN_ONDIR) != 0;
    const int child = isDirectory && event.target != nullptr ? disk_.keyFor(bytesOf(event.target)) : -1;
    if (isDirectory) {
        settleRemovalsAround(event.target, position);
        auditMovesWithin(event.target, position);
    }
    if (from >= 0) settleRemovals(from, event.oldName, event.target, position);
    if (to >= 0) settleRemovals(to, event.name, event.target, position);
    tellMergedMove(event.target, event.oldName, from, isDirectory, position);
    if (from < 0 && event.oldDir != nullptr && event.target != nullptr && !moves_.empty())
        tellMergedOut(bytesOf(event.target), std::string(bytesOf(event.oldDir)), position);
    if (!moves_.empty()) {
        if (from >= 0) auditMove(event.oldDir, position);
        if (to >= 0 && (event.oldDir == nullptr || bytesOf(event.dir) != bytesOf(event.oldDir)))
            auditMove(event.dir, position);
        if (stopped_) return;
    }
    noteMove(event, from, to);
    // What lies below it may have been taken for outside the tree.
    if (from < 0 && isDirectory) outside_.clear();
    ChangeEvent change;
    change.kind = ChangeEvent::Kind::Moved;
    change.isDirectory = isDirectory;
    change.key = to;
    change.name = to >= 0 ? event.name : std::string_view();
    change.fromKey = from;
    change.fromName = from >= 0 ? event.oldName : std::string_view();
    change.entry = child;
    change.replaced = to >= 0 && replacesEntry(event, position);
    const size_t onward = change.replaced && !isDirectory ? mergedOnto(event, position) : kNone;
    if (onward != kNone) change.replaced = false;
    // A file replaced where a move merged away had taken it: that move first.
    if (change.replaced && !isDirectory && events_[position + 1].target != nullptr)
        tellMergedMove(events_[position + 1].target, event.name, to, false);
    // Nothing replaced where a move told of another left that one: it went on.
    if (to >= 0 && !change.replaced && !moves_.empty()) vacate(to, event.name, event.target, position);
    tell(change);
    if (onward != kNone) {
        // The entry it replaced is gone from where the reader has it, then
        // the file goes on there. By position: telling may read on and move
        // the events.
        const int key = locate(events_[onward].dir, position);
        const std::string_view name = events_[onward].name;
        if (key >= 0) tell(ChangeEvent::Kind::Removed, key, name, false);
        tellMergedMove(event.target, name, key, false);
    }
    forgetUnless(child);
    if (!removedFiles_.empty() && event.target != nullptr) {
        const auto removed = removedFiles_.find(bytesOf(event.target));
        if (removed != removedFiles_.end() && !renamedAhead(event.target, position)) {
            const auto [key, name] = removed->second;
            removedFiles_.erase(removed);
            // Removed under another name: a rename merged into an earlier
            // one took it there first.
            if (to >= 0) {
                const bool elsewhere = (key != to || name != event.name) && tree_->holds(key);
                if (elsewhere) tellMove(bytesOf(event.target), Move{to, std::string(event.name), key, name, false});
                names_.push_back(elsewhere ? name : std::string(event.name));
                tell(ChangeEvent::Kind::Removed, elsewhere ? key : to, names_.back(), false);
            }
        }
    }
}

// The kernel merges a rename into an identical one still queued: moved from
// A to B, back to A, and to B again, an entry shows as two moves that leave it
// in A. A later event naming it in B tells of the move merged away, first.
void FanotifySource::tellMergedMove(const file_handle* target, std::string_view name, int key, bool isDirectory,
                                    size_t position) {
    if (target != nullptr) tellMergedMove(bytesOf(target), name, key, isDirectory, position);
}

void FanotifySource::tellMergedMove(HandleBytes target, std::string_view name, int key, bool isDirectory,
                                    size_t position) {
    if (key < 0 || moves_.empty()) return;
    const auto found = moves_.find(target);
    if (found == moves_.end()) return;
    Move& last = found->second.back();
    if (last.toKey < 0 || !tree_->holds(last.toKey)) {
        // Gone out by its last move, back by one merged into an earlier
        // move in from outside to this place.
        const std::vector<Move>& moves = found->second;
        if (std::none_of(moves.begin(), moves.end(), [&](const Move& each) {
                return (each.fromKey < 0 || !tree_->holds(each.fromKey)) && each.toKey == key && each.toName == name;
            }))
            return;
        const Move merged{-1, std::string(), key, std::string(name), isDirectory};
        found->second.push_back(merged);
        tellMove(target, merged);
        return;
    }
    if (last.toKey == key && last.toName == name) return;
    const Move merged{last.toKey, last.toName, key, std::string(name), isDirectory};
    found->second.push_back(merged);
    // A file made there after the identical earlier move was replaced by it.
    if (position != kNone && !isDirectory && namedOtherAt(target, key, name, position))
        tell(ChangeEvent::Kind::Removed, key, names_.emplace_back(name), false);
    tellMove(target, merged);
}

// An entry made where a move told of another left that one: it had gone on,
// by a move the kernel merged into an identical earlier one from there, which
// is told first. Only while few entries moved: the entries are looked through.
void FanotifySource::vacate(int key, std::string_view name, const file_handle* made, size_t position) {
    if (moves_.size() > kVacateLooks) return;
    for (auto& [target, moves] : moves_) {
        const Move& last = moves.back();
        if (last.toKey != key || last.toName != name || (made != nullptr && target == bytesOf(made))) continue;
        // It left by its removal, unless it came back to be removed: by a
        // rename read later, or merged away, when it is removed there after
        // this one was made.
        if (removedAnyway(target) && !removedElsewhere(target, key, name) && !renamedLater(target, position) &&
            !removedAfter(target, position))
            return;
        const Move* found = nullptr;
        size_t candidates = 0;
        for (auto again = moves.rbegin() + 1; again != moves.rend(); ++again) {
            if (again->fromKey != key || again->fromName != name) continue;
            ++candidates;
            const bool out = again->toKey < 0 || !tree_->holds(again->toKey);
            if (!out && isAt(again->toKey, again->toName, target)) {
                found = &*again;
                break;
            }
            if (found == nullptr) found = &*again;
        }
        if (found == nullptr || (candidates > 1 && !isAt(found->toKey, found->toName, target))) return;
        Move merged = *found;
        if (merged.toKey >= 0 && !tree_->holds(merged.toKey)) merged.toKey = -1;
        moves.push_back(merged);
        if (!merged.isDirectory && merged.toKey >= 0 && namedOtherAt(target, merged.toKey, merged.toName, position))
            tell(ChangeEvent::Kind::Removed, merged.toKey, names_.emplace_back(merged.toName), false);
        tellMove(target, merged);
        return;
    }
}

// Tells a move the kernel merged away; a key of -1 is outside the tree.
void FanotifySource::tellMove(HandleBytes target, const Move& move) {
    names_.push_back(move.fromName);
    const std::string_view fromName = names_.back();
    names_.push_back(move.toName);
    ChangeEvent change;
    change.kind = ChangeEvent::Kind::Moved;
    change.isDirectory = move.isDirectory;
    change.fromKey = move.fromKey;
    change.fromName = fromName;
    if (move.toKey >= 0) {
        change.key = move.toKey;
        change.name = names_.back();
    }
    change.entry = move.isDirectory ? disk_.keyFor(target) : -1;
    tell(change);
}

// Whether a later event renames the object. A removal merged into an earlier
// event of its name came after every rename queued by then: those are read
// first, as far as looking ahead goes.
bool FanotifySource::renamedAhead(const file_handle* target, size_t position) {
    if (renamedLater(target, position)) return true;
    while (!queueWasEmpty_ && bytesRead_ < kLookaheadBytes && fill()) {
        if (renamedLater(target, position)) return true;
    }
    return false;
}

// Whether a later event of this read renames the object.
bool FanotifySource::renamedLater(const file_handle* target, size_t position) const {
    return renamedLater(bytesOf(target), position);
}

bool FanotifySource::renamedLater(HandleBytes target, size_t position) const {
    const auto found = leaving_.find(target);
    if (found == leaving_.end()) return false;
    for (const size_t at : found->second) {
        if (at > position && (events_[at].mask & FAN_RENAME)) return true;
    }
    return false;
}

// Whether a directory whose removal was merged into its making is renamed
// later in this read: it was removed after that, where it came back to.
bool FanotifySource::comesBack(const Removal& removal, size_t position) const {
    return !removal.handle.empty() && renamedLater(removal.handle, position);
}

// Whether the directory with this handle was where the rename went, as far
// as the tree has it: 1 or 0, or -1 where the tree does not place it.
int FanotifySource::heldThere(const file_handle* dir, const Event& rename) const {
    int parentKey = -1;
    std::string name;
    const int key = disk_.find(bytesOf(dir));
    if (key < 0 || !tree_->place(key, parentKey, name)) return -1;
    return parentKey == disk_.find(bytesOf(rename.dir)) && name == rename.name ? 1 : 0;
}

// Whether the object's removal was read: the change the kernel tells of it
// was not a rename's over it.
bool FanotifySource::removedAnyway(HandleBytes handle) const {
    if (unlinked_.contains(handle)) return true;
    const auto found = leaving_.find(handle);
    if (found == leaving_.end()) return false;
    for (const size_t at : found->second) {
        if (events_[at].mask & FAN_DELETE) return true;
    }
    return false;
}

// Whether a removal of the object is read after this position.
bool FanotifySource::removedAfter(HandleBytes handle, size_t position) const {
    const auto found = leaving_.find(handle);
    if (found == leaving_.end()) return false;
    return std::any_of(found->second.begin(), found->second.end(),
                       [&](size_t at) { return at > position && (events_[at].mask & FAN_DELETE); });
}

// Whether the removal read of the object names another place than this:
// it went on from here first.
bool FanotifySource::removedElsewhere(HandleBytes handle, int key, std::string_view name) const {
    const auto found = leaving_.find(handle);
    if (found == leaving_.end()) return false;
    for (const size_t at : found->second) {
        const Event& event = events_[at];
        if ((event.mask & FAN_DELETE) && event.dir != nullptr)
            return event.name != name || disk_.find(bytesOf(event.dir)) != key;
    }
    return false;
}

// A rename over an entry takes that entry's last link: the kernel tells of its
// link count right after the rename, from the same process, by the file's
// handle alone, or as a change of the directory itself ("."), which is then
// gone. An unlink tells the same of a file, followed by the name's removal.
bool FanotifySource::replacesEntry(const Event& rename, size_t position) {
    if (position + 1 >= events_.size()) fill();
    if (position + 1 >= events_.size()) return false;
    const Event next = events_[position + 1];
    if (!(next.mask & FAN_ATTRIB) || next.pid != rename.pid) return false;
    if (rename.mask & FAN_ONDIR) {
        if (!(next.mask & FAN_ONDIR) || next.dir == nullptr || next.name != "." ||
            (rename.target != nullptr && bytesOf(next.dir) == bytesOf(rename.target)))
            return false;
        // One the tree knows was the entry replaced only if it was there; the
        // kernel merges a change of its attributes made before with this one.
        if (const int held = heldThere(next.dir, rename); held >= 0) {
            const bool replaced = held == 1;
            if (replaced) {
                placedVictim_.assign(bytesOf(next.dir));
                // Its moves end here: it is not looked for where they took it.
                moves_.erase(placedVictim_);
            }
            return replaced;
        }
        // Read on, the queue may tell of its removal, seen by the look.
        return goneUnseen(next) && !replacedLater(next, position + 1) && !removedAnyway(bytesOf(next.dir)) &&
               !replacedLaterMaybe(next, position + 1);
    }
    if (next.dir != nullptr || next.target == nullptr ||
        (rename.target != nullptr && bytesOf(next.target) == bytesOf(rename.target)))
        return false;
    if (removedAnyway(bytesOf(next.target))) return false;
    // An unlink queues the link count and the name's removal one after the
    // other, and a read may come between the two: the second is waited for.
    for (int wait = 0; wait < 3 && position + 2 >= events_.size(); ++wait) {
        if (!fill() && port_.awaitEvents(1)) fill();
    }
    const bool replaced = position + 2 >= events_.size() ||
                          !((events_[position + 2].mask & FAN_DELETE) && events_[position + 2].target != nullptr &&
                            bytesOf(events_[position + 2].target) == bytesOf(next.target));
    // Still open somewhere, it may yet be written to: not under that name.
    if (replaced) noteUnlinked(bytesOf(next.target));
    return replaced;
}

void FanotifySource::noteUnlinked(HandleBytes handle) { unlinked_.note(handle); }

// Where in this read the earlier rename of this file is that took it from
// where this rename takes it to the place this read last named the entry the
// rename seems to replace: the kernel merged a second such rename, made
// after this one, into that one, and the second replaced the entry. kNone
// when the entry was last named where this rename goes, or not in this read.
size_t FanotifySource::mergedOnto(const Event& rename, size_t position) const {
    const Event& victim = events_[position + 1];
    if (victim.target == nullptr || rename.target == nullptr || rename.dir == nullptr) return kNone;
    const Event* named = nullptr;
    for (size_t at = position; at-- > 0 && named == nullptr;) {
        const Event& each = events_[at];
        if (each.target != nullptr && each.dir != nullptr && each.name != "." &&
            bytesOf(each.target) == bytesOf(victim.target))
            named = &each;
    }
    if (named == nullptr || (bytesOf(named->dir) == bytesOf(rename.dir) && named->name == rename.name))
        return kNone;
    for (size_t at = 0; at < position; ++at) {
        const Event& each = events_[at];
        if ((each.mask & FAN_RENAME) && each.target != nullptr && bytesOf(each.target) == bytesOf(rename.target) &&
            each.oldDir != nullptr && bytesOf(each.oldDir) == bytesOf(rename.dir) && each.oldName == rename.name &&
            each.dir != nullptr && bytesOf(each.dir) == bytesOf(named->dir) && each.name == named->name)
            return at;
    }
    return kNone;
}

// A directory never met, gone without a removal: a rename replaced it.
bool FanotifySource::goneUnseen(const Event& self) {
    const int key = disk_.find(bytesOf(self.dir));
    std::string parent, name;
    return (key < 0 || !tree_->holds(key)) && !removedAnyway(bytesOf(self.dir)) &&
           !port_.placeOf(bytesOf(self.dir), parent, name);
}

// A directory gone without a removal was the entry a rename replaced: the
// rename right before it tells so (see replacesEntry). When its attributes
// had changed first, the kernel merged the two changes into that first one:
// which later rename replaced it, and so whether the reader held what it
// replaced, is not known, and that is said like any other loss. One that a
// later event moves or removes is not such a one.
bool FanotifySource::placeVictim(const Event& self, size_t position) {
    if (!goneUnseen(self)) return false;
    Link link;
    if (linkAhead(std::string(bytesOf(self.dir)), position, link, true)) return true;
    const Event* before = position > 0 ? &events_[position - 1] : nullptr;
    const bool claimed = before != nullptr && (before->mask & FAN_RENAME) && (before->mask & FAN_ONDIR) &&
                         before->pid == self.pid;
    // Taken now: reading on moves the events (not the records they point into).
    const file_handle* claimedBy = claimed ? before->dir : nullptr;
    // One the tree had in the place the rename took is its victim for sure.
    const bool placed = claimed && placedVictim_ == bytesOf(self.dir);
    // Changed, then replaced by a later rename that tells so itself.
    if (claimed && !placed && replacedLater(self, position)) return true;
    // Replaced outside the tree: never the reader's (the file system's other
    // users rename over directories all the time).
    if (!placed && replacedOnlyOutside(position, claimedBy)) return true;
    if (!claimed || (!placed && replacedLaterMaybe(self, position))) lose();
    return true;
}

// Whether the directory with this handle is outside the tree at the event at
// `position`; false when that is not known.
bool FanotifySource::isOutside(const file_handle* dir, size_t position) {
    if (dir == nullptr) return false;
    // Directories placed on the way are for the events about them, still to
    // come, not for the one being told.
    const size_t placed = places_.size();
    const bool outside = locate(dir, position) < 0 && outside_.find(bytesOf(dir)) != outside_.end();
    places_.resize(placed);
    return outside;
}

// Whether every rename that may have replaced this directory, never met
// before, took another outside the tree. Gone without a removal, it was
// replaced by a rename of a directory made after this event (by any process:
// all are queued by now, so the queue is read to its end), or by the rename
// right before it that may claim it. None at all is not known.
bool FanotifySource::replacedOnlyOutside(size_t position, const file_handle* claimedBy) {
    if (claimedBy != nullptr && !isOutside(claimedBy, position - 1)) return false;
    if (!readToEnd()) return false;
    bool any = claimedBy != nullptr;
    for (size_t at = position + 1; at < events_.size(); ++at) {
        const Event rename = events_[at];
        if (!(rename.mask & FAN_RENAME) || !(rename.mask & FAN_ONDIR)) continue;
        if (!isOutside(rename.dir, at)) return false;
        any = true;
    }
    return any;
}

// Whether a later rename is seen to replace this directory: its link count
// comes right after it. The queue is read on at least once: a look at the
// disk may have seen the rename after this event was read.
bool FanotifySource::replacedLater(const Event& self, size_t position) {
    if (bytesRead_ < kLookaheadBytes) fill();
    for (size_t at = position + 1; at + 1 < events_.size(); ++at) {
        const Event& next = events_[at + 1];
        if ((events_[at].mask & FAN_RENAME) && (events_[at].mask & FAN_ONDIR) && (next.mask & FAN_ATTRIB) &&
            next.dir != nullptr && next.name == "." && bytesOf(next.dir) == bytesOf(self.dir))
            return true;
    }
    return false;
}

// Whether a later rename may be the one that replaced this directory, never
// met before: its link count merged into a change of its attributes made
// right after an unrelated rename. Such a rename is one of a directory by the
// same process, with no victim of its own right after it, to a place no
// event before it names. It was queued before the merge, so before this
// event was read: it is in what is read by now, or still in the kernel's queue.
bool FanotifySource::replacedLaterMaybe(const Event& self, size_t position) {
    if (!readToEnd()) return true;
    // One the tree has elsewhere than where the rename went is not its
    // victim, nor one still on the disk.
    const auto isVictim = [&](size_t at) {
        const Event& next = events_[at];
        if (!(next.mask & FAN_ATTRIB) || !(next.mask & FAN_ONDIR) || next.dir == nullptr || next.name != "." ||
            next.pid != self.pid)
            return false;
        const int held = heldThere(next.dir, events_[at - 1]);
        return held >= 0 ? held == 1 : goneUnseen(next);
    };
    for (size_t at = position + 1; at < events_.size(); ++at) {
        const Event& rename = events_[at];
        if (!(rename.mask & FAN_RENAME) || !(rename.mask & FAN_ONDIR) || rename.pid != self.pid ||
            rename.dir == nullptr || (at + 1 < events_.size() && isVictim(at + 1)))
            continue;
        const auto names = [&](const file_handle* dir, std::string_view name) {
            return dir != nullptr && name == rename.name && bytesOf(dir) == bytesOf(rename.dir);
        };
        // An event of that place about the directory itself is no other's.
        bool named = false;
        for (size_t before = 0; before < at && !named; ++before) {
            const Event& each = events_[before];
            named = (each.target == nullptr || bytesOf(each.target) != bytesOf(self.dir)) &&
                    (names(each.dir, each.name) || names(each.oldDir, each.oldName));
        }
        if (!named) return true;
    }
    return false;
}

// Said like an overflow of the queue, after which the reader looks at the
// disk afresh: what is queued by then happened before that look, and is let
// go unread, with all that waited on it.
void FanotifySource::lose() {
    tell(ChangeEvent::Kind::Overflow, -1, {}, false);
    // The root's own removal may be among what is let go.
    std::string parent, name;
    if (!port_.placeOf(rootHandle_, parent, name)) tell(ChangeEvent::Kind::RootGone, tree_->rootKey(), {}, true);
    stopped_ = true;
    removals_.clear();
    moves_.clear();
    directoriesMoved_ = false;
    removedFiles_.clear();
    outside_.clear();
    std::unique_ptr<char[]> scratch(new char[readBytes_]);
    while (port_.read(scratch.get(), readBytes_) + kLargestEvent > readBytes_) {
    }
}

// An event on a directory itself: told, as inotify tells it, on the
// directory's entry in its parent.
void FanotifySource::translateSelf(const Event& event, size_t position) {
    if (!(event.mask & FAN_ATTRIB) || bytesOf(event.dir) == rootHandle_) return;
    if (placeVictim(event, position)) return;
    const int key = locate(event.dir, position);
    int parentKey = -1;
    std::string name;
    for (const Place& place : places_) {
        if (place.key == key) parentKey = place.parentKey, name = place.name;
    }
    if (key < 0 || (parentKey < 0 && !tree_->place(key, parentKey, name))) return;
    names_.push_back(std::move(name));
    ChangeEvent change;
    change.kind = ChangeEvent::Kind::Modified;
    change.key = parentKey;
    change.name = names_.back();
    change.isDirectory = true;
    tell(change);
}

// Where the directory with this key is: in the tree, or placed for the event
// being translated (met for the first time, it is not in the tree yet).
bool FanotifySource::placeOf(int key, int& parentKey, std::string& name) const {
    if (tree_->place(key, parentKey, name)) return true;
    const Place* place = placedNow(key);
    if (place == nullptr) return false;
    parentKey = place->parentKey;
    name = place->name;
    return true;
}

const Place* FanotifySource::placedNow(int key) const {
    for (const Place& place : places_) {
        if (place.key == key) return &place;
    }
    return nullptr;
}

// Whether the directory with this key is in the tree, or placed for the
// event being translated.
bool FanotifySource::known(int key) const {
    return key >= 0 && (tree_->holds(key) || placedNow(key) != nullptr);
}

// A moved directory the disk had outside, in `parent`, where an earlier move
// took it from the place its last move brought it back to: that move was made
// again, and merged into the first. It is told first.
void FanotifySource::tellMergedOut(HandleBytes dir, const std::string& parent, size_t position) {
    const auto last = moves_.find(dir);
    if (last == moves_.end()) return;
    const Move move = last->second.back();
    const auto& moves = last->second;
    if (std::none_of(moves.begin(), moves.end(),
                     [&](const Move& each) { return each.fromKey == move.toKey && each.fromName == move.toName && each.toKey < 0; }) ||
        !wasOutside(parent, position))
        return;
    const Move merged{move.toKey, move.toName, -1, std::string(), move.isDirectory};
    last->second.push_back(merged);
    tellMove(dir, merged);
}

// Whether the directory with this handle lay outside the tree at the event at
// `position`: no directory the tree knows was above it. Unlike isOutside, it
// places nothing on the way.
bool FanotifySource::wasOutside(std::string handle, size_t position) {
    for (size_t depth = 0; depth < kDeepest; ++depth) {
        if (outside_.find(handle) != outside_.end()) return true;
        if (known(disk_.find(handle))) return false;
        Link link;
        if (!linkBefore(handle, position, link)) return false;
        if (link.parent.empty()) return true;
        handle = std::move(link.parent);
    }
    return false;
}

// The key of the directory with this handle if it is inside the tree at the
// event at `position`, else -1. A directory not met before is placed now,
// with every directory between it and one the tree knows.
int FanotifySource::locate(const file_handle* dir, size_t position) {
    const HandleBytes handle = bytesOf(dir);
    if (const int key = disk_.find(handle); known(key)) return key;
    if (outside_.find(handle) != outside_.end()) return -1;
    std::vector<std::pair<std::string, Link>> chain;
    std::string current(handle);
    int parentKey = -1;
    const unsigned looks = learned_.looks();
    for (size_t depth = 0; depth < kDeepest; ++depth) {
        Link link;
        // Gone, with nothing queued to say where it was: its events are lost
        // with it.
        if (!linkBefore(current, position, link)) return -1;
        chain.emplace_back(current, link);
        if (link.parent.empty() || outside_.find(link.parent) != outside_.end()) break;
        if (const int key = disk_.find(link.parent); known(key)) {
            parentKey = key;
            break;
        }
        current = link.parent;
    }
    if (parentKey < 0) {
        if (outside_.size() + chain.size() > kOutsideLimit) outside_.clear();
        for (const auto& [each, link] : chain) outside_.insert(each);
        return -1;
    }
    // Found inside, where the reader was last told the outermost of them had
    // gone out: a move back in, made before, from outside to this very place,
    // was merged into that earlier one. It is told first, and what lies in
    // it is then where the reader has it.
    const auto& [outermost, outermostLink] = chain.back();
    if (const auto moved = moves_.empty() ? moves_.end() : moves_.find(outermost);
        moved != moves_.end() && (moved->second.back().toKey < 0 || !tree_->holds(moved->second.back().toKey))) {
        const size_t told = moved->second.size();
        tellMergedMove(outermost, outermostLink.name, parentKey, true);
        // Telling may reach the tracker and back: the table is looked up again.
        if (const auto after = moves_.find(outermost); after != moves_.end() && after->second.size() != told)
            return locate(dir, position);
    }
    // Their siblings are likely to be met next.
    if (learned_.looks() != looks) {
        for (const auto& [each, link] : chain) learned_.learnIn(port_, link.parent, each);
    }
    for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
        const int key = disk_.keyFor(step->first);
        names_.push_back(std::move(step->second.name));
        places_.push_back(Place{key, parentKey, names_.back()});
        parentKey = key;
    }
    return parentKey;
}

// Where the directory was at the event at `position`: where the first later
// event that moves or removes it says it was, or else where the disk has it
// with every event queued so far read.
bool FanotifySource::linkBefore(const std::string& handle, size_t position, Link& link) {
    if (linkAhead(handle, position, link, false)) return true;
    // One learned since the queue's end was last found is trusted once it is
    // found again: a read is cheaper than a look. What it reads may say.
    if (learned_.awaits(handle) && bytesRead_ < kLookaheadBytes && fill() &&
        linkAhead(handle, position, link, false))
        return true;
    if (learned_.take(handle, link.parent, link.name)) return true;
    learned_.looked();
    if (port_.placeOf(handle, link.parent, link.name)) {
        // Every move made before that look is queued by now, and read here.
        // A read that stops short of a full buffer has read them all (most
        // often it finds the queue empty); after a full one, no further than
        // the events queued right after the look (the kernel counts each as
        // its metadata alone), not on through a stream of changes made since.
        if (bytesRead_ < kLookaheadBytes && fill()) {
            const size_t queued = queueWasEmpty_ ? 0 : port_.queuedBytes();
            linkAhead(handle, position, link, true, events_.size() + queued / sizeof(fanotify_event_metadata));
        }
        return true;
    }
    // One gone has its removal queued, so it is looked for a while longer,
    // as long as this read may read on.
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (linkAhead(handle, position, link, true)) return true;
        if (bytesRead_ >= kLookaheadBytes || port_.queuedBytes() == 0) break;
    }
    return false;
}

bool FanotifySource::linkAhead(const std::string& handle, size_t position, Link& link, bool readMore,
                               size_t untilEvents) {
    for (;;) {
        if (const auto found = leaving_.find(handle); found != leaving_.end()) {
            const auto later = std::upper_bound(found->second.begin(), found->second.end(), position);
            if (later != found->second.end()) {
                const Event& event = events_[*later];
                const bool renamed = (event.mask & FAN_RENAME) && event.oldDir != nullptr;
                link = renamed ? Link{std::string(bytesOf(event.oldDir)), std::string(event.oldName)}
                               : Link{std::string(bytesOf(event.dir)), std::string(event.name)};
                return true;
            }
        }
        if (!readMore || bytesRead_ >= kLookaheadBytes || events_.size() >= untilEvents || !fill()) return false;
    }
}

void FanotifySource::tell(ChangeEvent event) {
    if (stopped_) return;
    event.places = places_;
    if (!receiver_->receive(event)) stopped_ = true;
    places_.clear();
}

void FanotifySource::tell(ChangeEvent::Kind kind, int key, std::string_view name, bool isDirectory, int entry) {
    ChangeEvent event;
    event.kind = kind;
    event.key = key;
    event.name = name;
    event.isDirectory = isDirectory;
    event.entry = entry;
    tell(event);
}

// A later entry under the name of a directory whose removal was merged into
// its creation comes after that removal, unless the directory is renamed
// later: it came back to be removed.
void FanotifySource::settleRemovals(int key, std::string_view name, const file_handle* target, size_t position) {
    for (const Removal& removal : removals_) {
        if (removal.parentKey == key && removal.name == name && (target == nullptr || removal.handle != bytesOf(target)) &&
            !comesBack(removal, position)) {
            // That one, with what was removed inside it.
            const std::string handle = removal.handle;
            const int child = removal.child;
            settleRemovalsWhere([&](const Removal& each) {
                return (each.parentKey == key && each.name == name && each.handle == handle) ||
                       (child >= 0 && tree_->isWithin(each.parentKey, child));
            });
            return;
        }
    }
}

void FanotifySource::settleRemovalsWhere(const std::function<bool(const Removal&)>& now) {
    std::vector<Removal> due, later;
    for (Removal& removal : removals_) (now(removal) ? due : later).push_back(std::move(removal));
    removals_ = std::move(due);
    settleAllRemovals();
    removals_ = std::move(later);
}

void FanotifySource::settleAllRemovals() {
    // The innermost first, as they were removed.
    // Where it is by now, if it moved before it was removed.
    while (!removals_.empty()) {
        Removal removal = std::move(removals_.back());
        removals_.pop_back();
        tree_->place(removal.child, removal.parentKey, removal.name);
        names_.push_back(std::move(removal.name));
        tell(ChangeEvent::Kind::Removed, removal.parentKey, names_.back(), true, removal.child);
    }
}

// A directory removed while merged into its making, inside one that moves,
// is told gone before the move: its path is about to change, and the path
// printed must be one that it had. The others wait for what comes in their
// place, or the queue's end: the moved one itself, or one that holds either
// end of the move, was removed after it.
void FanotifySource::settleRemovalsAround(const file_handle* moved, size_t position) {
    const int movedKey = moved != nullptr ? disk_.find(bytesOf(moved)) : -1;
    if (movedKey < 0 || !tree_->holds(movedKey)) return;
    // One the tree has elsewhere keeps its path; a later move brings it back
    // to where it was removed. One renamed later was removed after that.
    settleRemovalsWhere([&](const Removal& each) {
        return tree_->isWithin(each.parentKey, movedKey) &&
               (each.child < 0 || !tree_->holds(each.child) || tree_->isWithin(each.child, movedKey)) &&
               !comesBack(each, position);
    });
}

void FanotifySource::noteMove(const Event& event, int from, int to) {
    if (event.target == nullptr) return;
    if (event.mask & FAN_ONDIR) directoriesMoved_ = true;
    moves_[std::string(bytesOf(event.target))].push_back(
        Move{from, std::string(event.oldName), to, std::string(event.name), (event.mask & FAN_ONDIR) != 0});
}

// The kernel merges an event into an identical one still queued, renames
// included: moved from A to B, back to A, and to B again before the queue is
// read, an entry shows as two moves that leave it in A. With the queue read
// to its end, each entry moved since is looked for where its last move put
// it; one not there made again a move told before from that place, and is
// found where that move took it.
void FanotifySource::auditMoves() {
    std::vector<std::pair<std::string, std::vector<Move>>> missed;
    bool gone = false;
    for (const auto& [target, moves] : moves_) {
        const Move& last = moves.back();
        // Where the last move put it has gone since: it went with it, unless
        // a move merged away had taken it on from there first.
        const bool leftBehind = last.toKey >= 0 && !tree_->holds(last.toKey);
        if (last.toKey >= 0 && !leftBehind && isAt(last.toKey, last.toName, target)) continue;
        // Removed since, in an event merged ahead of the moves: not there
        // for that reason alone.
        if (removedAnyway(target)) continue;
        // Several moves may have been merged away one after the other: each
        // leaves the place the one before it went to.
        std::vector<Move> chain;
        bool found = false;
        int key = last.toKey;
        std::string name = last.toName;
        for (size_t step = 0; step < kMergedChain && !found; ++step) {
            const Move* next = nullptr;
            for (auto again = moves.rbegin() + 1; again != moves.rend(); ++again) {
                if (again->fromKey != key || again->fromName != name) continue;
                const bool out = again->toKey < 0 || !tree_->holds(again->toKey);
                if ((out && last.toKey >= 0 && !leftBehind) || (!out && isAt(again->toKey, again->toName, target))) {
                    next = &*again;
                    found = true;
                    break;
                }
                if (next == nullptr && !out) next = &*again;
            }
            if (next == nullptr) break;
            chain.push_back(*next);
            key = next->toKey;
            name = next->toName;
        }
        if (found) {
            missed.emplace_back(target, std::move(chain));
            continue;
        }
        if (leftBehind) continue;
        // A directory the reader holds, gone from the disk with no removal
        // read: a rename replaced it, and the kernel merged the change of its
        // link count into an earlier change of it. Which rename is not known.
        std::string parent, place;
        if (last.isDirectory && last.toKey >= 0 && !port_.placeOf(target, parent, place)) gone = true;
    }
    // A move made while this looked is queued and tells more: the look is
    // made again when the queue is next empty.
    if ((!missed.empty() || gone) && port_.queuedBytes() > 0) return;
    if (gone) {
        lose();
        return;
    }
    moves_.clear();
    directoriesMoved_ = false;
    for (auto& [target, chain] : missed) {
        for (Move& move : chain) {
            if (move.toKey >= 0 && !tree_->holds(move.toKey)) move.toKey = -1;
            if (move.fromKey >= 0 && !tree_->holds(move.fromKey)) move.fromKey = -1;
            // A file made there since, or moved there, was replaced by it.
            if (!move.isDirectory && move.toKey >= 0 && namedOtherAt(target, move.toKey, move.toName, events_.size()))
                tell(ChangeEvent::Kind::Removed, move.toKey, move.toName, false);
            tellMove(target, move);
        }
    }
}

// Whether the last event of this read before `end` that names the place
// (key, name) put another file than `target` there: the reader holds that one.
bool FanotifySource::namedOtherAt(HandleBytes target, int key, std::string_view name, size_t end) const {
    const HandleBytes dir = disk_.handle(key);
    for (size_t at = end; at-- > 0;) {
        const Event& each = events_[at];
        if ((each.mask & FAN_RENAME) && each.oldDir != nullptr && bytesOf(each.oldDir) == dir && each.oldName == name)
            return false;
        if (each.dir == nullptr || bytesOf(each.dir) != dir || each.name != name) continue;
        if ((each.mask & FAN_DELETE) || (each.mask & FAN_ONDIR) || each.target == nullptr) return false;
        return (each.mask & (FAN_CREATE | FAN_RENAME)) && bytesOf(each.target) != target;
    }
    return false;
}

// Before a directory moves, the entries moved inside it that are no longer
// where their last move put it made again a move told before from there:
// the place a later event takes one from says where it went, or, with none
// read or queued, the disk. That move is told under the path it had before
// this one, which it had either way. Only while few entries moved: they are
// looked through.
void FanotifySource::auditMovesWithin(const file_handle* moved, size_t position) {
    const int movedKey = moved != nullptr ? disk_.find(bytesOf(moved)) : -1;
    if (moves_.empty() || moves_.size() > kVacateLooks || movedKey < 0 || !tree_->holds(movedKey)) return;
    for (auto& [target, moves] : moves_) {
        const Move last = moves.back();
        if (last.toKey < 0 || !tree_->holds(last.toKey) || !tree_->isWithin(last.toKey, movedKey)) continue;
        Link link;
        int key = -1;
        if (linkAhead(target, position, link, false)) {
            key = disk_.find(link.parent);
        } else if (isAt(last.toKey, last.toName, target) || !readToEnd() || removedAnyway(target)) {
            continue;
        } else if (linkAhead(target, position, link, false)) {
            key = disk_.find(link.parent);
        }
        for (auto again = moves.rbegin() + 1; again != moves.rend(); ++again) {
            if (again->fromKey != last.toKey || again->fromName != last.toName) continue;
            // Not where it was and moved out from there before: out again.
            const bool out = again->toKey < 0 || !tree_->holds(again->toKey);
            // A directory whose handle no longer opens did not go out: a
            // rename replaced it, and that rename tells it gone.
            if (out ? link.parent.empty() && (!last.isDirectory || existsAnywhere(target))
                    : link.parent.empty() ? isAt(again->toKey, again->toName, target)
                                          : key == again->toKey && link.name == again->toName) {
                const Move merged{last.toKey, last.toName, out ? -1 : again->toKey, again->toName, last.isDirectory};
                moves.push_back(merged);
                tellMove(target, merged);
                break;
            }
        }
    }
}

// A change in a directory that moved while its events were queued: if the
// disk has it elsewhere than its last move took it, and nothing queued moves
// it again, the kernel merged a later move into an identical earlier one,
// and that move is told first, so the change gets the path it happened under.
// Most often it went back where it came from; anywhere else is trusted only
// with the queue read to its end, since a move not read yet may have taken it
// there, unless a later event about it says where it was. Whether the move
// came before the changes in it or after is not known: told first, it gives
// them the paths their entries had once both were made, which existed unless
// something in it went from there by then. If it may have, that is said like
// any other loss.
void FanotifySource::auditMove(const file_handle* dir, size_t position) {
    // A change below a directory moved is a change in it.
    std::vector<HandleBytes> moved;
    if (moves_.find(bytesOf(dir)) != moves_.end()) moved.push_back(bytesOf(dir));
    if (directoriesMoved_) {
        int parentKey = disk_.find(bytesOf(dir));
        std::string name;
        for (size_t depth = 0; depth < kDeepest && placeOf(parentKey, parentKey, name); ++depth) {
            const HandleBytes handle = disk_.handle(parentKey);
            if (moves_.find(handle) != moves_.end()) moved.push_back(handle);
        }
    }
    // The outermost first: the path of what lies in it follows.
    for (auto each = moved.rbegin(); each != moved.rend() && !stopped_; ++each) auditMoveOf(*each, position);
}

void FanotifySource::auditMoveOf(HandleBytes dir, size_t position) {
    const auto last = moves_.find(dir);
    if (last == moves_.end()) return;
    const Move move = last->second.back();
    if (move.toKey < 0 || !tree_->holds(move.toKey)) return;
    int key = move.fromKey;
    std::string name = move.fromName;
    if (renamedLater(dir, position)) {
        // Moved on later from somewhere else than its last move took it: a
        // move made before, from there to that place, was merged away.
        Link link;
        if (!linkAhead(std::string(dir), position, link, false)) return;
        key = disk_.find(link.parent);
        name = std::move(link.name);
        if (key < 0 || !tree_->holds(key)) return tellMergedOut(dir, link.parent, position);
        if (key == move.toKey && name == move.toName) return;
        const auto& moves = last->second;
        if (std::none_of(moves.begin(), moves.end(), [&](const Move& each) {
                return each.fromKey == move.toKey && each.fromName == move.toName && each.toKey == key &&
                       each.toName == name;
            }))
            return;
    } else if (move.seenThere == reads_ || isAt(move.toKey, move.toName, dir)) {
        last->second.back().seenThere = reads_;
        return;
    } else if (key < 0 || !tree_->holds(key) || !isAt(key, name, dir)) {
        Link link;
        if (!linkAhead(std::string(dir), position, link, true) &&
            (port_.queuedBytes() > 0 || !port_.placeOf(dir, link.parent, link.name)))
            return;
        key = disk_.find(link.parent);
        name = std::move(link.name);
        if (key < 0 || !tree_->holds(key)) return tellMergedOut(dir, link.parent, position);
    }
    if (key == move.toKey && name == move.toName) return;
    if (leavesFrom(dir, position)) {
        lose();
        return;
    }
    const Move merged{move.toKey, move.toName, key, std::move(name), move.isDirectory};
    last->second.push_back(merged);
    tellMove(dir, merged);
}

// Whether anything in dir, or below it, goes from where it was at the event
// at `position` or after it: told under the path a merged move gave, it may
// never have been there. So it may, where the queue cannot be read to its end.
bool FanotifySource::leavesFrom(HandleBytes dir, size_t position) {
    const int dirKey = disk_.find(dir);
    if (!readToEnd()) return true;
    // One not met yet may be below it, unless it is known to be outside.
    const auto within = [&](const file_handle* each) {
        const int key = disk_.find(bytesOf(each));
        if (key >= 0 && tree_->holds(key)) return tree_->isWithin(key, dirKey);
        return outside_.find(bytesOf(each)) == outside_.end();
    };
    for (size_t at = position; at < events_.size(); ++at) {
        const Event& each = events_[at];
        if (((each.mask & FAN_DELETE) && each.dir != nullptr && within(each.dir)) ||
            ((each.mask & FAN_RENAME) && each.oldDir != nullptr && within(each.oldDir)))
            return true;
    }
    return false;
}

bool FanotifySource::existsAnywhere(HandleBytes dir) {
    std::string parent, name;
    return port_.placeOf(dir, parent, name);
}

bool FanotifySource::isAt(int dirKey, const std::string& name, HandleBytes target) {
    const HandleBytes dirHandle = disk_.handle(dirKey);
    return !dirHandle.empty() && port_.holds(dirHandle, name, target);
}

// A key given to a directory the tree did not take in is let go again.
void FanotifySource::forgetUnless(int child) {
    if (child >= 0 && !tree_->holds(child)) disk_.forget(child, false);
}
