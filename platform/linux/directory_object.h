// A directory handle, its change monitor and its one outstanding request.
#pragma once

#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/linux/engine/change_monitor.h"
#include "platform/linux/handle.h"

class DirectoryObject : public KernelObject {
public:
    struct Request {
        void* buffer;
        DWORD size;
        LPOVERLAPPED overlapped;
        LPOVERLAPPED_COMPLETION_ROUTINE routine;
        std::thread::id thread;
    };

    explicit DirectoryObject(int fd) : fd(fd) {}
    /// Drops the outstanding request (its routine is never called), stops the
    /// monitor and closes the directory.
    ~DirectoryObject() override;

    int fd;
    std::unique_ptr<ChangeMonitor> monitor;
    bool rootGone = false;
    std::optional<Request> request;
};

/// Records that dir has an outstanding request for the alertable wait to complete.
void addOutstanding(DirectoryObject* dir);

/// Forgets dir's outstanding request, if it has one.
void removeOutstanding(DirectoryObject* dir);

/// Replaces the contents of `mine` with the directories whose outstanding
/// request was issued by the calling thread. Reusing the caller's vector keeps
/// each wait and each delivery free of allocation.
void outstandingForThisThread(std::vector<DirectoryObject*>& mine);

/// Runs the completion routine of every outstanding request of the calling
/// thread that has something to deliver. Returns true if any ran.
bool runDueCompletions();

/// Testing hook: the backlog limit of monitors started from now on.
void setBacklogLimitForTesting(size_t bytes);
