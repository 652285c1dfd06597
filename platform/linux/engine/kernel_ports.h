// What each kernel interface is asked for, gathered behind one interface per
// interface, so the adapters above them run the same on the real kernel
// (linux_ports.h) and on the model of it the simulation uses.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// The bytes of a struct file_handle, header included: what both
/// name_to_handle_at and fanotify's records give for an object.
using HandleBytes = std::string_view;

/// One inotify instance. Directory handles are those of the Disk the
/// instance watches through.
class InotifyPort {
public:
    virtual ~InotifyPort() = default;
    /// The descriptor that becomes readable when events are queued.
    virtual int fd() const = 0;
    /// Reads whole inotify_event records into buffer; 0 when none is queued.
    virtual size_t read(char* buffer, size_t size) = 0;
    /// Whether events are queued (FIONREAD).
    virtual bool hasQueued() = 0;
    /// inotify_add_watch on the open directory dir: its watch descriptor, the
    /// same one while the directory stays watched; -1 with the errno in error.
    virtual int addWatch(int dir, int& error) = 0;
    /// inotify_rm_watch; the kernel then queues IN_IGNORED.
    virtual void removeWatch(int wd) = 0;
};

/// One fanotify group with a mark on the whole file system.
class FanotifyPort {
public:
    virtual ~FanotifyPort() = default;
    virtual int fd() const = 0;
    /// Reads whole events into buffer; 0 when none is queued.
    virtual size_t read(char* buffer, size_t size) = 0;
    /// Bytes of events queued (FIONREAD).
    virtual size_t queuedBytes() = 0;
    /// Waits at most this long for an event to be queued; whether one is.
    virtual bool awaitEvents(int milliseconds) = 0;
    /// The handle of the open directory dir (a Disk handle); empty with the
    /// errno in error where the file system gives none.
    virtual std::string handleOf(int dir, int& error) = 0;
    /// Where the directory with this handle is now: its parent's handle and
    /// its name, or an empty parent at the top of the file system. False
    /// once it is gone, or was removed while it was looked at.
    virtual bool placeOf(HandleBytes dir, std::string& parent, std::string& name) = 0;
    /// Whether the entry `name` of the directory with handle dir is now the
    /// object with handle entry.
    virtual bool holds(HandleBytes dir, std::string_view name, HandleBytes entry) = 0;
    /// The sub-directories of the directory with this handle, as a listing
    /// finds them now and on its file system only: each one's name and
    /// handle, at most `most` of them. False once it is gone.
    virtual bool directoriesIn(HandleBytes dir, size_t most, std::vector<std::pair<std::string, std::string>>& found) = 0;
};
