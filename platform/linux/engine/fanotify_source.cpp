#include "platform/linux/engine/fanotify_source.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>

#include "platform/linux/engine/linux_disk.h"
#include "platform/linux/engine/linux_ports.h"

namespace {

// An event with three records, each with the largest handle and name.
constexpr size_t kLargestEvent = sizeof(fanotify_event_metadata) + 3 * (sizeof(fanotify_event_info_fid) +
                                                                         sizeof(file_handle) + MAX_HANDLE_SZ +
                                                                         NAME_MAX + 1);
// How far ahead a directory met for the first time is looked for in the
// queue: its moves later in the queue tell where it was at this event.
constexpr size_t kLookaheadBytes = 2 << 20;
// Directories known to be outside, kept at most; then learned afresh.
constexpr size_t kOutsideLimit = 1 << 16;
// Deeper than this, a directory's place is not looked up: no real tree is.
constexpr size_t kDeepest = 4096;


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

ChangeTracker::Options FanotifySource::options(bool recursive, DWORD notifyFilter) const {
    // Changes anywhere are reported, a new directory's first ones included.
    return ChangeTracker::Options{recursive, notifyFilter, false, false};
}

bool FanotifySource::mayHaveMore(size_t bytes) const { return !queueWasEmpty_ && bytes > 0; }

size_t FanotifySource::read(Receiver& receiver) {
    receiver_ = &receiver;
    stopped_ = false;
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
    fill();
    // Looking ahead may read more, so the count is looked at every time.
    for (size_t position = 0; position < events_.size() && !stopped_; ++position) translate(position);
    bool delivered = false;
    if (queueWasEmpty_ && !stopped_) {
        // Everything that happened before the queue ran empty has been read,
        // the removals merged into earlier events included.
        delivered = !removals_.empty() || rootDeleted_ || !moves_.empty();
        settleAllRemovals();
        auditMoves();
        if (rootDeleted_ && !stopped_) deliver(tracker_->rootKey(), IN_DELETE_SELF, {});
    }
    return bytesRead_ > 0 ? bytesRead_ : delivered ? 1 : 0;
}

// Reads one more helping of the queue. False when it was empty.
bool FanotifySource::fill() {
    // Not zeroed: the kernel writes what is read.
    if (chunksUsed_ == chunks_.size()) chunks_.emplace_back(new char[readBytes_]);
    char* chunk = chunks_[chunksUsed_].get();
    const size_t got = port_.read(chunk, readBytes_);
    // A read stops well short of a full buffer only when the queue is empty.
    queueWasEmpty_ = got + kLargestEvent <= readBytes_;
    if (got == 0) return false;
    ++chunksUsed_;
    bytesRead_ += got;
    parse(chunk, got);
    return true;
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
        if ((event.mask & FAN_ONDIR) && event.target != nullptr &&
            (((event.mask & FAN_RENAME) && event.oldDir != nullptr) || ((event.mask & FAN_DELETE) && event.dir != nullptr)))
            leaving_[bytesOf(event.target)].push_back(events_.size());
        events_.push_back(event);
        at += metadata.event_len;
    }
}

void FanotifySource::translate(size_t position) {
    // A copy: looking ahead may read more events and move the vector.
    const Event event = events_[position];
    if (event.mask & FAN_Q_OVERFLOW) {
        deliver(-1, IN_Q_OVERFLOW, {});
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
    if (key < 0) return;
    const uint32_t isDirectory = (event.mask & FAN_ONDIR) ? IN_ISDIR : 0;
    const int child = isDirectory && event.target != nullptr ? disk_.keyFor(bytesOf(event.target)) : -1;
    if (isDirectory && (event.mask & FAN_DELETE) && !(event.mask & FAN_CREATE)) settleAllRemovals();
    settleRemovals(key, event.name, child);
    // The kernel merges events about one entry while they wait in the queue;
    // they happened in this order.
    if (event.mask & FAN_CREATE) deliver(key, IN_CREATE | isDirectory, event.name, child);
    if (event.mask & FAN_MODIFY) deliver(key, IN_MODIFY | isDirectory, event.name);
    if (event.mask & FAN_ATTRIB) deliver(key, IN_ATTRIB | isDirectory, event.name);
    if (event.mask & FAN_DELETE) {
        if (event.target != nullptr && !moves_.empty()) {
            if (const auto moved = moves_.find(bytesOf(event.target)); moved != moves_.end()) moves_.erase(moved);
        }
        if (isDirectory && (event.mask & FAN_CREATE)) {
            removals_.push_back(Removal{key, std::string(event.name), child});
        } else {
            deliver(key, IN_DELETE | isDirectory, event.name, child);
        }
    }
    forgetUnless(child);
}

void FanotifySource::translateRename(const Event& event, size_t position) {
    const int from = event.oldDir != nullptr ? locate(event.oldDir, position) : -1;
    const int to = event.dir != nullptr ? locate(event.dir, position) : -1;
    if (from < 0 && to < 0) return;
    const uint32_t isDirectory = (event.mask & FAN_ONDIR) ? IN_ISDIR : 0;
    const int child = isDirectory && event.target != nullptr ? disk_.keyFor(bytesOf(event.target)) : -1;
    if (isDirectory) settleRemovalsAround(from, to);
    if (from >= 0) settleRemovals(from, event.oldName, child);
    if (to >= 0) settleRemovals(to, event.name, child);
    noteMove(event, from, to);
    if (from >= 0 && to >= 0) {
        ++cookie_;
        deliver(from, IN_MOVED_FROM | isDirectory, event.oldName, child, cookie_);
        deliver(to, IN_MOVED_TO | isDirectory, event.name, child, cookie_);
    } else if (from >= 0) {
        deliver(from, IN_MOVED_FROM | isDirectory, event.oldName, child, 0, true);
    } else {
        // What lies below it may have been taken for outside the tree.
        if (isDirectory) outside_.clear();
        deliver(to, IN_MOVED_TO | isDirectory, event.name, child);
    }
    forgetUnless(child);
}

// An event on a directory itself: reported, as inotify reports it, on the
// directory's entry in its parent.
void FanotifySource::translateSelf(const Event& event, size_t position) {
    if (!(event.mask & FAN_ATTRIB) || bytesOf(event.dir) == rootHandle_) return;
    const int key = locate(event.dir, position);
    int parentKey = -1;
    std::string name;
    if (key < 0 || !tracker_->locate(key, parentKey, name)) return;
    names_.push_back(std::move(name));
    deliver(parentKey, IN_ATTRIB | IN_ISDIR, names_.back());
}

// The key of the directory with this handle if it is inside the tree at the
// event at `position`, else -1. A directory not met before is placed now,
// with every directory between it and one the tracker knows.
int FanotifySource::locate(const file_handle* dir, size_t position) {
    const HandleBytes handle = bytesOf(dir);
    if (const int key = disk_.find(handle); key >= 0 && tracker_->watches(key)) return key;
    if (outside_.find(handle) != outside_.end()) return -1;
    std::vector<std::pair<std::string, Link>> chain;
    std::string current(handle);
    int parentKey = -1;
    for (size_t depth = 0; depth < kDeepest; ++depth) {
        Link link;
        // Gone, with nothing queued to say where it was: its events are lost
        // with it.
        if (!linkBefore(current, position, link)) return -1;
        chain.emplace_back(current, link);
        if (link.parent.empty() || outside_.find(link.parent) != outside_.end()) break;
        if (const int key = disk_.find(link.parent); key >= 0 && tracker_->watches(key)) {
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
    for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
        const int key = disk_.keyFor(step->first);
        tracker_->adopt(key, parentKey, step->second.name);
        parentKey = key;
    }
    return tracker_->watches(parentKey) ? parentKey : -1;
}

// Where the directory was at the event at `position`: where the first later
// event that moves or removes it says it was, or else where the disk has it
// with every event queued so far read.
bool FanotifySource::linkBefore(const std::string& handle, size_t position, Link& link) {
    if (linkAhead(handle, position, link, false)) return true;
    const bool found = port_.placeOf(handle, link.parent, link.name);
    // Every move made before that look is queued by now, and read here. One
    // gone has its removal queued, so it is looked for a while longer, as
    // long as this read may read on.
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (linkAhead(handle, position, link, true)) return true;
        if (found || bytesRead_ >= kLookaheadBytes || port_.queuedBytes() == 0) break;
    }
    return found;
}

bool FanotifySource::linkAhead(const std::string& handle, size_t position, Link& link, bool readMore) {
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
        if (!readMore || bytesRead_ >= kLookaheadBytes || !fill()) return false;
    }
}

void FanotifySource::deliver(int key, uint32_t mask, std::string_view name, int child, uint32_t cookie, bool alone) {
    if (stopped_) return;
    if (!receiver_->receive(KernelEvent{key, mask, cookie, name, child, alone})) stopped_ = true;
}

// A later entry under the name of a directory whose removal was merged into
// its creation comes after that removal.
void FanotifySource::settleRemovals(int key, std::string_view name, int child) {
    for (const Removal& removal : removals_) {
        if (removal.parentKey == key && removal.name == name && removal.child != child) {
            settleAllRemovals();
            return;
        }
    }
}

void FanotifySource::settleAllRemovals() {
    // The innermost first, as they were removed.
    while (!removals_.empty()) {
        names_.push_back(std::move(removals_.back().name));
        const Removal removal{removals_.back().parentKey, {}, removals_.back().child};
        removals_.pop_back();
        deliver(removal.parentKey, IN_DELETE | IN_ISDIR, names_.back(), removal.child);
    }
}

// A directory removed while merged into its making is told gone before a
// directory moves: its path may be about to change, and the path printed must
// be one that it had. Not one that holds either end of the move: it was
// removed after the move, once emptied.
void FanotifySource::settleRemovalsAround(int from, int to) {
    std::vector<Removal> later;
    for (size_t i = 0; i < removals_.size();) {
        const Removal& removal = removals_[i];
        if (removal.child >= 0 && (tracker_->isWithin(from, removal.child) || tracker_->isWithin(to, removal.child))) {
            later.push_back(std::move(removals_[i]));
            removals_.erase(removals_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    settleAllRemovals();
    removals_ = std::move(later);
}

void FanotifySource::noteMove(const Event& event, int from, int to) {
    if (event.target == nullptr) return;
    moves_.insert_or_assign(std::string(bytesOf(event.target)),
                            Move{from, std::string(event.oldName), to, std::string(event.name),
                                 (event.mask & FAN_ONDIR) ? IN_ISDIR : 0u});
}

// The kernel merges an event into an identical one still queued, renames
// included: moved from A to B, back to A, and to B again before the queue is
// read, an entry shows as two moves that leave it in A. With the queue read
// to its end, each entry moved since is looked for where its last move put
// it; one found where that move took it from has made the missing move.
void FanotifySource::auditMoves() {
    std::vector<std::pair<std::string, Move>> missed;
    for (const auto& [target, move] : moves_) {
        if (move.fromKey < 0 || !tracker_->watches(move.fromKey)) continue;
        if (!isAt(move.fromKey, move.fromName, target)) continue;
        if (move.toKey >= 0 && isAt(move.toKey, move.toName, target)) continue;
        missed.emplace_back(target, move);
    }
    // A move made while this looked is queued and tells more: the look is
    // made again when the queue is next empty.
    if (!missed.empty() && port_.queuedBytes() > 0) return;
    moves_.clear();
    for (const auto& [target, move] : missed) {
        if (stopped_) return;
        const int child = move.isDirectory ? disk_.find(target) : -1;
        names_.push_back(move.toName);
        names_.push_back(move.fromName);
        const std::string_view toName = names_[names_.size() - 2];
        const std::string_view fromName = names_.back();
        if (move.toKey >= 0 && tracker_->watches(move.toKey)) {
            ++cookie_;
            deliver(move.toKey, IN_MOVED_FROM | move.isDirectory, toName, child, cookie_);
            deliver(move.fromKey, IN_MOVED_TO | move.isDirectory, fromName, child, cookie_);
        } else {
            deliver(move.fromKey, IN_MOVED_TO | move.isDirectory, fromName, move.isDirectory ? disk_.keyFor(target) : -1);
        }
    }
}

bool FanotifySource::isAt(int dirKey, const std::string& name, HandleBytes target) {
    const HandleBytes dirHandle = disk_.handle(dirKey);
    return !dirHandle.empty() && port_.holds(dirHandle, name, target);
}

// A key given to a directory the tracker did not take in is let go again.
void FanotifySource::forgetUnless(int child) {
    if (child >= 0 && !tracker_->watches(child)) disk_.forget(child, false);
}
