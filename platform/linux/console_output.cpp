// consolePrint's sink on Linux: UTF-8 on file descriptor 1, written with
// write(2) so that nothing sits in a stdio buffer while the watcher waits.
#include "platform/common/console_sink.h"
#include "platform/linux/console_output.h"
#include "platform/linux/console_input.h"
#include "platform/linux/quoted_text.h"
#include "platform/linux/utf16.h"

#include <cerrno>
#include <csignal>
#include <new>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace console_detail {
namespace {

constexpr int kStandardOutput = 1;
// Reserved at the first flush, while there is memory for sure: a report is
// written every 64 KiB and a line, so it never has to grow the buffer later,
// when the backlog may have taken all the memory there is.
constexpr size_t kWorkingBytes = 256 * 1024;

// Kept between flushes: clear() keeps the capacity, so once it has grown to a
// batch's size no later call allocates.
std::string pending;

/// Waits until a non-blocking descriptor can take more. Someone else may have
/// set O_NONBLOCK on a terminal we share; the output must still arrive.
bool waitWritable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        int ready = poll(&entry, 1, -1);
        if (ready > 0) return (entry.revents & POLLNVAL) == 0;
        if (ready < 0 && errno != EINTR) return false;
    }
}

/// Whether a write that failed so may work later. A file system may get space
/// back (ENOSPC, EDQUOT) or come through (EIO); a descriptor that is closed or
/// not open for writing never will, and neither will a device such as
/// /dev/full, nor a terminal that hung up.
bool mayWorkLater(int fd, int error) {
    if (error == EBADF || error == EINVAL) return false;
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

/// Writes as much of data as the descriptor takes; returns how much that was.
/// Partial writes and signals only delay the output. A reader that went away,
/// or an output that can never be written, ends the program; a file that
/// cannot take more now (a full disk) leaves the rest to the caller.
size_t writeAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t written = write(fd, data + done, size - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(fd)) {
            continue;
        } else if (written < 0 && errno == EPIPE) {
            endBecauseOutputIsGone();
        } else if (written < 0 && !mayWorkLater(fd, errno)) {
            endBecauseOutputCannotBeWritten();
        } else {
            break;  // a write of 0 as well, which would otherwise spin
        }
    }
    return done;
}

}  // namespace

void sinkAppend(const WCHAR* text, size_t size) { appendBytes(pending, text, size); }

void sinkAppendSubstituted(const WCHAR* text, size_t size, bool quoted) {
    if (quoted) quoteText(text, size, sinkAppend);
    else sinkAppend(text, size);
}

size_t sinkPendingBytes() { return pending.size(); }

void sinkFlush() {
    if (pending.empty()) return;
    int savedErrno = errno;  // callers read errno-derived state after printing
    // What a full disk did not take goes first at the next flush, so that no
    // line is ever torn and nothing is lost.
    pending.erase(0, writeAll(kStandardOutput, pending.data(), pending.size()));
    errno = savedErrno;
    if (pending.capacity() < kWorkingBytes) {
        try {
            pending.reserve(kWorkingBytes);
        } catch (const std::bad_alloc&) {
            // Short of memory from the start: grown as needed, as it was.
        }
    }
}

}  // namespace console_detail

bool standardOutputCaughtUp() {
    console_detail::sinkFlush();
    return console_detail::pending.empty();
}

bool standardOutputCanLoseItsReader() {
    struct stat info;
    return fstat(console_detail::kStandardOutput, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

void endBecauseOutputIsGone() {
    console_input::restoreTerminal();
    // Die the usual way of a program whose reader left, unless SIGPIPE was
    // ignored on purpose: then end with the status of a failed run instead.
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
        signal(SIGPIPE, SIG_DFL);
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
        raise(SIGPIPE);
    }
    _exit(255);
}

void endBecauseOutputCannotBeWritten() {
    console_input::restoreTerminal();
    _exit(255);
}
