// Between consolePrint's formatter (shared) and the system's output sink
// (platform/linux/console_output.cpp, platform/windows/console_output.cpp).
//
// The formatter hands the sink UTF-16 pieces in output order; the sink gathers
// them in its own encoding and writes them to standard output on request. Both
// sides are single-threaded, like the rest of the program.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace console_detail {

/// Adds text[0, size) to the output gathered since the last flush. The sink
/// converts it to what standard output takes; it does not filter anything.
/// Allocates only while its buffer is still growing towards its working size.
void sinkAppend(const WCHAR* text, size_t size);

/// Adds text that a %s or %.*s conversion substituted; quoted tells whether
/// the format has it between double quotes, as it has every path and name.
/// Linux escapes quoted text (platform/linux/quoted_text.h), since a Linux
/// name may hold quotes, line breaks and controls; other substituted text, the
/// program's own, goes in as it is. A Windows name can hold none of those:
/// there a console shows control characters in any substituted text as '?',
/// and a file or pipe gets it unchanged.
void sinkAppendSubstituted(const WCHAR* text, size_t size, bool quoted);

/// Size, in bytes, of the output gathered and not yet written.
size_t sinkPendingBytes();

/// Writes everything gathered, then starts empty; never throws. Output that
/// cannot be written is dropped on Windows. On Linux, what a file cannot take
/// now (a full disk) is kept ahead of what comes next, for the next flush,
/// and an output that can never be written ends the program.
void sinkFlush();

}  // namespace console_detail
