#include "platform/linux/engine/inotify_source.h"

#include <cerrno>
#include <climits>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform/linux/engine/inotify_mask.h"

namespace {

constexpr size_t kReadBufferBytes = 64 * 1024;
constexpr size_t kLargestEvent = sizeof(inotify_event) + NAME_MAX + 1;

}  // namespace

std::unique_ptr<InotifySource> InotifySource::open(int rootFd, DWORD notifyFilter, int& error) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::unique_ptr<InotifySource>(new InotifySource(rootFd, fd, inotifyMaskFor(notifyFilter)));
}

InotifySource::InotifySource(int rootFd, int fd, uint32_t mask)
    : fd_(fd), disk_(rootFd, fd, mask), buffer_(new char[kReadBufferBytes]) {}  // new[] aligns for any event

InotifySource::~InotifySource() { close(fd_); }

ChangeTracker::Options InotifySource::options(bool recursive, DWORD notifyFilter) const {
    // A new directory's watch starts only once we have seen it: what was made
    // in it before then is known only by listing it.
    return ChangeTracker::Options{recursive, notifyFilter, true, true};
}

size_t InotifySource::read(Receiver& receiver) {
    ssize_t got;
    do {
        got = ::read(fd_, buffer_.get(), kReadBufferBytes);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return 0;
    for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer_.get() + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        KernelEvent translated;
        translated.watch = event->wd;
        translated.mask = event->mask;
        translated.cookie = event->cookie;
        // The name is padded with zero bytes up to its length.
        if (event->len != 0) translated.name = std::string_view(event->name);
        if (!receiver.receive(translated)) break;
    }
    return static_cast<size_t>(got);
}

// A read stops short of a full buffer only when the queue is empty.
bool InotifySource::mayHaveMore(size_t bytes) const { return bytes > kReadBufferBytes - kLargestEvent; }
