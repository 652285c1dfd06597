#include "app/watch_loop.h"

#include "watch/directory_watcher.h"

namespace {

/// The event is never signalled: the wait is only an alertable sleep, so that
/// finished requests have their completion routine run on this thread.
constexpr DWORD kWaitMilliseconds = 200;

/// Runs the check-and-wait cycle until it has an exit status.
int watchUntilKey(DirectoryWatcher& watcher) {
    for (;;) {
        // The keyboard comes first, so a key typed before the start ends the run
        // quietly even when the watcher failed.
        if (_kbhit()) return 0;
        if (!watcher.active) {
            consolePrint(W("Failed.\n"));
            return -1;
        }
        // Nothing can ever be delivered (the request was refused) and nobody
        // can ever press a key: waiting would only look like watching to a
        // script or a service. The refusal has said why.
        if (!watcher.requestOutstanding && !keystrokeCanArrive()) return -1;
        DWORD result = WaitForMultipleObjectsEx(1, &watcher.waitEvent, FALSE, kWaitMilliseconds, TRUE);
        if (result != WAIT_TIMEOUT && result != WAIT_IO_COMPLETION) {
            DWORD error = GetLastError();
            consolePrint(W("Wait failed: 0x%lx %ld.\n"), result, static_cast<LONG>(error));
            return -1;
        }
    }
}

}  // namespace

int runWatchLoop(const CommandLineOptions& options) {
    DirectoryWatcher watcher(options.targetPath, options.recursive);
    int exitStatus = watchUntilKey(watcher);
    watcher.release();
    return exitStatus;
}
