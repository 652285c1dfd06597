#include "platform/linux/engine/linux_ports.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Where this thread stands. While it holds an OwnWorkingDirectory, a watch
// steps into the directory it adds; the directory it stood in before the
// first step is kept open to go back to at the end.
struct Standing {
    int scopes = 0;
    int before = -1;
    bool ownsWorkingDirectory = false;
    bool cannot = false;
};
thread_local Standing tStanding;

bool stepInto(int dir) {
    Standing& standing = tStanding;
    if (standing.scopes == 0 || standing.cannot) return false;
    if (standing.before < 0) {
        // The process's other threads keep the working directory they share.
        if (!standing.ownsWorkingDirectory) standing.ownsWorkingDirectory = unshare(CLONE_FS) == 0;
        if (standing.ownsWorkingDirectory) standing.before = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        standing.cannot = standing.before < 0;
        if (standing.cannot) return false;
    }
    // A directory that may be read but not entered is watched by its longer path.
    return fchdir(dir) == 0;
}

struct HandleBuffer {
    file_handle header;
    unsigned char bytes[MAX_HANDLE_SZ];
};

std::string bytesOf(const HandleBuffer& handle) {
    return std::string(reinterpret_cast<const char*>(&handle), sizeof(file_handle) + handle.header.handle_bytes);
}

size_t readRetrying(int fd, char* buffer, size_t size) {
    ssize_t got;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

size_t queuedOn(int fd) {
    int waiting = 0;
    // Unknown counts as something queued: a caller then reads to find out.
    return ioctl(fd, FIONREAD, &waiting) == 0 ? static_cast<size_t>(std::max(waiting, 0)) : 1;
}

// The path that names the open directory itself, whatever happens to its
// own path meanwhile; its last component alone is the entry in
// /proc/self/fd. Written by hand: it is made once per directory met or
// watched, and the formatting functions showed in profiles.
constexpr size_t kOpenFdsPrefix = 14;  // "/proc/self/fd/"
const char* procPathOf(int fd, char (&out)[32]) {
    char digits[12];
    size_t count = 0;
    for (unsigned value = static_cast<unsigned>(fd); count == 0 || value != 0; value /= 10)
        digits[count++] = static_cast<char>('0' + value % 10);
    std::memcpy(out, "/proc/self/fd/", kOpenFdsPrefix);
    for (size_t i = 0; i < count; ++i) out[kOpenFdsPrefix + i] = digits[count - 1 - i];
    out[kOpenFdsPrefix + count] = 0;
    return out;
}

// The directory's name in its parent: the end of its path, or where the path
// is too long to be shown, the entry of the parent with its inode number.
// The path is read from the descriptor's entry in openFds (this process's
// /proc/self/fd) where that is open: walking "/proc/self/fd/N" from the top
// for every directory was most of the cost of meeting one.
bool nameIn(int fd, int openFds, std::string& name) {
    char procPath[32];
    procPathOf(fd, procPath);
    char path[PATH_MAX];
    const ssize_t length = openFds >= 0 ? readlinkat(openFds, procPath + kOpenFdsPrefix, path, sizeof path)
                                        : readlink(procPath, path, sizeof path);
    if (length > 0 && static_cast<size_t>(length) < sizeof path && path[0] == '/') {
        const std::string_view shown(path, static_cast<size_t>(length));
        name = std::string(shown.substr(shown.rfind('/') + 1));
        return !name.empty();
    }
    struct stat self;
    const int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool found = false;
    if (parent >= 0 && fstat(fd, &self) == 0) {
        char buffer[16 * 1024];
        for (long got; !found && (got = syscall(SYS_getdents64, parent, buffer, sizeof buffer)) > 0;) {
            for (long at = 0; at < got && !found;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                at += entry->d_reclen;
                found = entry->d_ino == self.st_ino && std::strcmp(entry->d_name, ".") != 0 &&
                        std::strcmp(entry->d_name, "..") != 0;
                if (found) name = entry->d_name;
            }
        }
    }
    if (parent >= 0) close(parent);
    return found;
}

}  // namespace

std::unique_ptr<LinuxInotifyPort> LinuxInotifyPort::open(uint32_t mask, int& error) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::unique_ptr<LinuxInotifyPort>(new LinuxInotifyPort(fd, mask));
}

LinuxInotifyPort::~LinuxInotifyPort() { close(fd_); }

size_t LinuxInotifyPort::read(char* buffer, size_t size) { return readRetrying(fd_, buffer, size); }

bool LinuxInotifyPort::hasQueued() { return queuedOn(fd_) > 0; }

int LinuxInotifyPort::addWatch(int dir, int& error) {
    int wd;
    if (stepInto(dir)) {
        wd = inotify_add_watch(fd_, ".", mask_);
    } else {
        char procPath[32];
        wd = inotify_add_watch(fd_, procPathOf(dir, procPath), mask_);
    }
    if (wd < 0) error = errno;
    return wd;
}

OwnWorkingDirectory::OwnWorkingDirectory() { ++tStanding.scopes; }

OwnWorkingDirectory::~OwnWorkingDirectory() {
    Standing& standing = tStanding;
    if (--standing.scopes > 0 || standing.before < 0) return;
    // An open directory can always be entered again by the thread that stood
    // in it; were it not, the thread would stay in the last one it watched.
    [[maybe_unused]] const int back = fchdir(standing.before);
    ::close(standing.before);
    standing.before = -1;
}

void LinuxInotifyPort::removeWatch(int wd) { inotify_rm_watch(fd_, wd); }

std::unique_ptr<LinuxFanotifyPort> LinuxFanotifyPort::open(int rootFd, uint64_t mask, int& error) {
    const int fd = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_UNLIMITED_QUEUE |
                                     FAN_REPORT_DFID_NAME_TARGET,
                                 O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    if (fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, mask, rootFd, nullptr) != 0) {
        error = errno;
        close(fd);
        return nullptr;
    }
    // Without /proc the name is found by listing the parent instead.
    const int openFds = ::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return std::unique_ptr<LinuxFanotifyPort>(new LinuxFanotifyPort(rootFd, fd, openFds));
}

LinuxFanotifyPort::~LinuxFanotifyPort() {
    close(fd_);
    if (openFds_ >= 0) close(openFds_);
}

size_t LinuxFanotifyPort::read(char* buffer, size_t size) { return readRetrying(fd_, buffer, size); }

size_t LinuxFanotifyPort::queuedBytes() { return queuedOn(fd_); }

bool LinuxFanotifyPort::awaitEvents(int milliseconds) {
    pollfd ready{fd_, POLLIN, 0};
    return poll(&ready, 1, milliseconds) > 0;
}

std::string LinuxFanotifyPort::handleOf(int dir, int& error) {
    HandleBuffer handle;
    handle.header.handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (name_to_handle_at(dir, "", &handle.header, &mountId, AT_EMPTY_PATH) != 0) {
        error = errno;
        return {};
    }
    return bytesOf(handle);
}

// Opened as a path only unless it is to be listed; -1 once it is gone.
int LinuxFanotifyPort::openDirectory(HandleBytes handle, bool listable) const {
    HandleBuffer copy;
    std::memcpy(&copy, handle.data(), std::min(handle.size(), sizeof copy));
    return open_by_handle_at(rootFd_, &copy.header, (listable ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC);
}

bool LinuxFanotifyPort::placeOf(HandleBytes dir, std::string& parent, std::string& name) {
    const int fd = openDirectory(dir);
    if (fd < 0) return false;
    HandleBuffer above;
    above.header.handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    bool found = name_to_handle_at(fd, "..", &above.header, &mountId, 0) == 0;
    if (found && bytesOf(above) == dir) {
        parent.clear();  // the top of the file system
        name.clear();
    } else if (found) {
        parent = bytesOf(above);
        found = nameIn(fd, openFds_, name);
    }
    // Removed while it was being looked at: its removal is queued by now.
    // Its path then ends in " (deleted)", so only a name that ends so is
    // worth a call to tell it from one that is really named so.
    struct stat self;
    if (found && name.ends_with(" (deleted)") && (fstat(fd, &self) != 0 || self.st_nlink == 0)) found = false;
    close(fd);
    return found;
}

bool LinuxFanotifyPort::holds(HandleBytes dir, std::string_view name, HandleBytes entry) {
    const int fd = openDirectory(dir);
    if (fd < 0) return false;
    HandleBuffer found;
    found.header.handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    const std::string terminated(name);
    const bool same = name_to_handle_at(fd, terminated.c_str(), &found.header, &mountId, 0) == 0 &&
                      bytesOf(found) == entry;
    close(fd);
    return same;
}

bool LinuxFanotifyPort::directoriesIn(HandleBytes dir, size_t most,
                                      std::vector<std::pair<std::string, std::string>>& found) {
    const int fd = openDirectory(dir, true);
    if (fd < 0) return false;
    // A directory mounted on one of these names is another file system's
    // root, whose handle may equal one on this file system.
    HandleBuffer handle;
    handle.header.handle_bytes = MAX_HANDLE_SZ;
    int ownMount = 0;
    bool listed = name_to_handle_at(fd, "", &handle.header, &ownMount, AT_EMPTY_PATH) == 0;
    alignas(dirent64) char buffer[16 * 1024];
    for (long got; listed && found.size() < most && (got = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0;) {
        for (long at = 0; at < got && found.size() < most;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            // Only what the listing says is a directory: the rest would cost
            // a call each to find out.
            if (entry->d_type != DT_DIR || std::strcmp(entry->d_name, ".") == 0 ||
                std::strcmp(entry->d_name, "..") == 0)
                continue;
            handle.header.handle_bytes = MAX_HANDLE_SZ;
            int mount = 0;
            if (name_to_handle_at(fd, entry->d_name, &handle.header, &mount, 0) == 0 && mount == ownMount)
                found.emplace_back(entry->d_name, bytesOf(handle));
        }
    }
    close(fd);
    return listed;
}
