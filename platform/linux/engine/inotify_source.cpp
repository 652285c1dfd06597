#include "platform/linux/engine/inotify_source.h"

#include <climits>
#include <sys/inotify.h>

#include "platform/linux/engine/inotify_mask.h"
#include "platform/linux/engine/linux_disk.h"
#include "platform/linux/engine/linux_ports.h"

namespace {

constexpr size_t kLargestEvent = sizeof(inotify_event) + NAME_MAX + 1;

}  // namespace

std::unique_ptr<InotifySource> InotifySource::open(int rootFd, DWORD notifyFilter, int& error) {
    std::unique_ptr<InotifyPort> port = LinuxInotifyPort::open(inotifyMaskFor(notifyFilter), error);
    if (!port) return nullptr;
    return std::unique_ptr<InotifySource>(new InotifySource(std::move(port), std::make_unique<LinuxDisk>(rootFd)));
}

// new[] aligns for any event.
InotifySource::InotifySource(InotifyPort& port, Disk& base, size_t readBytes)
    : port_(port), disk_(base, port), readBytes_(readBytes), buffer_(new char[readBytes]) {}

InotifySource::InotifySource(std::unique_ptr<InotifyPort> port, std::unique_ptr<Disk> base)
    : ownedPort_(std::move(port)),
      ownedBase_(std::move(base)),
      port_(*ownedPort_),
      disk_(*ownedBase_, *ownedPort_),
      readBytes_(kReadBytes),
      buffer_(new char[kReadBytes]) {}

ChangeTracker::Options InotifySource::options(bool recursive, DWORD notifyFilter) const {
    // A new directory's watch starts only once we have seen it: what was made
    // in it before then is known only by listing it.
    return ChangeTracker::Options{recursive, notifyFilter, true, true};
}

size_t InotifySource::read(Receiver& receiver) {
    const size_t got = port_.read(buffer_.get(), readBytes_);
    for (size_t at = 0; at + sizeof(inotify_event) <= got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer_.get() + at);
        at += sizeof(inotify_event) + event->len;
        KernelEvent translated;
        translated.watch = event->wd;
        translated.mask = event->mask;
        translated.cookie = event->cookie;
        // The name is padded with zero bytes up to its length.
        if (event->len != 0) translated.name = std::string_view(event->name);
        if (!receiver.receive(translated)) break;
    }
    return got;
}

// A read stops short of a full buffer only when the queue is empty.
bool InotifySource::mayHaveMore(size_t bytes) const { return bytes + kLargestEvent > readBytes_; }
