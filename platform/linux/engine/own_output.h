// The program's own output file. When standard output is a regular file in
// the watched tree, every report written to it changes it, and that change
// would be reported and written again, without end.
#pragma once

#include <chrono>
#include <string_view>
#include <sys/types.h>

#include "platform/platform.h"

/// Recognises the records of the program's own writes to standard output.
/// Only a MODIFIED record whose last name is the output file's current name
/// costs more than a comparison: one stat, to be sure it is the same file.
class OwnOutput {
public:
    /// Looks at outputFd once: only a regular file is ever recognised. Paths
    /// are taken relative to the watched directory open as rootFd, which the
    /// caller keeps open.
    explicit OwnOutput(int rootFd, int outputFd = 1);

    /// Whether the output is a regular file at all; when it is not, every
    /// answer is false.
    bool present() const { return present_; }

    /// Whether a record, its path relative to the watched directory, is a
    /// MODIFIED of the output file, which only the program's own writes (or
    /// someone else's to the same file) can have caused. Its other records,
    /// its creation, removal and renames, are never taken for such.
    bool isOwnWrite(DWORD action, std::basic_string_view<WCHAR> path);

private:
    bool nameMayHaveChanged(std::basic_string_view<WCHAR> path);
    void learnName();
    bool isOutput(std::basic_string_view<WCHAR> path);

    int rootFd_;
    int outputFd_;
    bool present_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    // The output file's last name, as the records spell it; whether it has
    // gone from its directory; when they were last asked for.
    WString name_;
    bool unlinked_ = false;
    std::chrono::steady_clock::time_point learnedAt_;
    // The path of the last MODIFIED record of another name.
    WString lastModified_;
};
