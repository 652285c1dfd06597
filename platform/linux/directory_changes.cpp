#include <algorithm>
#include <mutex>
#include <unistd.h>

#include "platform/linux/directory_object.h"

namespace {

std::mutex outstandingMutex;
std::vector<DirectoryObject*> outstanding;
size_t backlogLimit = kBacklogLimitBytes;

}  // namespace

DirectoryObject::~DirectoryObject() {
    removeOutstanding(this);
    monitor.reset();
    close(fd);
}

void addOutstanding(DirectoryObject* dir) {
    std::lock_guard<std::mutex> lock(outstandingMutex);
    outstanding.push_back(dir);
}

void removeOutstanding(DirectoryObject* dir) {
    std::lock_guard<std::mutex> lock(outstandingMutex);
    outstanding.erase(std::remove(outstanding.begin(), outstanding.end(), dir), outstanding.end());
}

void outstandingForThisThread(std::vector<DirectoryObject*>& mine) {
    std::lock_guard<std::mutex> lock(outstandingMutex);
    mine.clear();
    for (DirectoryObject* dir : outstanding) {
        if (dir->request && dir->request->thread == std::this_thread::get_id()) mine.push_back(dir);
    }
}

void setBacklogLimitForTesting(size_t bytes) { backlogLimit = bytes; }

bool runDueCompletions() {
    bool ran = false;
    // A snapshot: the routines issue new requests while this runs.
    thread_local std::vector<DirectoryObject*> due;
    outstandingForThisThread(due);
    for (DirectoryObject* candidate : due) {
        // A routine that ran before may have closed this handle.
        auto* dir = dynamic_cast<DirectoryObject*>(objectFromHandle(candidate));
        if (dir == nullptr || !dir->request) continue;
        DWORD bytes = 0;
        const DirectoryObject::Request request = *dir->request;
        const ChangeMonitor::Delivery delivery = dir->monitor->take(request.buffer, request.size, bytes);
        if (delivery == ChangeMonitor::Delivery::Nothing) continue;
        DWORD error = ERROR_SUCCESS;
        if (delivery == ChangeMonitor::Delivery::Overflow) error = ERROR_NOTIFY_ENUM_DIR;
        if (delivery == ChangeMonitor::Delivery::RootGone) {
            error = ERROR_ACCESS_DENIED;
            dir->rootGone = true;
        }
        dir->request.reset();
        removeOutstanding(dir);
        // The routine may print for a long time to a slow reader: the monitor
        // reads the kernel's queue by itself meanwhile.
        dir->monitor->waiterLeft();
        request.routine(error, bytes, request.overlapped);
        ran = true;
    }
    return ran;
}

/*
 * ReadDirectoryChangesW
 * Note: only the asynchronous form with a completion routine exists. The
 * first call on a handle starts watching, with that call's subtree choice and
 * filter; later calls keep them. Changes are gathered between requests, so
 * nothing is lost while no request is outstanding, up to the backlog's limit.
 * After the watched directory itself is deleted or unmounted, the outstanding
 * request completes with ERROR_ACCESS_DENIED and later ones fail with it.
 */
BOOL ReadDirectoryChangesW(HANDLE hDirectory, LPVOID lpBuffer, DWORD nBufferLength, BOOL bWatchSubtree,
                           DWORD dwNotifyFilter, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped,
                           LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    (void)lpBytesReturned;
    auto* dir = objectAs<DirectoryObject>(hDirectory);
    if (dir == nullptr) return FALSE;
    if (lpBuffer == nullptr || nBufferLength < sizeof(FILE_NOTIFY_INFORMATION) || lpOverlapped == nullptr ||
        lpCompletionRoutine == nullptr || dwNotifyFilter == 0 || dir->request) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dir->rootGone) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!dir->monitor) {
        DWORD error = ERROR_SUCCESS;
        dir->monitor = ChangeMonitor::start(dir->fd, bWatchSubtree != FALSE, dwNotifyFilter, error, backlogLimit);
        if (!dir->monitor) {
            SetLastError(error);
            return FALSE;
        }
    }
    dir->request = DirectoryObject::Request{lpBuffer, nBufferLength, lpOverlapped, lpCompletionRoutine,
                                            std::this_thread::get_id()};
    addOutstanding(dir);
    return TRUE;
}
