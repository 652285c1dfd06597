#include <algorithm>
#include <cerrno>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "platform/linux/console_output.h"
#include "platform/linux/directory_object.h"
#include "platform/linux/last_error.h"

namespace {

// Sleeps until one of the thread's monitors may have something, or the time
// runs out, and lets each read what came. Returns false on a poll failure
// other than an interruption.
bool sleepUntilReady(int timeoutMs) {
    thread_local std::vector<DirectoryObject*> dirs;
    thread_local std::vector<pollfd> fds;
    outstandingForThisThread(dirs);
    fds.clear();
    long long gatherUs = 0;
    for (DirectoryObject* dir : dirs) {
        dir->monitor->waiterArrived();
        gatherUs = std::max(gatherUs, dir->monitor->gatherUs());
        dir->monitor->addPollFds(fds);
        const int due = dir->monitor->msUntilDue();
        if (timeoutMs < 0 || due < timeoutMs) timeoutMs = due;
    }
    // A pipe whose reader left reports an error even while we print nothing:
    // a quiet directory must not keep `pathwarden DIR | head -1` alive.
    static const bool outputCanGo = standardOutputCanLoseItsReader();
    if (outputCanGo) fds.push_back({1, 0, 0});
    if (gatherUs > 0) {
        // Changes come in a stream: what comes meanwhile waits in the kernel's
        // queue, to be read with what is there already.
        const timespec gather{0, static_cast<long>(std::min(gatherUs, 999999LL)) * 1000};
        nanosleep(&gather, nullptr);
    }
    if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
        setLastErrorFromErrno(errno);
        return false;
    }
    if (outputCanGo && (fds.back().revents & POLLERR)) endBecauseOutputIsGone();
    for (size_t i = 0; i < dirs.size(); ++i) dirs[i]->monitor->service(&fds[i * ChangeMonitor::kPollFds]);
    return true;
}

}  // namespace

/*
 * WaitForMultipleObjectsEx
 * Note: the objects waited on are never signalled in this program, so only
 * the time-out and the delivery of completions (when alertable) can end the
 * wait; wait-all is accepted and makes no difference. A monitor's readiness
 * is checked before sleeping, so a completion that became due while no one
 * was waiting is delivered at once.
 */
DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                               BOOL bAlertable) {
    (void)bWaitAll;
    if (nCount == 0 || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    for (DWORD i = 0; i < nCount; ++i) {
        if (objectFromHandle(lpHandles[i]) == nullptr) return WAIT_FAILED;
    }
    const bool forever = dwMilliseconds == 0xFFFFFFFF;
    const long long deadline = nowMs() + dwMilliseconds;
    // While standard output still owes what a full disk refused, no report is
    // delivered: its records wait in the backlog, which says so by an overflow
    // if it cannot hold them all. The kernel's queue is read meanwhile.
    const bool deliver = bAlertable && standardOutputCaughtUp();
    for (;;) {
        if (deliver && runDueCompletions()) return WAIT_IO_COMPLETION;
        const long long left = forever ? -1 : deadline - nowMs();
        if (!forever && left <= 0) return WAIT_TIMEOUT;
        if (bAlertable) {
            if (!sleepUntilReady(static_cast<int>(left))) return WAIT_FAILED;
        } else if (!forever) {
            usleep(static_cast<useconds_t>(left) * 1000);
        } else {
            pause();
        }
    }
}
