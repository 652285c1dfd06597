// Turns the records of one finished change request into console lines.
#pragma once

#include "platform/platform.h"

/// The 28-column label of a FILE_ACTION_* value (1 to 5), padded on the right
/// with spaces so that the names after it line up; null for any other value.
const WCHAR* actionLabel(DWORD action);

/// Prints the report of one finished request, as a whole inside one ConsoleBatch:
///   "Notified with N bytes." then, indented by four spaces,
///   - for 0 bytes the overflow line; for 1 to 13 bytes, less than the
///     smallest record (a header and a one-character name), the invalid-size line;
///   - otherwise one line per FILE_NOTIFY_INFORMATION record in buffer order:
///     the label (or "Unknown action " and the signed number in 13 columns),
///     four spaces, and the quoted path joined with the record's name (or
///     "Invalid filename length!" for an empty name).
/// Only bytesTransferred bytes of changeBuffer are ever read: the walk ends at
/// a record whose 12-byte header or name would run past them, and at a
/// NextEntryOffset that is odd or leaves them. Records may start on any even
/// offset (Windows aligns them to 4 bytes, Wine does not). path ends in the
/// separator. Allocates nothing.
void printChangeReport(DWORD bytesTransferred, const BYTE* changeBuffer, const WString& path);
