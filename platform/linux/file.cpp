#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/linux/directory_object.h"
#include "platform/linux/last_error.h"
#include "platform/linux/utf16.h"

/*
 * CreateFileW
 * Note: only opening an existing directory is supported, as the watcher
 * does: FILE_FLAG_BACKUP_SEMANTICS is required (as on Windows, where a
 * directory cannot be opened without it), OPEN_EXISTING is the only
 * disposition, and the share mode and security attributes are not emulated.
 * Symbolic links in the path are followed, like reparse points on Windows.
 */
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING || hTemplateFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    size_t length = 0;
    while (lpFileName[length] != 0) ++length;
    const std::string path = bytesFromUtf16(lpFileName, length);
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(win32ErrorFromOpen(errno, path.c_str()));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return registerHandle(new DirectoryObject(fd));
}
