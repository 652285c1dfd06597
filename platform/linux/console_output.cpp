// consolePrint's sink on Linux: UTF-8 on file descriptor 1, written with
// write(2) so that nothing sits in a stdio buffer while the watcher waits.
#include "platform/common/console_sink.h"
#include "platform/linux/console_output.h"
#include "platform/linux/console_input.h"
#include "platform/linux/quoted_text.h"
#include "platform/linux/utf16.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace console_detail {
namespace {

constexpr int kStandardOutput = 1;

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

/// Writes all of data unless the descriptor fails. Partial writes and signals
/// only delay the output; a reader that went away ends the program; any other
/// error (EBADF, ENOSPC) drops the output, because a watcher that stops over
/// one lost report is worse.
void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable(fd)) {
            continue;
        } else if (written < 0 && errno == EPIPE) {
            endBecauseOutputIsGone();
        } else {
            return;  // includes a write of 0, which would otherwise spin
        }
    }
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
    writeAll(kStandardOutput, pending.data(), pending.size());
    errno = savedErrno;
    pending.clear();
}

}  // namespace console_detail

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
