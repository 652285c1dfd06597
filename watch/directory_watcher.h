// The watch on one directory: the open handle, the one outstanding change
// request, and the report printed each time a request finishes.
#pragma once

#include "platform/platform.h"

/// Watches one directory with at most one change request outstanding. Each
/// finished request has its report printed and the next request issued from the
/// completion routine, which runs on the thread that sleeps in an alertable wait.
///
/// The platform keeps the address of `overlapped` while a request is
/// outstanding, and the completion routine finds the watcher through
/// overlapped.hEvent, so a watcher never moves: it is neither copied nor moved.
struct DirectoryWatcher {
    /// Request block of the outstanding request; hEvent holds this watcher's address.
    OVERLAPPED overlapped{};
    /// The opened directory; INVALID_HANDLE_VALUE after a failed open or release.
    HANDLE directoryHandle = nullptr;
    /// Object of the loop's alertable wait, never signalled; null when not created.
    HANDLE waitEvent = nullptr;
    /// bufferSize bytes that every request fills; null until allocated.
    BYTE* changeBuffer = nullptr;
    /// True once the directory is open, the event exists and the buffer is
    /// allocated. Only release clears it: a refused request leaves it set.
    bool active = false;
    /// Whether a change request is queued: false once one was refused, after
    /// which nothing more is ever delivered.
    bool requestOutstanding = false;
    /// Whether changes in sub-directories at any depth are reported.
    bool recursive = false;
    /// The directory as given, ending in kPathSeparator; printed before every name.
    WString path;
    /// The kinds of change requested: names, attributes, size, last write, creation.
    DWORD notifyFilter = 0;
    /// Size of changeBuffer in bytes.
    DWORD bufferSize = 0;

    /// Appends kPathSeparator to directoryPath unless it already ends in it,
    /// opens the directory, creates the wait event, allocates the buffer and
    /// issues the first request, then prints the start line. A failed open or
    /// event prints its message and leaves the watcher inactive; a refused
    /// first request prints its message and no start line, and the watcher
    /// stays active with nothing outstanding.
    DirectoryWatcher(const WString& directoryPath, bool watchSubtree);
    /// Releases whatever release() has not.
    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    /// Queues one change request with onChangesCompleted as its routine, and
    /// sets requestOutstanding to the result. Returns false without calling
    /// anything when inactive; when the platform refuses, prints
    /// "ReadDirectoryChangesW failed on ..." and returns false.
    bool issueRequest();

    /// Completion routine of every request: prints the change report for the
    /// bytes delivered into changeBuffer, then issues the next request. The
    /// error code is not examined; a count of 0 is reported as an overflow.
    static void WINAPI onChangesCompleted(DWORD errorCode, DWORD bytesTransferred, LPOVERLAPPED request);

    /// Closes the directory (which ends the outstanding request without its
    /// routine), closes the event, frees the buffer and empties the path.
    /// Calling it again does nothing.
    void release();
};
