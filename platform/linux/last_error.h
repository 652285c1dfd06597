// Windows error codes for the emulation: the thread's last error, and the one
// place where errno values become Windows codes.
#pragma once

#include "platform/platform.h"

/// The Windows code for an errno value, keeping the distinctions Windows makes
/// where errno alone does not (see the table in README.md).
DWORD win32ErrorFromErrno(int error);

/// Sets the thread's last error from an errno value; returns the code set.
DWORD setLastErrorFromErrno(int error);

/// The Windows code for a failed open of path, with Windows' distinctions:
/// a missing last component is ERROR_FILE_NOT_FOUND, a missing directory on
/// the way ERROR_PATH_NOT_FOUND, and a path naming a file ERROR_DIRECTORY.
DWORD win32ErrorFromOpen(int error, const char* path);
