// The Linux process entry: turns the argument bytes into the wide text the
// program works with and hands over to programMain.
#include "platform/program_entry.h"
#include "platform/linux/utf16.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <vector>

namespace {

// Started with a standard descriptor closed, the process would give its number
// to the first file it opens, and the watched directory would become standard
// output. /dev/null holds each such number, read-only, so that writing to a
// closed standard output still fails as it would have (EBADF).
void holdClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDONLY);
    }
}

}  // namespace

int main(int argc, char** argv) {
    holdClosedStandardDescriptors();
    // The conversion is lossless, so a path that is not valid UTF-8 still
    // names the same directory when it goes back to the kernel.
    std::vector<WString> arguments;
    arguments.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(utf16FromBytes({argv[i], std::strlen(argv[i])}));

    std::vector<WCHAR*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (WString& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);  // argv[argc] is null, as in any C entry

    // The shell sees the low 8 bits of the status, so -1 exits as 255.
    return programMain(argc, pointers.data());
}
