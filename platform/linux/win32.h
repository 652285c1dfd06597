// The small part of the Win32 API that the watcher uses, provided on Linux on
// top of inotify, poll and the terminal. Only what the program calls is
// declared; each function notes where it differs from Windows.
#pragma once

#include <cstddef>
#include <cstdint>

// Windows sizes, whatever the data model: DWORD and LONG are 32 bits even on
// LP64, and WCHAR is a UTF-16 code unit.
typedef char16_t WCHAR;
typedef uint8_t BYTE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef uintptr_t ULONG_PTR;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const WCHAR* LPCWSTR;
typedef DWORD* LPDWORD;
struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4, "Win32 integer sizes");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

typedef void(WINAPI* LPOVERLAPPED_COMPLETION_ROUTINE)(DWORD dwErrorCode, DWORD dwNumberOfBytesTransfered,
                                                      LPOVERLAPPED lpOverlapped);

/// One change record as ReadDirectoryChangesW lays it out in the caller's buffer.
struct FILE_NOTIFY_INFORMATION {
    DWORD NextEntryOffset;
    DWORD Action;
    DWORD FileNameLength;  // bytes, not characters
    WCHAR FileName[1];     // not terminated
};
static_assert(offsetof(FILE_NOTIFY_INFORMATION, FileName) == 12, "Windows record layout");
static_assert(sizeof(FILE_NOTIFY_INFORMATION) == 16, "Windows record layout");

// CreateFileW
#define FILE_LIST_DIRECTORY 0x00000001
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define OPEN_EXISTING 3
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_FLAG_OVERLAPPED 0x40000000

// ReadDirectoryChangesW filter and record actions
#define FILE_NOTIFY_CHANGE_FILE_NAME 0x00000001
#define FILE_NOTIFY_CHANGE_DIR_NAME 0x00000002
#define FILE_NOTIFY_CHANGE_ATTRIBUTES 0x00000004
#define FILE_NOTIFY_CHANGE_SIZE 0x00000008
#define FILE_NOTIFY_CHANGE_LAST_WRITE 0x00000010
#define FILE_NOTIFY_CHANGE_LAST_ACCESS 0x00000020
#define FILE_NOTIFY_CHANGE_CREATION 0x00000040
#define FILE_NOTIFY_CHANGE_SECURITY 0x00000100
#define FILE_ACTION_ADDED 0x00000001
#define FILE_ACTION_REMOVED 0x00000002
#define FILE_ACTION_MODIFIED 0x00000003
#define FILE_ACTION_RENAMED_OLD_NAME 0x00000004
#define FILE_ACTION_RENAMED_NEW_NAME 0x00000005

// WaitForMultipleObjectsEx results
#define WAIT_OBJECT_0 0x00000000
#define WAIT_IO_COMPLETION 0x000000C0
#define WAIT_TIMEOUT 0x00000102
#define WAIT_FAILED 0xFFFFFFFF

// The system error codes this layer reports, with Windows' values.
#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_INVALID_NAME 123
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_DIRECTORY 267
#define ERROR_NOTIFY_ENUM_DIR 1022
#define ERROR_CANT_RESOLVE_FILENAME 1921
#define ERROR_NOT_ENOUGH_QUOTA 1816
#define ERROR_IO_PENDING 997
#define ERROR_GEN_FAILURE 31

/// Opens a directory for change notification (the only use supported: the
/// access, share, creation and flag arguments are checked, not emulated).
/// Fails with ERROR_DIRECTORY when the path names something that is not a directory.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

/// A waitable object that nothing signals: the watcher only uses it as the object
/// of an alertable sleep. Names and security attributes are not supported.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);

/// Closes a handle. Closing a directory ends its outstanding request without
/// calling its completion routine.
BOOL CloseHandle(HANDLE hObject);

/// Queues one change request on a directory handle. Only the asynchronous form
/// with a completion routine is supported (lpOverlapped and the routine are
/// required); lpBytesReturned is left untouched.
BOOL ReadDirectoryChangesW(HANDLE hDirectory, LPVOID lpBuffer, DWORD nBufferLength, BOOL bWatchSubtree,
                           DWORD dwNotifyFilter, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped,
                           LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);

/// Alertable sleep: runs the calling thread's due completion routines and
/// returns WAIT_IO_COMPLETION, or WAIT_TIMEOUT when the time runs out. The
/// handles are checked but never signalled, so WAIT_OBJECT_0 is never returned.
DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                               BOOL bAlertable);

/// The calling thread's last error code, a Windows code.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

/// Non-zero while a key waits in the controlling terminal's input; the key is not read.
int _kbhit();

/// Whole-string comparison that folds only A-Z to a-z, like the C runtime in the "C" locale.
int _wcsicmp(const WCHAR* left, const WCHAR* right);
