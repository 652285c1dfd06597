#include "platform/linux/engine/inotify_source.h"

#include <climits>
#include <sys/inotify.h>

#include "platform/linux/engine/inotify_mask.h"
#include "platform/linux/engine/linux_disk.h"
#include "platform/linux/engine/linux_ports.h"

namespace {

constexpr size_t kLargestEvent = sizeof(inotify_event) + NAME_MAX + 1;
// How long the first half of a rename waits for its partner. Both halves come
// from one system call, so the partner is normally already queued; a move out
// of the tree has none, and is told after this wait.
constexpr long long kRenameWaitMs = 5;

}  // namespace

std::unique_ptr<InotifySource> InotifySource::open(int rootFd, DWORD notifyFilter, int& error) {
    std::unique_ptr<InotifyPort> port = LinuxInotifyPort::open(inotifyMaskFor(notifyFilter), error);
    if (!port) return nullptr;
    return std::unique_ptr<InotifySource>(new InotifySource(std::move(port), std::make_unique<LinuxDisk>(rootFd)));
}

// new[] aligns for any event.
InotifySource::InotifySource(InotifyPort& port, Disk& base, size_t readBytes)
    : port_(port), disk_(base, port, letGo_), readBytes_(readBytes), buffer_(new char[readBytes]) {}

InotifySource::InotifySource(std::unique_ptr<InotifyPort> port, std::unique_ptr<Disk> base)
    : ownedPort_(std::move(port)),
      ownedBase_(std::move(base)),
      port_(*ownedPort_),
      disk_(*ownedBase_, *ownedPort_, letGo_),
      readBytes_(kReadBytes),
      buffer_(new char[kReadBytes]) {}

void InotifySource::LettingGo::forget(int key, bool stillWatched) {
    if (stillWatched) letGo_.insert(key);
    InotifyDisk::forget(key, stillWatched);
}

size_t InotifySource::read(Receiver& receiver, const TreeQuery&, long long nowMs) {
    const size_t got = port_.read(buffer_.get(), readBytes_);
    got_ = got;
    departuresNoted_ = false;
    for (size_t at = 0; at + sizeof(inotify_event) <= got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer_.get() + at);
        const size_t here = at;
        at += sizeof(inotify_event) + event->len;
        if (!translate(*event, here, receiver, nowMs)) break;
    }
    return got;
}

// A directory made or moved in is watched by its path when its event is
// read, and by then the path may lead to another: one made there after it
// left. Where the events read together say it leaves, it is not looked for
// until they have been told. The read is gone through for them only once a
// directory arrives in it, so that a burst of files costs no second pass.
bool InotifySource::leavesLater(int wd, std::string_view name, size_t at) {
    if (!departuresNoted_) noteDepartures();
    if (departures_.empty()) return false;
    const auto found = departures_.find(NameIn{wd, name});
    return found != departures_.end() && found->second > at;
}

void InotifySource::noteDepartures() {
    departuresNoted_ = true;
    departures_.clear();
    for (size_t at = 0; at + sizeof(inotify_event) <= got_;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer_.get() + at);
        if ((event->mask & IN_ISDIR) && (event->mask & (IN_MOVED_FROM | IN_DELETE)) && event->len != 0)
            departures_[NameIn{event->wd, std::string_view(event->name)}] = at;
        at += sizeof(inotify_event) + event->len;
    }
}

// A read stops short of a full buffer only when the queue is empty.
bool InotifySource::mayHaveMore(size_t bytes) const { return bytes + kLargestEvent > readBytes_; }

void InotifySource::onTime(long long nowMs, Receiver& receiver) {
    if (half_.waiting && nowMs >= half_.dueMs) flushHalf(receiver);
}

bool InotifySource::translate(const inotify_event& event, size_t at, Receiver& receiver, long long nowMs) {
    // The name is padded with zero bytes up to its length.
    const std::string_view name = event.len != 0 ? std::string_view(event.name) : std::string_view();
    ChangeEvent change;
    change.isDirectory = (event.mask & IN_ISDIR) != 0;
    change.key = event.wd;
    change.name = name;
    if (change.isDirectory && (event.mask & (IN_CREATE | IN_MOVED_TO))) change.leaves = leavesLater(event.wd, name, at);
    if (event.mask & IN_Q_OVERFLOW) {
        half_ = Half{};
        change.kind = ChangeEvent::Kind::Overflow;
        return receiver.receive(change);
    }
    if (letGo_.count(event.wd) != 0) {
        if (event.mask & IN_IGNORED) letGo_.erase(event.wd);
        return true;
    }
    // A directory's second half with another cookie may be the same
    // directory, moved on through a directory not watched yet.
    if ((event.mask & IN_MOVED_TO) && half_.waiting &&
        (half_.cookie == event.cookie || (half_.isDirectory && change.isDirectory))) {
        change.kind = ChangeEvent::Kind::Moved;
        change.fromKey = half_.key;
        change.fromName = half_.name;
        change.uncertain = half_.cookie != event.cookie;
        const bool more = receiver.receive(change);
        half_ = Half{};
        return more;
    }
    if (half_.waiting && !flushHalf(receiver)) return false;
    if (event.mask & IN_MOVED_FROM) {
        half_ = Half{true, event.cookie, event.wd, std::string(name), change.isDirectory, nowMs + kRenameWaitMs};
        return true;
    }
    if (event.mask & IN_MOVED_TO) {
        change.kind = ChangeEvent::Kind::Moved;  // from outside the tree, or a directory not watched
    } else if (event.mask & (IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED)) {
        // A directory's own watch: only the kernel's letting go of it tells
        // more than its parent's events do, and for the root, that it is gone.
        if (!(event.mask & IN_IGNORED) && !(event.mask & IN_UNMOUNT)) return true;
        change.kind = (event.mask & IN_UNMOUNT) ? ChangeEvent::Kind::RootGone : ChangeEvent::Kind::Unwatched;
    } else if (name.empty()) {
        return true;  // a directory's own attributes: its parent tells them, under its name
    } else if (event.mask & IN_CREATE) {
        change.kind = ChangeEvent::Kind::Added;
    } else if (event.mask & IN_DELETE) {
        change.kind = ChangeEvent::Kind::Removed;
    } else if (event.mask & (IN_MODIFY | IN_ATTRIB)) {
        change.kind = ChangeEvent::Kind::Modified;
        change.content = (event.mask & IN_MODIFY) != 0;
    } else {
        return true;
    }
    return receiver.receive(change);
}

// Told as a move out of the tree: its second half will not come.
bool InotifySource::flushHalf(Receiver& receiver) {
    const Half half = std::move(half_);
    half_ = Half{};
    ChangeEvent change;
    change.kind = ChangeEvent::Kind::Moved;
    change.isDirectory = half.isDirectory;
    change.fromKey = half.key;
    change.fromName = half.name;
    return receiver.receive(change);
}
