#include "platform/linux/last_error.h"

#include <cerrno>
#include <string>

#include <sys/stat.h>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

DWORD win32ErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    // inotify's watch limit: the closest Windows meaning is a quota.
    case ENOSPC: return ERROR_NOT_ENOUGH_QUOTA;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD setLastErrorFromErrno(int error) {
    lastError = win32ErrorFromErrno(error);
    return lastError;
}

namespace {

bool isDirectory(const std::string& path) {
    struct stat info;
    return stat(path.empty() ? "/" : path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

DWORD win32ErrorFromOpen(int error, const char* path) {
    const std::string whole = withoutTrailingSlashes(path);
    if (error == ENOENT) {
        const size_t slash = whole.rfind('/');
        const std::string parent = slash == std::string::npos ? "." : whole.substr(0, slash);
        return isDirectory(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    if (error == ENOTDIR) {
        struct stat info;
        const bool isFile = stat(whole.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
        return isFile ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    }
    return win32ErrorFromErrno(error);
}
