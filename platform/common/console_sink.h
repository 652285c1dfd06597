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

/// Size, in bytes, of the output gathered and not yet written.
size_t sinkPendingBytes();

/// Writes everything gathered, then starts empty; never throws. Output that
/// cannot be written is dropped on Windows. On Linux, what a file cannot take
/// now (a full disk) is kept ahead of what comes next, for the next flush,
/// and an output that can never be written ends the program.
void sinkFlush();

/// Whether standard output is an interactive terminal (Linux) or console
/// (Windows). Asked once, by the formatter, at the first output.
bool sinkIsTerminal();

/// How the formatter treats standard output when substituting text.
enum class TerminalMode {
    Detect,       ///< ask sinkIsTerminal at the next output (the default)
    Terminal,     ///< show control characters in substituted text as '?'
    NotTerminal,  ///< write substituted text unchanged
};

/// For tests: overrides the terminal decision, or with Detect makes the
/// formatter decide again at its next output. Affects only the filtering of
/// substituted text, never where or how the sink writes.
void setTerminalModeForTesting(TerminalMode mode);

}  // namespace console_detail
