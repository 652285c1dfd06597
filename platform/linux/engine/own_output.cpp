#include "platform/linux/engine/own_output.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/utf16.h"

namespace {

// A file moved into the tree under a new name is named by no record that
// would tell: its name is asked for again when a MODIFIED repeats the path of
// the one before (as each write of ours would), and at least this often while
// changes of other names come.
constexpr std::chrono::seconds kRelearnAfter{1};
// What the kernel adds to the link of a file no longer in its directory.
constexpr std::string_view kDeletedSuffix = " (deleted)";

std::basic_string_view<WCHAR> lastName(std::basic_string_view<WCHAR> path) {
    const size_t slash = path.rfind(u'/');
    return slash == std::basic_string_view<WCHAR>::npos ? path : path.substr(slash + 1);
}

}  // namespace

OwnOutput::OwnOutput(int rootFd, int outputFd) : rootFd_(rootFd), outputFd_(outputFd) {
    struct stat info;
    if (fstat(outputFd, &info) != 0 || !S_ISREG(info.st_mode)) return;
    present_ = true;
    device_ = info.st_dev;
    inode_ = info.st_ino;
    learnName();
}

bool OwnOutput::isOwnWrite(DWORD action, std::basic_string_view<WCHAR> path) {
    if (!present_) return false;
    if (action != FILE_ACTION_MODIFIED) {
        // Renamed, moved away or deleted: its next writes may come under another name.
        if ((action == FILE_ACTION_RENAMED_OLD_NAME || action == FILE_ACTION_REMOVED) && lastName(path) == name_)
            learnName();
        return false;
    }
    if (lastName(path) != name_ && !nameMayHaveChanged(path)) return false;
    return isOutput(path);
}

// Whether the output file, asked again, now has the last name of path.
bool OwnOutput::nameMayHaveChanged(std::basic_string_view<WCHAR> path) {
    const bool repeated = path == lastModified_;
    lastModified_.assign(path);
    if (!repeated && std::chrono::steady_clock::now() - learnedAt_ < kRelearnAfter) return false;
    learnName();
    return lastName(path) == name_;
}

void OwnOutput::learnName() {
    learnedAt_ = std::chrono::steady_clock::now();
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", outputFd_);
    char target[PATH_MAX];
    const ssize_t length = readlink(link, target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return;
    std::string_view shown(target, static_cast<size_t>(length));
    // Deleted while open, it keeps its last name: the kernel still tells its
    // writes by that name.
    unlinked_ = shown.ends_with(kDeletedSuffix);
    if (unlinked_) shown.remove_suffix(kDeletedSuffix.size());
    const std::string_view last = shown.substr(shown.rfind('/') + 1);
    name_.clear();
    appendUtf16(name_, last.data(), last.size());
}

// The same name may be another file's, in another directory or made since.
bool OwnOutput::isOutput(std::basic_string_view<WCHAR> path) {
    const std::string bytes = bytesFromUtf16(path.data(), path.size());
    struct stat info;
    if (fstatat(rootFd_, bytes.empty() ? "." : bytes.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return info.st_dev == device_ && info.st_ino == inode_;
    // Gone from there by now, while the output had that name: the disk is
    // ahead of the records, and a rename or removal of the output made since
    // its write is still to be read. Asked again, the output has left it.
    if (errno == ENOENT && !unlinked_ && lastName(path) == name_) {
        learnName();
        return unlinked_ || lastName(path) != name_;
    }
    return unlinked_;
}
