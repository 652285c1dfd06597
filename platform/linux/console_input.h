// The Linux keyboard check's extras (_kbhit itself is declared in win32.h).
#pragma once

namespace console_input {

/// Puts back the terminal settings _kbhit changed, for a way out that skips
/// the exit handlers. Safe in a signal handler.
void restoreTerminal();


/// Passed to useKeyboardForTesting: back to the controlling terminal, looked up
/// afresh at the next check (a forked test child has a terminal of its own).
constexpr int kControllingTerminal = -2;

/// Makes _kbhit look at `fd` from now on instead of the controlling terminal,
/// after putting back the settings of any terminal it had switched. A terminal
/// is treated like the controlling terminal (switched to single-key input only
/// while this process is in its foreground); any other descriptor, a pipe say,
/// counts as a key for every byte waiting in it. -1 means no keyboard at all.
/// The descriptor stays the caller's: it is never read or closed.
void useKeyboardForTesting(int fd);

}  // namespace console_input
