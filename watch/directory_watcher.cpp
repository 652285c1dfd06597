#include "watch/directory_watcher.h"

#include "watch/change_report.h"

namespace {

constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;
static_assert(kNotifyFilter == 0x5F, "last access and security changes are not watched");

constexpr DWORD kBufferSize = 0x8000;

}  // namespace

DirectoryWatcher::DirectoryWatcher(const WString& directoryPath, bool watchSubtree)
    : recursive(watchSubtree), path(directoryPath) {
    notifyFilter = kNotifyFilter;
    bufferSize = kBufferSize;
    // Every message and every reported name is this path followed directly by
    // a relative name, so it must end in exactly one separator.
    if (!path.empty() && path.back() != kPathSeparator) path += kPathSeparator;
    overlapped = OVERLAPPED{};
    overlapped.hEvent = this;

    directoryHandle = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    // Read now: creating the event may overwrite the open's reason.
    DWORD openError = GetLastError();
    // The event is created even after a failed open; release closes whatever exists.
    waitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD eventError = GetLastError();

    if (directoryHandle == INVALID_HANDLE_VALUE) {
        consolePrint(W("Failed to open \"%s\": %ld\n"), path, static_cast<LONG>(openError));
        return;
    }
    if (waitEvent == nullptr) {
        consolePrint(W("Failed to create event: %ld\n"), static_cast<LONG>(eventError));
        return;
    }
    // Uninitialised on purpose: the platform writes it before it is read. The
    // allocator's alignment suits the records' 32-bit fields.
    changeBuffer = new BYTE[bufferSize];
    active = true;
    if (issueRequest())
        consolePrint(W("Watching \"%s\" (%srecursive)\nPush any key to exit.\n"), path,
                     recursive ? W("") : W("non-"));
}

DirectoryWatcher::~DirectoryWatcher() { release(); }

bool DirectoryWatcher::issueRequest() {
    requestOutstanding = false;
    if (!active) return false;
    // The count is required by the signature but only meaningful for
    // synchronous requests; the completion routine gets the real one.
    DWORD bytesReturned = 0;
    requestOutstanding = ReadDirectoryChangesW(directoryHandle, changeBuffer, bufferSize, recursive ? TRUE : FALSE,
                                               notifyFilter, &bytesReturned, &overlapped,
                                               &DirectoryWatcher::onChangesCompleted) != FALSE;
    if (requestOutstanding) return true;
    DWORD error = GetLastError();
    consolePrint(W("ReadDirectoryChangesW failed on \"%s\": %ld\n"), path, static_cast<LONG>(error));
    return false;
}

void WINAPI DirectoryWatcher::onChangesCompleted(DWORD, DWORD bytesTransferred, LPOVERLAPPED request) {
    auto* watcher = static_cast<DirectoryWatcher*>(request->hEvent);
    printChangeReport(bytesTransferred, watcher->changeBuffer, watcher->path);
    // Re-issued only now, so the platform never fills the buffer while the
    // report reads it. A refusal has printed its message; the watch then simply
    // stops delivering, and the loop goes on until a key is pressed, if one can be.
    watcher->issueRequest();
}

void DirectoryWatcher::release() {
    // Closing the directory also ends the outstanding request; no alertable
    // wait follows, so its routine never runs on a released watcher. The null
    // test covers a watcher whose construction never reached the open.
    if (directoryHandle != INVALID_HANDLE_VALUE && directoryHandle != nullptr) {
        CloseHandle(directoryHandle);
        directoryHandle = INVALID_HANDLE_VALUE;
    }
    if (waitEvent != nullptr) {
        CloseHandle(waitEvent);
        waitEvent = nullptr;
    }
    delete[] changeBuffer;
    changeBuffer = nullptr;
    // With the buffer gone, a stray issueRequest must not reach the platform.
    active = false;
    requestOutstanding = false;
    path = WString();
}
