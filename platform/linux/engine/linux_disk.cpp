#include "platform/linux/engine/linux_disk.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr size_t kDirentBufferBytes = 32 * 1024;
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

int openat2Once(int dirFd, const char* path) {
    open_how how{};
    how.flags = kOpenFlags;
    // No mount point is crossed, not even a bind mount of the same file
    // system, which the device number alone would not reveal.
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, dirFd, path, &how, sizeof how));
}

}  // namespace

int openBeneath(int rootFd, const std::string& path) {
    // A fresh open, never a duplicate: a duplicate shares the directory's read
    // position, and a listing from it would find the directory already read.
    if (path.empty()) return openat(rootFd, ".", kOpenFlags);
    int fd = openat2Once(rootFd, path.c_str());
    if (fd >= 0 || errno != ENAMETOOLONG) return fd;
    // Longer than the kernel takes at once: open it a piece at a time.
    int at = openat(rootFd, ".", kOpenFlags);
    size_t start = 0;
    while (at >= 0 && start < path.size()) {
        size_t end = std::min(path.size(), start + 3000);
        if (end < path.size()) end = path.rfind('/', end);
        if (end == std::string::npos || end <= start) end = path.find('/', start + 1);
        if (end == std::string::npos) end = path.size();
        const std::string piece = path.substr(start, end - start);
        int next = openat2Once(at, piece.c_str());
        const int saved = errno;
        ::close(at);
        errno = saved;
        at = next;
        start = end + 1;
    }
    return at;
}

LinuxDisk::LinuxDisk(int rootFd) : rootFd_(rootFd), direntBuffer_(kDirentBufferBytes) {}

int LinuxDisk::open(const std::string& path, int& error) {
    const int fd = openBeneath(rootFd_, path);
    if (fd < 0) error = errno;
    return fd;
}

int LinuxDisk::openChild(int dir, std::string_view name, int& error) {
    const std::string terminated(name);
    const int fd = openat2Once(dir, terminated.c_str());
    if (fd < 0) error = errno;
    return fd;
}

void LinuxDisk::close(int dir) { ::close(dir); }

int LinuxDisk::list(int dir, std::vector<Entry>& entries) {
    for (;;) {
        const long got = syscall(SYS_getdents64, dir, direntBuffer_.data(), direntBuffer_.size());
        if (got == 0) return 0;
        // /proc/PID/net of a process that has just ended reads as EINVAL
        // (the buffer is never too small): gone, as such directories go.
        if (got < 0) return errno == EINVAL ? ENOENT : errno;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(direntBuffer_.data() + at);
            at += entry->d_reclen;
            if (isDotOrDotDot(entry->d_name)) continue;
            bool isDirectory = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                // Some file systems leave the type out of their listings.
                struct stat info;
                isDirectory = fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
            }
            entries.push_back({entry->d_name, isDirectory});
        }
    }
}

int LinuxDisk::watch(int, int& error) {
    error = EOPNOTSUPP;
    return -1;
}
