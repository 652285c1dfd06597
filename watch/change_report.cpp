#include "watch/change_report.h"

#include <cstddef>
#include <cstring>
#include <string_view>

namespace {

/// What one record header says, read from wherever the platform put it.
struct RecordHeader {
    DWORD nextEntryOffset;
    DWORD action;
    DWORD fileNameLength;
};

constexpr size_t kHeaderSize = offsetof(FILE_NOTIFY_INFORMATION, FileName);
/// The smallest record Windows writes: a header and a one-character name. The
/// count of a delivery ends where the last name ends, unpadded, so a lone
/// record for a one-character name is exactly this long.
constexpr DWORD kSmallestRecord = kHeaderSize + sizeof(WCHAR);

/// The header at the start of record. Copied out rather than read through a
/// cast: the buffer holds bytes the platform wrote, and a copy stays well-defined
/// whatever the buffer's alignment.
RecordHeader readHeader(const BYTE* record) {
    RecordHeader header;
    std::memcpy(&header.nextEntryOffset, record + offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset), sizeof(DWORD));
    std::memcpy(&header.action, record + offsetof(FILE_NOTIFY_INFORMATION, Action), sizeof(DWORD));
    std::memcpy(&header.fileNameLength, record + offsetof(FILE_NOTIFY_INFORMATION, FileNameLength), sizeof(DWORD));
    return header;
}

void printRecordLine(const RecordHeader& header, const BYTE* record, const WString& path) {
    consolePrint(W("    "));
    if (const WCHAR* label = actionLabel(header.action))
        consolePrint(W("%s"), label);
    else
        consolePrint(W("Unknown action %-13d"), static_cast<int32_t>(header.action));
    consolePrint(W("    "));
    if (header.fileNameLength != 0) {
        // The name is not terminated; a view bounds it by its own length. An odd
        // byte length loses its last byte, half a code unit.
        const int units = static_cast<int>(header.fileNameLength / sizeof(WCHAR));
        std::basic_string_view<WCHAR> name(reinterpret_cast<const WCHAR*>(record + kHeaderSize), units);
        consolePrint(W("\"%s%.*s\""), path, units, name);
    } else {
        consolePrint(W("Invalid filename length!"));
    }
    consolePrint(W("\n"));
}

/// Prints every record that lies wholly within the delivered bytes.
void printRecords(DWORD bytesTransferred, const BYTE* changeBuffer, const WString& path) {
    size_t offset = 0;
    for (;;) {
        const size_t remaining = bytesTransferred - offset;
        if (remaining < kHeaderSize) return;
        const RecordHeader header = readHeader(changeBuffer + offset);
        // Beyond the delivered bytes lies whatever an earlier request left, or
        // memory that was never written: a record reaching there is not trusted.
        if (header.fileNameLength > remaining - kHeaderSize) return;
        printRecordLine(header, changeBuffer + offset, path);
        if (header.nextEntryOffset == 0) return;
        // Windows starts records on 4-byte boundaries, Wine lays them end to
        // end; both keep names on 2-byte boundaries, which is all a name
        // needs. An odd offset would make the next name a misaligned read.
        if (header.nextEntryOffset % sizeof(WCHAR) != 0 || header.nextEntryOffset >= remaining) return;
        offset += header.nextEntryOffset;
    }
}

}  // namespace

const WCHAR* actionLabel(DWORD action) {
    switch (action) {
        case FILE_ACTION_ADDED: return W("FILE_ACTION_ADDED           ");
        case FILE_ACTION_REMOVED: return W("FILE_ACTION_REMOVED         ");
        case FILE_ACTION_MODIFIED: return W("FILE_ACTION_MODIFIED        ");
        case FILE_ACTION_RENAMED_OLD_NAME: return W("FILE_ACTION_RENAMED_OLD_NAME");
        case FILE_ACTION_RENAMED_NEW_NAME: return W("FILE_ACTION_RENAMED_NEW_NAME");
        default: return nullptr;
    }
}

void printChangeReport(DWORD bytesTransferred, const BYTE* changeBuffer, const WString& path) {
    // One batch: the whole report reaches a pipe at once, in few system calls.
    ConsoleBatch batch;
    consolePrint(W("Notified with %ld bytes.\n"), static_cast<LONG>(bytesTransferred));
    if (bytesTransferred == 0) {
        // How the platform says that more changed than the buffer could hold.
        consolePrint(W("    "));
        consolePrint(W("Notification OVERFLOW. (Can be normal under extreme load.)\n"));
        return;
    }
    if (bytesTransferred < kSmallestRecord) {
        consolePrint(W("    "));
        consolePrint(W("Notification size INVALID.\n"));
        return;
    }
    printRecords(bytesTransferred, changeBuffer, path);
}
